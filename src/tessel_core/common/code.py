"""What a cell's code reads, binds, deletes and may change, found in its
syntax: the one analysis the executor, the inputs a run gets, the cache keys,
the command line and the notebook importer all use. Also the one split of a
cell into its body and its last expression.

Every function here is pure and cached (functools.lru_cache locks): any
thread may call them.
"""

import ast
import functools
from typing import FrozenSet, List, NamedTuple, Optional, Tuple

# Reading any of these may reach every name of the namespace.
DYNAMIC_NAMES = {"globals", "locals", "vars", "eval", "exec", "__import__"}
# Methods that evaluate an expression string in the caller's frame
# (`numexpr.evaluate('x > 0')`, `pd.eval`, `df.eval`, `df.query('a > @b')`):
# the names they read are inside the string.
DYNAMIC_METHODS = {"eval", "evaluate", "query"}

# Calls known not to change their arguments (nor the object they are called
# on). Anything else may: a name passed to a call, or a method called on it,
# is taken as changed in place. Kept short on purpose: a missing entry only
# costs concurrency, a wrong one gives a wrong result.
READ_ONLY_FUNCTIONS = frozenset({
    "print", "len", "sorted", "isinstance", "issubclass", "type", "repr", "str", "int",
    "float", "bool", "list", "tuple", "set", "frozenset", "dict", "range", "enumerate", "zip",
    "min", "max", "sum", "abs", "round", "any", "all", "hash", "id", "format", "display",
    "hasattr", "getattr", "callable", "iter", "reversed", "map", "filter", "divmod", "pow",
})
READ_ONLY_METHODS = frozenset({
    # pandas / numpy objects
    "head", "tail", "describe", "info", "plot", "hist", "groupby", "copy", "mean", "median",
    "sum", "std", "var", "min", "max", "count", "nunique", "unique", "value_counts",
    "to_numpy", "to_list", "tolist", "to_dict", "to_string", "isna", "isnull", "notna",
    "corr", "cov", "sample", "agg", "aggregate", "apply", "map", "astype", "reshape",
    "dropna", "fillna", "merge", "join", "pivot_table", "sort_values", "sort_index", "round",
    "any", "all", "argmax", "argmin", "cumsum", "shape", "keys", "values", "items", "get",
    "nlargest", "nsmallest", "quantile", "rolling", "resample", "filter", "select_dtypes",
    "reset_index", "set_index", "rename", "drop", "replace", "where", "mask", "clip", "abs",
    "diff", "pct_change", "shift", "dot", "transpose", "flatten", "ravel", "squeeze",
    # str and containers
    "format", "split", "strip", "lower", "upper", "startswith", "endswith", "index", "find",
    # numpy module functions (np.mean(x), np.array(x), ...)
    "array", "asarray", "zeros_like", "ones_like", "concatenate", "stack", "vstack", "hstack",
    "sqrt", "exp", "log", "linspace", "arange", "where", "unique", "isnan", "allclose",
    # matplotlib
    "subplots", "figure", "show", "title", "xlabel", "ylabel", "legend", "scatter", "bar",
    "imshow", "set_title", "set_xlabel", "set_ylabel", "grid", "tight_layout",
})
# Methods that change their object however they are called.
IN_PLACE_KEYWORD = "inplace"
# Calls that write files: a cell making them is ordered with every other cell.
FILE_WRITING_METHODS = frozenset({
    "to_csv", "to_parquet", "to_excel", "to_json", "to_pickle", "to_feather", "to_hdf",
    "to_sql", "to_html", "savefig", "save", "savez", "savez_compressed", "savetxt", "tofile",
    "write_text", "write_bytes", "dump", "mkdir", "unlink", "rmdir", "remove", "rename",
    "makedirs", "rmtree", "copyfile", "move",
})
TIMING_MAGICS = ("%time ", "%timeit ", "%%time", "%%timeit")


class CellAnalysis(NamedTuple):
    """What a cell's code does to the names of its namespace."""

    parsed: bool  # False: not Python (a syntax error): it binds nothing
    reads: Optional[FrozenSet[str]]  # None: it may read any name
    binds: FrozenSet[str]  # bound, rebound or deleted
    changes: FrozenSet[str]  # read names it may change in place
    defines: FrozenSet[str]  # functions and classes it defines (def, class)
    barrier: Optional[str]  # why it must stay ordered with every other cell


def strip_timing_magic(line: str) -> Optional[str]:
    """The statement of a `%time`/`%timeit` line, or None for another line."""
    stripped = line.lstrip()
    for magic in ("%timeit", "%time"):
        if stripped.startswith(magic + " "):
            return line[:len(line) - len(stripped)] + stripped[len(magic) + 1:]
    return None


def as_python(code: str) -> Tuple[str, Optional[str]]:
    """The code with timing magics reduced to their statements, and why it is
    not plain Python otherwise (a magic or a shell escape), or None."""
    lines = (code or "").splitlines()
    if lines and lines[0].strip() in ("%%time", "%%timeit") or \
            lines and lines[0].lstrip().startswith(("%%time ", "%%timeit ")):
        lines = lines[1:]
    out, why = [], None
    for line in lines:
        timed = strip_timing_magic(line)
        if timed is not None:
            out.append(timed)
            continue
        head = line.lstrip()
        if head.startswith(("%", "!")) or head.startswith("get_ipython()"):
            why = why or f"uses the magic or shell escape {head.split()[0]!r}"
            out.append("pass")
        else:
            out.append(line)
    return "\n".join(out), why


def parse(code):
    try:
        return ast.parse(code or "")
    except (SyntaxError, ValueError):
        return None


@functools.lru_cache(maxsize=4096)
def names_read(code):
    """Names the code reads (a frozenset); None when it may read any name (or
    cannot be parsed). Cached: each component's code is read once per run of
    every descendant."""
    tree = parse(code)
    if tree is None:
        return None
    names, dynamic = set(), False
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            names.add(node.id)
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
            dynamic = dynamic or node.func.attr in DYNAMIC_METHODS
    return None if dynamic or names & DYNAMIC_NAMES else frozenset(names)


@functools.lru_cache(maxsize=4096)
def names_deleted(code):
    """Names the code deletes in the cell's own scope (`del x`, `del (x, y)`,
    `del [x, y]`, also inside if/for/while/with/try): after it they are gone
    downstream too, unless the component binds them again."""
    tree = parse(code)
    if tree is None:
        return frozenset()
    found = set()
    for node in own_scope(tree):
        if isinstance(node, ast.Delete):
            found.update(target_names(node.targets))
    return frozenset(found)


def own_scope(tree):
    """The nodes of the cell's own scope: not inside a def, class or lambda
    (their decorators, defaults and bases are in it)."""
    pending = list(ast.iter_child_nodes(tree))
    while pending:
        node = pending.pop()
        yield node
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            pending.extend(node.decorator_list)
            pending.extend(node.args.defaults + [d for d in node.args.kw_defaults if d])
        elif isinstance(node, ast.ClassDef):
            pending.extend(node.decorator_list + node.bases + [k.value for k in node.keywords])
        elif isinstance(node, ast.Lambda):
            pending.extend(node.args.defaults)
        else:
            pending.extend(ast.iter_child_nodes(node))


def target_names(targets):
    """Names bound by assignment targets (`a, *b = ...`)."""
    for target in targets:
        if isinstance(target, ast.Name):
            yield target.id
        elif isinstance(target, (ast.Tuple, ast.List)):
            yield from target_names(target.elts)
        elif isinstance(target, ast.Starred):
            yield from target_names([target.value])


def root_name(node):
    """`x` of `x`, `x.a.b`, `x[0].a`; None for anything else."""
    while isinstance(node, (ast.Attribute, ast.Subscript)):
        node = node.value
    return node.id if isinstance(node, ast.Name) else None


def bound_by(node):
    """Names a statement or expression of the cell's scope binds."""
    if isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
        targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        return set(target_names(targets))
    if isinstance(node, (ast.For, ast.AsyncFor)):
        return set(target_names([node.target]))
    if isinstance(node, (ast.With, ast.AsyncWith)):
        return set(target_names([i.optional_vars for i in node.items if i.optional_vars]))
    if isinstance(node, ast.NamedExpr):
        return {node.target.id}
    if isinstance(node, (ast.Import, ast.ImportFrom)):
        return {(a.asname or a.name).split(".")[0] for a in node.names if a.name != "*"}
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return {node.name}
    if isinstance(node, ast.Delete):
        return set(target_names(node.targets))
    if isinstance(node, ast.ExceptHandler) and node.name:
        return {node.name}
    return set()


def changed_by(node):
    """Names a node of the cell's scope may change in place: attribute or item
    assignment, augmented assignment of an item, a method called on a name,
    a name passed to a call (but for calls known to only read)."""
    if isinstance(node, (ast.Assign, ast.AugAssign, ast.AnnAssign, ast.Delete)):
        targets = node.targets if isinstance(node, (ast.Assign, ast.Delete)) else [node.target]
        return {root_name(t) for t in targets if not isinstance(t, ast.Name)} - {None}
    if not isinstance(node, ast.Call):
        return set()
    func, found = node.func, set()
    in_place = any(k.arg == IN_PLACE_KEYWORD for k in node.keywords)
    if isinstance(func, ast.Attribute):
        if func.attr not in READ_ONLY_METHODS or in_place:
            found.add(root_name(func.value))
        read_only = func.attr in READ_ONLY_METHODS
    else:
        read_only = isinstance(func, ast.Name) and func.id in READ_ONLY_FUNCTIONS
    if not read_only:
        args = list(node.args) + [k.value for k in node.keywords]
        found.update(root_name(a.value if isinstance(a, ast.Starred) else a) for a in args)
    return found - {None}


def writes_files(node):
    """Whether a call writes or removes files (`open(p, "w")`, `df.to_csv`)."""
    if not isinstance(node, ast.Call):
        return False
    func = node.func
    if isinstance(func, ast.Attribute):
        return func.attr in FILE_WRITING_METHODS
    if isinstance(func, ast.Name) and func.id == "open":
        mode = node.args[1] if len(node.args) > 1 else \
            next((k.value for k in node.keywords if k.arg == "mode"), None)
        if mode is None:
            return False
        if not isinstance(mode, ast.Constant) or not isinstance(mode.value, str):
            return True  # cannot tell: assume it writes
        return any(c in mode.value for c in "wax+")
    return False


@functools.lru_cache(maxsize=4096)
def analyse(code):
    """What the cell does to its namespace, for ordering cells of a notebook."""
    text, magic = as_python(code)
    tree = parse(text)
    if tree is None:
        return CellAnalysis(False, None, frozenset(), frozenset(), frozenset(), "cannot be parsed")
    reads = names_read(text)
    binds, changes, writes = set(), set(), False
    defines = {n.name for n in own_scope(tree)
               if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))}
    for node in own_scope(tree):
        binds |= bound_by(node)
        changes |= changed_by(node)
        writes = writes or writes_files(node)
        if isinstance(node, ast.Global):
            binds.update(node.names)
    for node in ast.walk(tree):  # a function body's `global x` binds x where it runs
        if isinstance(node, ast.Global):
            binds.update(node.names)
        writes = writes or writes_files(node)
    star = any(isinstance(n, ast.ImportFrom) and any(a.name == "*" for a in n.names)
               for n in ast.walk(tree))
    if reads is not None and "get_ipython" in reads:
        reads = None
    barrier = magic or ("writes files" if writes else None) or \
        ("reads names it cannot see" if reads is None else None) or \
        ("binds the names of a * import" if star else None)
    return CellAnalysis(True, reads, frozenset(binds), frozenset(changes), frozenset(defines),
                        barrier)


def last_expression(body: List[ast.stmt]) -> Optional[ast.Expr]:
    """The cell's last statement when it is an expression: the value it shows."""
    return body[-1] if body and isinstance(body[-1], ast.Expr) else None
