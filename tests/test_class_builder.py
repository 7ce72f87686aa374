"""The class builder: C++-bodied classes must behave like Python classes."""

import abc
import functools
import inspect
import pickle
import weakref

import pydantic
import pytest

from tessel_core._native import probe
from tessel_core._native.probe import AbstractProbe, Probe, ProbeModel


class PyProbe(Probe):
    def __init__(self, name=None, extra=0):
        super().__init__(name)
        self.extra = extra

    def combine(self, a, b=2, c=3):
        return super().combine(a, b=b, c=c) * 10


def test_identity_module_qualname_and_docs():
    assert Probe.__module__ == "tessel_core._native.probe"
    assert Probe.__qualname__ == "Probe"
    assert Probe.combine.__qualname__ == "Probe.combine"
    assert Probe.__doc__ == "A class with every kind of member."
    assert Probe.name.__doc__ == "Name (str or None)."
    assert "__dict__" in dir(Probe())


def test_methods_keywords_defaults_static_and_class():
    p = Probe("a")
    assert p.combine(1) == 6
    assert p.combine(1, c=10) == 13
    assert p.combine(a=1, b=1, c=1) == 3
    assert Probe.twice(4) == 8 and p.twice("x") == "xx"
    made = PyProbe.make("z")
    assert type(made) is PyProbe and made.name == "z"
    assert list(inspect.signature(Probe.make).parameters) == ["name"]
    with pytest.raises(TypeError):
        p.combine()


def _py_combine(self, a, b=2, c=3):
    return a + b + c


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {"a": 1}), ((1,), {"c": 10}), ((), {"c": 1, "a": 2, "b": 3}), ((), {"b": 1}),
     ((1,), {"a": 1}), ((1,), {"d": 2}), ((1, 2, 3, 4), {}), ((), {"self": 3, "a": 1}),
     ((1,), {"b": 5}), ((), {})],
)
def test_keyword_calls_bind_as_python_binds(args, kwargs):
    # keywords may be passed on by position: the outcome must not change
    try:
        expected = _py_combine(Probe(), *args, **kwargs)
    except TypeError:
        expected = TypeError
    for call in (Probe().combine, functools.partial(Probe.combine, Probe())):
        if expected is TypeError:
            with pytest.raises(TypeError):
                call(*args, **kwargs)
        else:
            assert call(*args, **kwargs) == expected


def test_bound_methods_are_standard_bound_methods():
    p, q = Probe("a"), Probe("a")
    assert p.combine == p.combine and hash(p.combine) == hash(p.combine)
    assert p.combine != q.combine and p.combine != p.twice
    assert p.combine.__self__ is p and p.combine.__func__ is Probe.combine
    registry = [p.combine]
    registry.remove(p.combine)
    ref = weakref.WeakMethod(p.combine)
    assert ref()(1) == 6
    del p
    assert ref() is None


def test_properties_and_type_checks():
    p = Probe()
    assert p.name is None
    p.name = "n"
    assert p.name == "n" and p.__dict__["_name"] == "n"
    with pytest.raises(TypeError) as err:
        p.name = 5
    assert str(err.value) == "Argument 'new_name' has incorrect type (expected str, got int)"
    p._label = 3.5
    with pytest.raises(TypeError) as err:
        p.label
    assert str(err.value) == "Expected unicode, got float"
    with pytest.raises(AttributeError):
        p.label = "x"
    with pytest.raises(TypeError) as err:
        Probe(name=[])
    assert str(err.value) == "Argument 'name' has incorrect type (expected str, got list)"


def test_python_subclass_and_super_chain():
    p = PyProbe("s", extra=2)
    assert p.combine(1) == 60 and p.extra == 2 and p.name == "s"
    assert isinstance(p, Probe)


def test_pickling_instances_and_bound_methods():
    p = PyProbe("k", extra=7)
    q = pickle.loads(pickle.dumps(p))
    assert type(q) is PyProbe and q.name == "k" and q.extra == 7
    bound = pickle.loads(pickle.dumps(Probe("b").combine))
    assert bound(1) == 6
    assert pickle.loads(pickle.dumps(Probe("c"))).name == "c"


def test_del_runs():
    before = probe.del_count()
    Probe()
    assert probe.del_count() == before + 1


def test_abstract_class():
    assert isinstance(AbstractProbe, abc.ABCMeta)
    with pytest.raises(TypeError):
        AbstractProbe(1)

    class Concrete(AbstractProbe):
        def __init__(self, value):
            super().__init__(value)

    assert Concrete(3).value == 3


def test_pydantic_model_declared_from_cpp():
    class PyModel(pydantic.BaseModel):
        title: str
        count: int = 1
        tags: list = []

    m = ProbeModel(title="t")
    assert list(ProbeModel.__fields__) == ["title", "count", "tags"]
    assert m.dict() == PyModel(title="t").dict()
    assert m.summary() == "t:1"
    other = ProbeModel(title="u")
    other.tags.append("x")
    assert m.tags == []  # defaults are copied per instance
    with pytest.raises(pydantic.ValidationError):
        ProbeModel()
    assert pickle.loads(pickle.dumps(m)) == m


@pytest.mark.parametrize("module, name", [
    ("tessel_core.common", "format_code"),
    ("tessel_core.executors.diskcache_writer.tasks", "write_diskcache"),
    ("tessel_core.executors.component_executors.utils", "parse_last_expr_from_code"),
])
def test_module_functions_pickle_in_a_fresh_interpreter(module, name):
    import subprocess
    import sys

    code = (f"import pickle\nfrom {module} import {name} as f\n"
            "assert pickle.loads(pickle.dumps(f)) is f\nprint('ok')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.strip() == "ok", out.stderr


def test_reprs_say_what_an_object_is(tmp_path):
    from tessel_core.cache import TesselDiskCache, TesselQuickhold
    from tessel_core.capture import TesselCaptureManager
    from tessel_core.executors import TesselComponentExecutor
    from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
    from tessel_core.executors.parameters_optimizer import TesselHPOptimizer
    from tessel_core.misc.models import TesselDagModel
    from tessel_core.pipeline import TesselDagBase

    dag = TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": "a", "name": "A", "code": ""}, {"id": "b", "name": "B", "code": ""}],
        edges=[{"parent": "a", "child": "b"}]))
    disk = TesselDiskCache(cache_dir=str(tmp_path))
    expected = [
        (dag.nodes["a"], "<TesselComponentRunlet id='a' name='A' status=INVALID>"),
        (dag, f"<TesselDagBase id={dag.id!r} nodes=2 edges=1>"),
        (TesselQuickhold(), "<TesselQuickhold outputs=[] failed=False>"),
        (disk, f"<TesselDiskCache dir={str(tmp_path)!r}>"),
        (TesselDiskcacheWriter("w"), "<TesselDiskcacheWriter id='w' state='closed'>"),
        (TesselComponentExecutor(identifier="e", name="E"),
         "<TesselComponentExecutor identifier='e' name='E'>"),
        (TesselHPOptimizer("RandomSearch", [0]),
         "<TesselHPOptimizer method='RandomSearch' directions=['minimize'] trials=0>"),
        (TesselCaptureManager(), "<TesselCaptureManager contexts=0>"),
    ]
    assert [repr(obj) for obj, _ in expected] == [text for _, text in expected]
    disk.close()
