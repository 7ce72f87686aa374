"""What a cell's code reads and deletes, found in its syntax: the one
analysis the executor, the inputs a run gets, the cache keys and the command
line all use."""

import ast
import functools

# Reading any of these may reach every name of the namespace.
DYNAMIC_NAMES = {"globals", "locals", "vars", "eval", "exec", "__import__"}
# Methods that evaluate an expression string in the caller's frame
# (`numexpr.evaluate('x > 0')`, `pd.eval`, `df.eval`, `df.query('a > @b')`):
# the names they read are inside the string.
DYNAMIC_METHODS = {"eval", "evaluate", "query"}


@functools.lru_cache(maxsize=4096)  # thread-safe (lru_cache locks); any thread may call
def names_read(code):
    """Names the code reads (a frozenset); None when it may read any name (or
    cannot be parsed). Cached: each component's code is read once per run of
    every descendant."""
    try:
        tree = ast.parse(code or "")
    except (SyntaxError, ValueError):
        return None
    names, dynamic = set(), False
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            names.add(node.id)
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
            dynamic = dynamic or node.func.attr in DYNAMIC_METHODS
    return None if dynamic or names & DYNAMIC_NAMES else frozenset(names)


@functools.lru_cache(maxsize=4096)  # thread-safe (lru_cache locks); any thread may call
def names_deleted(code):
    """Names the code deletes in the cell's own scope (`del x`, `del (x, y)`,
    `del [x, y]`, also inside if/for/while/with/try): after it they are gone
    downstream too, unless the component binds them again."""
    try:
        tree = ast.parse(code or "")
    except (SyntaxError, ValueError):
        return frozenset()
    found, pending = set(), list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
            continue  # a scope of its own
        if isinstance(node, ast.Delete):
            found.update(deleted_names(node.targets))
        pending.extend(ast.iter_child_nodes(node))
    return frozenset(found)


def deleted_names(targets):
    for target in targets:
        if isinstance(target, ast.Name):
            yield target.id
        elif isinstance(target, (ast.Tuple, ast.List)):
            yield from deleted_names(target.elts)
