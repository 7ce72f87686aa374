"""Hostile objects against the public constructors, methods and setters.

Run as a script (by test_fuzz.py, in a subprocess): any Python exception is an
acceptable answer; a signal (a crash) is not, and after every call the object
must still work.
"""

import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessel_core.cache import TesselDiskCache, TesselQuickhold
from tessel_core.common import format_code
from tessel_core.components import TesselComponentRunlet
from tessel_core.executors import TesselComponentExecutor
from tessel_core.executors.component_executors.utils import parse_last_expr_from_code
from tessel_core.executors.parameters_optimizer import TesselHPOptimizer, get_search_space
from tessel_core.misc.models import TesselComponentModel, TesselDagModel
from tessel_core.pipeline import TesselDagBase


class Raising:
    """Every protocol method raises."""

    def __str__(self):
        raise RuntimeError("str")

    __repr__ = __str__

    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        raise RuntimeError("hash")

    def __reduce__(self):
        raise RuntimeError("reduce")

    def __iter__(self):
        raise RuntimeError("iter")

    def __len__(self):
        raise RuntimeError("len")


class OddItems(dict):
    """A mapping whose items() is not what a dict's is."""

    def __init__(self, items):
        super().__init__(a=1)
        self._items = items

    def items(self):
        if isinstance(self._items, Exception):
            raise self._items
        return self._items


odd_texts = st.sampled_from(["a\0b", "\ud800", "x = '\udfff'\nx", "\0", "", "  \n\t"])
plain = st.one_of(st.none(), st.booleans(), st.integers(), st.integers(min_value=2**200),
                  st.floats(allow_nan=True), st.binary(max_size=8), st.text(max_size=8),
                  odd_texts)
odd_items = st.one_of(
    st.lists(st.lists(plain, max_size=3), max_size=3),
    st.lists(st.text(max_size=3), max_size=3),
    st.lists(st.integers(), max_size=3),
    st.just(42), st.just(ValueError("items")), st.builds(Raising),
).map(OddItems)
hostile = st.recursive(
    st.one_of(plain, odd_items, st.builds(Raising)),
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.text(max_size=3), inner, max_size=3),
                            st.tuples(inner, inner)),
    max_leaves=6)

FUZZ = settings(max_examples=int(sys.argv[1]) if len(sys.argv) > 1 else 100, deadline=None,
                derandomize=True, database=None,
                suppress_health_check=list(HealthCheck))


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception:
        pass


def fresh_runlet():
    return TesselComponentRunlet(component=TesselComponentModel(id="r", name="R", code="x = 1\nx"))


def assert_runlet_works(r):
    r.cell_code = "y = 2\ny"
    assert r.execute() == 2 and r.non_module_outputs == {"y": 2}


@FUZZ
@given(hostile, hostile, hostile, hostile)
def fuzz_runlet_execute(shell, statements, inputs, parameters):
    r = fresh_runlet()
    attempt(r.execute, ipython_shell=shell, module_statements=statements,
            non_module_inputs=inputs, parameters=parameters)
    assert_runlet_works(r)


RUNLET_SETTERS = ["name", "cell_code", "status", "captured", "exception_msg", "last_output",
                  "non_module_outputs", "module_statements", "use_diskcache", "remote_config"]


@FUZZ
@given(st.sampled_from(RUNLET_SETTERS), hostile)
def fuzz_runlet_setters(name, value):
    r = fresh_runlet()
    attempt(setattr, r, name, value)
    for reader in ("outputs", "non_module_outputs", "last_output", "captured", "last_expr",
                   "info", "exception"):
        attempt(getattr, r, reader)
    attempt(r.show_captured)
    r.remote_config = None
    r.use_diskcache = False
    r.clear_quickhold()
    assert_runlet_works(r)


@FUZZ
@given(hostile, hostile)
def fuzz_text_helpers(code, shell):
    attempt(format_code, code)
    attempt(parse_last_expr_from_code, code, shell)
    attempt(fresh_runlet().__setattr__, "cell_code", code)
    assert format_code("  a\n  b") == "a\nb"


@FUZZ
@given(hostile, hostile, hostile, hostile)
def fuzz_optimizer(method, directions, parameters, rounds):
    attempt(get_search_space, parameters)
    attempt(TesselHPOptimizer, opt_method=method, directions=directions, parameters=parameters,
            haltwatch_rounds=rounds)
    assert get_search_space({"a": {"low": 0, "high": 2, "interval": 1}}) == {"a": [0, 1]}


@FUZZ
@given(hostile, hostile, hostile)
def fuzz_dag(a, b, graph):
    dag = TesselDagBase(graph=TesselDagModel(nodes=[{"id": "a", "name": "A", "code": ""},
                                                    {"id": "b", "name": "B", "code": ""}]))
    for call in (dag.add_edge, dag.remove_edge):
        attempt(call, a, b)
    attempt(dag.remove_node, a)
    attempt(dag.update_graph, graph)
    attempt(TesselDagBase, graph=graph)
    dag.update_graph(TesselDagModel(nodes=[{"id": "c", "name": "C", "code": ""}]))
    assert "c" in dag.nodes


@FUZZ
@given(hostile, hostile)
def fuzz_caches_and_executor(key, value):
    hold = TesselQuickhold()
    attempt(hold._set_to_cache, key, value)
    attempt(TesselQuickhold, cache=value)
    hold.last_output = b"ok"
    assert hold.last_output == b"ok"
    ex = TesselComponentExecutor(identifier="e", name="E")
    attempt(ex.execute, value)
    attempt(TesselComponentExecutor, identifier=key, name=value, ipython_shell=value)


@FUZZ
@given(hostile, hostile)
def fuzz_capture(outputs, metadata):
    from tessel_core.capture import TesselCapturedIO, TesselCaptureManager
    from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter

    attempt(lambda: TesselCapturedIO(outputs=outputs).show())
    attempt(TesselCaptureManager, ipython_shell=outputs, metadata=metadata)
    attempt(TesselDiskcacheWriter, outputs, metadata)
    attempt(TesselCapturedIO, outputs=outputs, ipython_shell=metadata)


@settings(FUZZ, max_examples=max(10, FUZZ.max_examples // 10))
@given(hostile, hostile)
def fuzz_disk_cache(key, value):
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        attempt(TesselDiskCache, cache_dir=value)
        disk = TesselDiskCache(cache_dir=d)
        attempt(disk._set_to_cache, key, value)
        attempt(disk.pop_from_cache, key)
        attempt(disk._sweep_orphans, value, key)
        disk.last_output = b"ok"
        assert disk.last_output == b"ok"
        disk.close()


if __name__ == "__main__":
    for name, fuzz in list(globals().items()):
        if name.startswith("fuzz_"):
            fuzz()
            print(name, "ok", flush=True)
