"""The cache interface, the in-memory holder and the disk cache."""

import multiprocessing
import os
import pickle
from pathlib import Path

import pydantic
import pytest

from tessel_core.cache import TesselDiskCache, TesselQuickhold
from tessel_core.cache.hoardbase import ITesselCache
from tessel_core.misc.models import (
    TesselCacheModel,
    TesselCapturedModel,
    TesselComponentOutputsSummaryModel,
)

ENTRIES = ["module_statements", "non_module_outputs", "last_output", "captured",
           "exception_msg", "outputs_summary"]


class DictCache(ITesselCache):
    """A minimal subclass written in Python."""

    def __init__(self):
        super().__init__()
        self.store = {}

    def _get_from_cache(self, key, default=None):
        return self.store.get(key, default)

    def _set_to_cache(self, key, value):
        self.store[key] = value


class HoldsCache(pydantic.BaseModel):
    cache: TesselQuickhold


# --- interface -------------------------------------------------------------

def test_interface_is_abstract():
    with pytest.raises(TypeError):
        ITesselCache()

    class Partial(ITesselCache):
        def __init__(self):
            pass

    with pytest.raises(TypeError):
        Partial()


def test_python_subclass_gets_defaults_and_typed_keys():
    c = DictCache()
    assert c.module_statements == {} == TesselCacheModel().module_statements
    assert c.outputs_summary == TesselComponentOutputsSummaryModel()
    c.exception_msg = None
    assert "exception_msg" in c.store and c.exception_msg is None
    with pytest.raises(NotImplementedError):
        c.pop_from_cache("x")
    with pytest.raises(NotImplementedError):
        c.clear_cache()


def test_defaults_are_fresh_per_read():
    c = DictCache()
    c.module_statements["x"] = "y"  # mutates a default, not the store
    assert c.module_statements == {}


def test_key_must_be_str(tmp_path):
    disk = TesselDiskCache(cache_dir=str(tmp_path))
    for cache in (TesselQuickhold(), disk):
        for call in (lambda: cache._get_from_cache(1), lambda: cache._set_to_cache(b"k", 1),
                     lambda: cache.pop_from_cache(2.0)):
            with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
                call()
    # the base bodies check too, reached through super()
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        ITesselCache._get_from_cache(TesselQuickhold(), 1)
    disk.close()


def test_validator_hook():
    q = TesselQuickhold()
    assert HoldsCache(cache=q).cache is q
    assert list(TesselQuickhold.__get_validators__()) == [TesselQuickhold.validate_cache]
    q.captured = None
    assert TesselQuickhold.validate_cache(q) is q
    q.captured = ("a",)
    with pytest.raises(ValueError) as err:
        TesselQuickhold.validate_cache(q)
    assert str(err.value).startswith("Invalid cache: ")
    assert str(err.value).endswith(". Validate by custom field.")
    assert isinstance(err.value.__cause__, AssertionError)
    with pytest.raises(pydantic.ValidationError):
        HoldsCache(cache=q)
    q.captured = None
    q.outputs_summary = {"objects": []}
    with pytest.raises(ValueError):
        TesselQuickhold.validate_cache(q)


# --- in-memory -------------------------------------------------------------

def test_quickhold_empty_state_and_equality():
    a, b = TesselQuickhold(), TesselQuickhold(cache=None)
    assert a == b and list(a._cache) == ENTRIES
    assert dict(a._cache) == {k: v for k, v in TesselCacheModel()}
    assert (a == 3) is False and a.__eq__(3) is NotImplemented
    with pytest.raises(TypeError):
        hash(a)
    a.module_statements = {"np": "numpy"}
    assert a != TesselQuickhold()
    a.clear_cache()
    assert a == TesselQuickhold()
    assert a.outputs_summary == {"objects": [], "functions": [], "classes": [], "modules": []}
    assert type(a.outputs_summary) is dict


def test_quickhold_pop_and_shared_objects():
    model = TesselCacheModel(captured=[TesselCapturedModel(type="stream", text="x")])
    q = TesselQuickhold(cache=model)
    model.module_statements["a"] = "b"
    assert q.module_statements == {"a": "b"}
    assert q.captured is model.captured
    assert q.pop_from_cache("last_output") is None and "last_output" not in q._cache
    assert q.pop_from_cache("absent") is None
    assert q.last_output is TesselCacheModel().last_output


class TaggedQuickhold(TesselQuickhold):
    def __init__(self, cache=None, tag=""):
        super().__init__(cache=cache)
        self.tag = tag


def test_quickhold_pickles_and_subclasses():
    q = TaggedQuickhold(tag="t")
    q.last_output = b"123"
    back = pickle.loads(pickle.dumps(q))
    assert back == q and back.tag == "t"


# --- disk ------------------------------------------------------------------

def test_diskcache_creates_and_reopens(tmp_path):
    d = tmp_path / "a" / "b"
    cache = TesselDiskCache(cache_dir=str(d))
    assert d.is_dir() and cache.cache_dir == str(d)
    assert cache.module_statements == {}
    cache.non_module_outputs = {"x": b"1"}
    cache.captured = [TesselCapturedModel(type="stream", name="stdout", text="hi")]
    cache.close()
    again = TesselDiskCache(cache_dir=d)
    assert again.non_module_outputs == {"x": b"1"}
    assert again.captured[0].text == "hi" and type(again.cache_dir) is str
    again.close()


def test_diskcache_expands_home_and_vars(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("TESSEL_TEST_DIR", "sub")
    cache = TesselDiskCache(cache_dir="~/$TESSEL_TEST_DIR/c")
    assert cache.cache_dir == str(tmp_path / "home" / "sub" / "c")
    assert os.path.isdir(cache.cache_dir)
    assert not Path("~").exists()
    cache.close()


def test_diskcache_clear_stores_defaults_as_models(tmp_path):
    cache = TesselDiskCache(cache_dir=str(tmp_path))
    cache.last_output = b"v"
    cache.clear_cache()
    assert sorted(cache._cache) == sorted(ENTRIES)
    assert isinstance(cache.outputs_summary, TesselComponentOutputsSummaryModel)
    assert cache.last_output is None
    assert cache.pop_from_cache("last_output") is None
    assert cache.pop_from_cache("last_output") is None
    cache.close()


def test_diskcache_unwritable_directory(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(OSError):
        TesselDiskCache(cache_dir=str(blocker / "sub"))


def test_diskcache_unpicklable_value_propagates(tmp_path):
    cache = TesselDiskCache(cache_dir=str(tmp_path))
    with pytest.raises(Exception):
        cache.last_output = lambda: 1
    cache.close()


def _read_in_child(directory, queue):
    from tessel_core.cache import TesselDiskCache

    c = TesselDiskCache(cache_dir=directory)
    queue.put((c.non_module_outputs, c.exception_msg))
    c.close()


def test_diskcache_readable_from_another_process(tmp_path):
    cache = TesselDiskCache(cache_dir=str(tmp_path))
    cache.non_module_outputs = {"y": b"2"}
    cache.exception_msg = ["e"]
    ctx = multiprocessing.get_context("spawn")
    q = ctx.Queue()
    p = ctx.Process(target=_read_in_child, args=(str(tmp_path), q))
    p.start()
    assert q.get(timeout=60) == ({"y": b"2"}, ["e"])
    p.join(30)
    cache.close()


def test_diskcache_pickles(tmp_path):
    cache = TesselDiskCache(cache_dir=str(tmp_path))
    cache.last_output = b"z"
    back = pickle.loads(pickle.dumps(cache))
    assert back.last_output == b"z" and back.cache_dir == cache.cache_dir
