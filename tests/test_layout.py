"""The package's modules import each other without a circle, counting the
C++ modules' imports by name, and read no private name of another module."""

import ast
import pathlib
import re

import networkx as nx

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Library internals with no public equivalent, each used in one place.
PRIVATE_ALLOWED = {("poolwatch.py", "result._set"), ("runner.py", "inputs._replace")}


def module_of(path):
    parts = list(path.relative_to(SRC).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def modules():
    """Module name -> the files of its source (a C++ module may be a folder)."""
    found = {module_of(p): [p] for p in SRC.rglob("*.py")}
    for cpp in SRC.rglob("*.cpp"):
        name = re.search(r"NB_MODULE\((\w+)", cpp.read_text())
        if not name:
            continue
        folder = cpp.parent.name == name[1]
        module = module_of(cpp.parent) if folder else module_of(cpp.parent) + "." + name[1]
        found[module] = [*cpp.parent.glob("*.[ch]*")] if folder else [cpp]
    return found


def imported(path, module):
    if path.suffix != ".py":
        yield from re.findall(r'import\("(tessel_core[\w.]*)"\)', path.read_text())
        return
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            yield from (a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                up = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(up + ([node.module] if node.module else []))
            yield base
            yield from (f"{base}.{a.name}" for a in node.names)


def import_graph():
    mods, graph = modules(), nx.DiGraph()
    for module, files in mods.items():
        for path in files:
            for name in imported(path, module):
                parts = name.split(".")
                # importing a.b.c runs the package a.b on the way (not the root)
                for i in range(2, len(parts) + 1):
                    target = ".".join(parts[:i])
                    if target in mods and not module.startswith(target):
                        graph.add_edge(module, target)
    return graph


def test_no_import_cycle():
    assert list(nx.simple_cycles(import_graph())) == []


def test_no_private_name_of_another_module():
    found = set()
    for path in SRC.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Attribute) and node.attr.startswith("_") \
                    and not node.attr.startswith("__"):
                base = ast.unparse(node.value)
                if base not in ("self", "cls"):
                    found.add((path.name, f"{base}.{node.attr}"))
    assert found <= PRIVATE_ALLOWED
