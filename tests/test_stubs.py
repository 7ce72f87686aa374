"""Every callable a stub declares: the runtime signature is the stub's, the C++
function behind it takes the same parameter names and defaults, and __doc__ is
the docstring alone."""

import ast
import importlib
import inspect
import pathlib

import pytest

import tessel_core

ROOT = pathlib.Path(tessel_core.__file__).parent
SKIPPED = {"property", "setter", "getter", "deleter", "overload"}


def _decorators(node):
    return {getattr(d, "id", None) or getattr(d, "attr", None) for d in node.decorator_list}


def _stub_defs():
    for stub in sorted(ROOT.rglob("*.pyi")):
        module = ".".join(("tessel_core",) + stub.relative_to(ROOT).with_suffix("").parts)
        todo = [("", node) for node in ast.parse(stub.read_text()).body]
        while todo:
            prefix, node = todo.pop()
            if isinstance(node, ast.ClassDef):
                todo += [(f"{prefix}{node.name}.", n) for n in node.body]
            elif isinstance(node, ast.FunctionDef) and not _decorators(node) & SKIPPED:
                yield pytest.param(module, prefix + node.name, node, id=f"{module}:{prefix}{node.name}")


def _runtime(module, qualname):
    owner = importlib.import_module(module)
    *path, name = qualname.split(".")
    for part in path:
        owner = getattr(owner, part)
    raw = inspect.getattr_static(owner, name)
    return getattr(raw, "__func__", raw)  # static and class methods


def _stub_params(node):
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    pairs = list(zip(positional, defaults)) + [(args.vararg, None)] * bool(args.vararg)
    pairs += list(zip(args.kwonlyargs, args.kw_defaults)) + [(args.kwarg, None)] * bool(args.kwarg)
    return [(a.arg, d) for a, d in pairs]


def _native_params(impl):
    text, _doc, defaults = impl.__nb_signature__[0]
    node = ast.parse(text.replace("\\", "_d") + ": pass").body[0]
    values = {f"_d{i}": v for i, v in enumerate(defaults or ())}
    return {name: (values[d.id] if d is not None else inspect.Parameter.empty)
            for name, d in _stub_params(node)}


@pytest.mark.parametrize("module, qualname, node", list(_stub_defs()))
def test_callable_matches_its_stub(module, qualname, node):
    obj = _runtime(module, qualname)
    declared = _stub_params(node)
    assert list(inspect.signature(obj).parameters) == [name for name, _ in declared]
    impl = getattr(obj, "__wrapped__", None)
    if impl is None or not hasattr(impl, "__nb_signature__"):
        return  # not C++ (pydantic's and enum's own members)
    native = _native_params(impl)
    assert list(native) == [name for name, _ in declared]
    for name, default in declared:
        if default is None:
            assert native[name] is inspect.Parameter.empty, name
        elif not (isinstance(default, ast.Constant) and default.value is Ellipsis):
            assert native[name] == ast.literal_eval(default), name
    assert obj.__doc__ and obj.__doc__ == impl.__nb_signature__[0][1]
