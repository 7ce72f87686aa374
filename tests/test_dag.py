"""The pipeline DAG: structure, invalidation, disk-cache flags, queries."""

import networkx as nx
import pytest

from tessel_core.components import TesselComponentRunlet
from tessel_core.misc import TesselComponentStatus as CS
from tessel_core.misc.models import TesselComponentModel, TesselDagModel
from tessel_core.pipeline import TesselDagBase, TesselNodeView


def comp(cid, code="x = 1", diskcache=False):
    return TesselComponentModel(id=cid, name=cid.upper(), code=code,
                                metadata={"diskcache": diskcache})


def dag_of(ids, edges, **kw):
    return TesselDagBase(graph=TesselDagModel(
        nodes=[comp(i, **kw) for i in ids], edges=[{"parent": p, "child": c} for p, c in edges]))


def succeed_all(dag):
    for c in dag.nodes.values():
        c.status = CS.SUCCESSFUL


def statuses(dag):
    return {k: v.status for k, v in dag.nodes.items()}


def test_construction_and_identifier():
    d = TesselDagBase()
    assert len(d.id) == 36 and d.nx_graph.number_of_nodes() == 0
    assert len(TesselDagBase(identifier="").id) == 36
    assert TesselDagBase(identifier="mine").id == "mine"
    assert isinstance(d.nx_graph, nx.DiGraph) and d.nx_graph is d.nx_graph


def test_nodes_view_is_topological_mapping():
    d = dag_of(["c", "a", "b"], [("a", "b"), ("b", "c")])
    view = d.nodes
    assert isinstance(view, TesselNodeView) and view is not d.nodes
    assert list(view) == ["a", "b", "c"] and len(view) == 3
    assert isinstance(view["a"], TesselComponentRunlet) and "a" in view and "z" not in view
    d.nx_graph.add_node("bare")
    assert "bare" not in d.nodes
    with pytest.raises(KeyError):
        d.nodes["bare"]


def test_cycles_are_refused_and_nothing_changes():
    d = dag_of(["a", "b", "c"], [("a", "b"), ("b", "c")])
    succeed_all(d)
    before = set(d.edges)
    for p, c in [("c", "a"), ("b", "b")]:
        with pytest.raises(RuntimeError) as err:
            d.add_edge(p, c)
        assert f"'{p.upper()}' and '{c.upper()}'" in str(err.value)
        assert str(err.value).endswith("DAG must remain acyclic.")
    assert set(d.edges) == before and set(statuses(d).values()) == {CS.SUCCESSFUL}


def test_unknown_ids_leave_no_bare_node():
    d = dag_of(["a"], [])
    with pytest.raises(KeyError, match="'ghost'"):
        d.add_edge("a", "ghost")
    assert list(d.nx_graph.nodes) == ["a"]


def test_add_edge_invalidates_downstream_and_spreads_diskcache():
    d = dag_of(["a", "b", "c", "up"], [("up", "a"), ("b", "c")])
    succeed_all(d)
    d.nodes["b"].use_diskcache = True
    d.add_edge("a", "b")
    assert statuses(d) == {"a": CS.SUCCESSFUL, "b": CS.INVALID, "c": CS.INVALID,
                           "up": CS.SUCCESSFUL}
    assert d.nodes["a"].use_diskcache and d.nodes["up"].use_diskcache
    assert not d.nodes["c"].use_diskcache
    succeed_all(d)
    d.add_edge("a", "b")  # existing edge: still invalidates
    assert d.nodes["b"].status == CS.INVALID


def test_remove_edge_and_node():
    d = dag_of(["a", "b", "c"], [("a", "b"), ("b", "c")])
    succeed_all(d)
    d.remove_edge("a", "b")
    assert statuses(d) == {"a": CS.SUCCESSFUL, "b": CS.INVALID, "c": CS.INVALID}
    with pytest.raises(nx.NetworkXError):
        d.remove_edge("a", "b")
    succeed_all(d)
    d.remove_node("b")
    assert statuses(d) == {"a": CS.SUCCESSFUL, "c": CS.INVALID}
    with pytest.raises(nx.NetworkXError):
        d.remove_node("nope")


def test_add_node_updates_in_place():
    d = dag_of(["a", "b"], [("a", "b")])
    succeed_all(d)
    same = d.nodes["a"]
    d.add_node(TesselComponentModel(id="a", name="Renamed", code="x = 1"))
    assert d.nodes["a"] is same and same.name == "Renamed" and same.status == CS.SUCCESSFUL
    d.add_node(TesselComponentModel(id="a", name="Renamed", code="x = 2"))
    assert statuses(d) == {"a": CS.INVALID, "b": CS.INVALID}


def test_info_lists_parents_in_edge_order():
    d = dag_of(["a", "b", "c"], [])
    d.add_edge("b", "c")
    d.add_edge("a", "c")
    info = d.info
    assert info.identifier == d.id and list(info.components)[-1] == "c"
    assert info.components["c"].parent_ids == ["b", "a"]
    assert info.components["c"].parent_names == ["B", "A"]
    assert info.components["a"].execution_status == CS.INVALID


class AskedRunlet(TesselComponentRunlet):
    """Its info is its own: the graph asks for it and validates it."""

    @property
    def info(self):
        return super().info


def fields_sets(model):
    sets = {"": model.__fields_set__}
    for name in model.__fields__:
        value = getattr(model, name)
        values = value.values() if isinstance(value, dict) else (
            value if isinstance(value, list) else [value])
        for i, v in enumerate(values):
            if hasattr(v, "__fields_set__"):
                sets.update({f"{name}[{i}]{k}": s for k, s in fields_sets(v).items()})
    return sets


def test_info_built_directly_is_the_validated_one():
    metadata = {"comments": [{"writer": "w", "message": "m"}],
                "remoteExecution": {"backend": "redis://b", "broker": "redis://k"}}
    d = TesselDagBase(graph=TesselDagModel(
        nodes=[TesselComponentModel(id=i, name=i.upper(), code="x = 1", metadata=metadata)
               for i in "abc"], edges=[{"parent": "a", "child": "c"}, {"parent": "b", "child": "c"}]))
    d.nodes["b"].status = CS.SUCCESSFUL
    direct = d.info
    for component in d.nodes.values():
        component.__class__ = AskedRunlet
    asked = d.info
    assert direct == asked and direct.dict() == asked.dict()
    assert fields_sets(direct) == fields_sets(asked)
    assert type(direct.components["b"].execution_status) is str
    runlet_comments = d.nodes["c"].metadata.comments
    direct.components["c"].metadata.comments[0].message = "changed"
    assert runlet_comments[0].message == "m"  # the record's copies are its own


def test_update_graph_refresh_and_changes():
    desc = TesselDagModel(nodes=[comp("a"), comp("b")], edges=[{"parent": "a", "child": "b"}])
    d = TesselDagBase(graph=desc)
    succeed_all(d)
    objects = dict(d.nodes)
    d.update_graph(desc)  # same description: only refreshed
    assert dict(d.nodes) == objects and set(statuses(d).values()) == {CS.SUCCESSFUL}
    d.update_graph(TesselDagModel(nodes=[comp("a"), comp("b"), comp("c")],
                                  edges=[{"parent": "a", "child": "c"}]))
    assert set(d.edges) == {("a", "c")} and d.nodes["b"] is objects["b"]
    assert statuses(d) == {"a": CS.SUCCESSFUL, "b": CS.INVALID, "c": CS.INVALID}


def test_update_graph_rejects_bad_descriptions_whole():
    d = dag_of(["a", "b"], [("a", "b")])
    succeed_all(d)
    cyclic = TesselDagModel(nodes=[comp("a"), comp("b"), comp("n")],
                            edges=[{"parent": "a", "child": "b"}, {"parent": "b", "child": "a"}])
    with pytest.raises(RuntimeError, match="DAG must remain acyclic"):
        d.update_graph(cyclic)
    dangling = TesselDagModel(nodes=[comp("a")], edges=[{"parent": "a", "child": "x"}])
    with pytest.raises(KeyError, match="'x'"):
        d.update_graph(dangling)
    assert set(d.nodes) == {"a", "b"} and set(d.edges) == {("a", "b")}
    assert set(statuses(d).values()) == {CS.SUCCESSFUL}


class RecordingDag(TesselDagBase):
    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def add_edge(self, parent_id, child_id):
        self.calls.append((parent_id, child_id))
        super().add_edge(parent_id, child_id)


def test_update_graph_uses_overridden_editing_methods():
    d = RecordingDag(graph=TesselDagModel(nodes=[comp("a"), comp("b")],
                                          edges=[{"parent": "a", "child": "b"}]))
    assert d.calls == [("a", "b")]


def test_batched_edges_match_one_at_a_time():
    edges = [("a", "b"), ("b", "c"), ("d", "c"), ("c", "e"), ("f", "d")]
    ids = ["a", "b", "c", "d", "e", "f"]
    batched = TesselDagBase(graph=TesselDagModel(nodes=[comp(i) for i in ids]))
    single = RecordingDag(graph=TesselDagModel(nodes=[comp(i) for i in ids]))
    for d in (batched, single):
        succeed_all(d)
        d.nodes["c"].use_diskcache = True
        d.update_graph(TesselDagModel(nodes=[comp(i, diskcache=(i == "c")) for i in ids],
                                      edges=[{"parent": p, "child": c} for p, c in edges]))
    assert statuses(batched) == statuses(single)
    flags = lambda d: {k: v.use_diskcache for k, v in d.nodes.items()}
    assert flags(batched) == flags(single)
    assert flags(batched) == {"a": True, "b": True, "c": True, "d": True, "e": False, "f": True}


def test_last_node_in_chain():
    d = dag_of(["a", "b", "c", "x"], [("a", "b"), ("b", "c")])
    assert d.last_node_in_chain([]) is None
    assert d.last_node_in_chain(["b"]) == "b"
    for order in (["a", "b", "c"], ["c", "a", "b"], ["b", "c", "a"]):
        assert d.last_node_in_chain(order) == "c"
    assert d.last_node_in_chain(["a", "x"]) is None
    with pytest.raises(nx.NetworkXError):
        d.last_node_in_chain(["a", "a"])
