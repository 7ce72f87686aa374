// The pipeline graph: components on the nodes of a networkx.DiGraph, data
// dependencies as edges. Keeps the graph acyclic, invalidates everything
// downstream of a change, and makes every ancestor of a disk-cached component
// use the disk cache too.
//
// Graph walks go straight over networkx's adjacency dicts (_succ, _pred),
// which is what its own algorithms read, without building Python generators.
#include "tessel_core/_native/module.h"
#include "tessel_core/pipeline/dag_info.h"

#include <unordered_map>
#include <vector>

namespace {

nb::object invalid() {
    return G("TesselComponentStatus").attr("INVALID");
}

bool has_node(nb::handle graph, nb::handle id) {
    int r = PyDict_Contains(nb::object(graph.attr("_node")).ptr(), id.ptr());
    if (r < 0)
        throw pyclass::error();
    return r == 1;
}

nb::object component_of(nb::handle graph, nb::handle id) {
    return graph.attr("_node")[id]["component"];
}

// Every node reachable from `starts` along `adjacency` (a dict of dicts),
// in one walk from all of them; a start is included only if reached again.
nb::object reachable(nb::handle adjacency, nb::handle starts) {
    nb::object seen = pyclass::check(PySet_New(nullptr));
    nb::list stack = pyclass::list_copy(starts);
    PyObject *adj = pyclass::expect<nb::dict>(adjacency, "graph adjacency").ptr();
    while (PyList_GET_SIZE(stack.ptr()) > 0) {
        nb::object node = stack.attr("pop")();
        PyObject *nbrs = PyDict_GetItemWithError(adj, node.ptr());
        if (!nbrs) {
            if (PyErr_Occurred())
                throw pyclass::error();
            continue;
        }
        if (!PyDict_Check(nbrs))
            pyclass::raise(PyExc_TypeError, "graph adjacency must map nodes to dicts");
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(nbrs, &pos, &key, &value)) {
            int added = PySet_Contains(seen.ptr(), key);
            if (added < 0)
                throw pyclass::error();
            if (added)
                continue;
            if (PySet_Add(seen.ptr(), key) < 0 || PyList_Append(stack.ptr(), key) < 0)
                throw pyclass::error();
        }
    }
    return seen;
}

// As networkx's descendants, whose own error an unknown node gets.
nb::object descendants(nb::handle graph, nb::handle id) {
    if (!has_node(graph, id))
        return G("nx").attr("descendants")(graph, id);
    return reachable(graph.attr("_succ"), nb::make_tuple(id));
}

void invalidate(nb::handle graph, nb::handle ids) {
    nb::object status = invalid();
    for (nb::handle id : pyclass::list_copy(ids))
        component_of(graph, id).attr("status") = status;
}

// ---- node view ----------------------------------------------------------------

void define_node_view(nb::module_ m) {
    ClassDef(m, "TesselNodeView", nb::make_tuple(G("Mapping")),
             "Class to provide MappingView for the topological sorted nodes of TesselDag.")
        .def(
            "__init__", [](nb::handle self, obj dag) { self.attr(S("_dag")) = dag; }, "dag"_a,
            "A live view of the components of dag.")
        .def(
            "__getitem__",
            [](nb::handle self, obj key) {
                return self.attr(S("_dag")).attr("nx_graph").attr("nodes")[key]["component"];
            },
            "key"_a, "The component with id key.")
        .def(
            "__contains__",
            [](nb::handle self, obj key) {
                // what a successful self[key] needs, without raising KeyError
                PyObject *attrs = PyDict_GetItemWithError(
                    nb::object(self.attr(S("_dag")).attr("nx_graph").attr("_node")).ptr(),
                    key.ptr());
                if (!attrs && PyErr_Occurred())
                    throw pyclass::error();
                return attrs &&
                       pyclass::truthy(nb::handle(attrs).attr("__contains__")("component"));
            },
            "key"_a, "Whether a component has id key.")
        .def(
            "__len__",
            [](nb::handle self) {
                return nb::len(nb::object(self.attr(S("_dag")).attr("nx_graph").attr("nodes")));
            },
            "Number of components.")
        .def(
            "__iter__",
            [](nb::handle self) {
                // networkx's topological_sort is a generator: nothing runs
                // until the first id is asked for.
                return G("nx").attr("topological_sort")(self.attr(S("_dag")).attr("nx_graph"));
            },
            "Component ids in a topological order.")
        .finish();
}

// ---- the graph ------------------------------------------------------------------

nb::object graph_of(nb::handle self) {
    return self.attr("nx_graph");
}

nb::object cycle_error(nb::handle parent_name, nb::handle child_name) {
    nb::object msg = nb::str("Cannot add an edge between '{}' and '{}': DAG must remain acyclic.")
                         .attr("format")(nb::str(parent_name), nb::str(child_name));
    PyErr_SetObject(PyExc_RuntimeError, msg.ptr());
    throw pyclass::error();
}

[[noreturn]] void unknown_node(nb::handle id) {
    nb::object msg = nb::str("{!r} is not a component of this pipeline").attr("format")(id);
    PyErr_SetObject(PyExc_KeyError, msg.ptr());
    throw pyclass::error();
}

void add_node(nb::handle self, nb::handle component) {
    nb::object graph = graph_of(self);
    nb::object id = component.attr("id");
    nb::object nodes = self.attr("nodes");
    if (pyclass::truthy(nodes.attr("__contains__")(id))) {
        nb::object existing = nodes[id];
        existing.attr("name") = component.attr("name");
        existing.attr("metadata") = component.attr("metadata");
        existing.attr("cell_code") = component.attr("code");
    } else {
        graph.attr("add_node")(id, "component"_a =
                                       G("TesselComponentRunlet")("component"_a = component));
    }
    if (pyclass::equal(component_of(graph, id).attr("status"), invalid()))
        invalidate(graph, descendants(graph, id));
}

void remove_node(nb::handle self, nb::handle id) {
    pyclass::require_str(id, "node_id");
    nb::object graph = graph_of(self);
    invalidate(graph, descendants(graph, id));
    graph.attr("remove_node")(id);
}

// Everything upstream of a disk-cached child uses the disk cache too.
void spread_diskcache(nb::handle graph, nb::handle flagged_children) {
    for (nb::handle id : pyclass::list_copy(reachable(graph.attr("_pred"), flagged_children)))
        component_of(graph, id).attr("use_diskcache") = true;
}

void add_edge(nb::handle self, nb::handle parent, nb::handle child) {
    pyclass::require_str(parent, "parent_id");
    pyclass::require_str(child, "child_id");
    nb::object graph = graph_of(self);
    // Checked first: networkx would add unknown ids as bare nodes.
    for (nb::handle id : {parent, child})
        if (!has_node(graph, id))
            unknown_node(id);
    // The edge closes a cycle exactly when the parent can be reached from
    // the child (a self-loop included).
    bool cycle = pyclass::equal(parent, child) ||
                 PySet_Contains(reachable(graph.attr("_succ"), nb::make_tuple(child)).ptr(),
                                parent.ptr()) == 1;
    if (cycle)
        cycle_error(component_of(graph, parent).attr("name"),
                    component_of(graph, child).attr("name"));
    graph.attr("add_edge")(parent, child);
    if (pyclass::truthy(component_of(graph, child).attr("use_diskcache")))
        spread_diskcache(graph, nb::make_tuple(child));
    nb::object downstream = descendants(graph, child);
    downstream.attr("add")(child);
    invalidate(graph, downstream);
}

void remove_edge(nb::handle self, nb::handle parent, nb::handle child) {
    pyclass::require_str(parent, "parent_id");
    pyclass::require_str(child, "child_id");
    nb::object graph = graph_of(self);
    graph.attr("remove_edge")(parent, child);
    nb::object downstream = descendants(graph, child);
    downstream.attr("add")(child);
    invalidate(graph, downstream);
}

// ---- update_graph -----------------------------------------------------------------

// Nodes and edges keep the description's order: the order in which they enter
// the graph decides between components that topological order leaves free,
// and that must not change from one process (hash seed) to the next.
struct Description {
    nb::dict nodes;      // id -> component record, later ones winning
    nb::object edges;    // set of (parent, child)
    nb::list edge_order; // the same edges, in the description's order
};

Description read_description(nb::handle new_graph) {
    Description d;
    for (nb::handle node : new_graph.attr("nodes"))
        d.nodes[node.attr("id")] = node;
    d.edges = pyclass::check(PySet_New(nullptr));
    for (nb::handle edge : new_graph.attr("edges")) {
        nb::object pair = nb::make_tuple(edge.attr("parent"), edge.attr("child"));
        if (PySet_Contains(d.edges.ptr(), pair.ptr()) == 0)
            d.edge_order.append(pair);
        d.edges.attr("add")(pair);
    }
    return d;
}

// The description must name only its own nodes and be acyclic; checked
// before anything changes, so a bad description leaves the graph as it was.
void validate(const Description &d) {
    nb::dict succ, indegree;
    for (auto kv : d.nodes) {
        succ[kv.first] = nb::list();
        indegree[kv.first] = 0;
    }
    for (nb::handle e : pyclass::list_copy(d.edges)) {
        nb::tuple edge = nb::borrow<nb::tuple>(e);
        for (nb::handle id : {edge[0], edge[1]})
            if (PyDict_Contains(d.nodes.ptr(), id.ptr()) != 1)
                unknown_node(id);
        succ[edge[0]].attr("append")(edge[1]);
        indegree[edge[1]] = indegree[edge[1]] + nb::int_(1);
    }
    nb::list ready;
    for (auto kv : indegree)
        if (nb::cast<long>(kv.second) == 0)
            ready.append(kv.first);
    size_t done = 0;
    while (nb::len(ready)) {
        nb::object id = ready.attr("pop")();
        ++done;
        for (nb::handle next : succ[id]) {
            nb::object left = indegree[next] - nb::int_(1);
            indegree[next] = left;
            if (nb::cast<long>(left) == 0)
                ready.append(next);
        }
    }
    if (done == nb::len(d.nodes))
        return;
    for (nb::handle e : pyclass::list_copy(d.edges)) { // name an edge of a cycle
        nb::tuple edge = nb::borrow<nb::tuple>(e);
        if (nb::cast<long>(indegree[edge[1]]) > 0 && nb::cast<long>(indegree[edge[0]]) > 0)
            cycle_error(d.nodes[edge[0]].attr("name"), d.nodes[edge[1]].attr("name"));
    }
}

bool add_edge_overridden(nb::handle self) {
    return !pyclass::type_of(self).attr("add_edge").is(G("TesselDagBase").attr("add_edge"));
}

// All new edges at once: the description is known to be acyclic, and the
// downstream of every new edge is invalidated (and the upstream of every
// disk-cached child flagged) in one walk each, as one edge at a time would.
void add_edges_at_once(nb::handle self, nb::handle edges) {
    nb::object graph = graph_of(self);
    graph.attr("add_edges_from")(edges);
    nb::object children = pyclass::check(PySet_New(nullptr));
    nb::list flagged;
    for (nb::handle e : pyclass::list_copy(edges)) {
        nb::handle child = nb::borrow<nb::tuple>(e)[1];
        children.attr("add")(child);
        if (pyclass::truthy(component_of(graph, child).attr("use_diskcache")))
            flagged.append(child);
    }
    spread_diskcache(graph, flagged);
    nb::object downstream = reachable(graph.attr("_succ"), children);
    downstream.attr("update")(children);
    invalidate(graph, downstream);
}

void update_graph(nb::handle self, nb::handle new_graph) {
    Description d = read_description(new_graph);
    validate(d);
    nb::object graph = graph_of(self);
    nb::object cur_nodes = pyclass::check(PySet_New(graph.attr("nodes").ptr()));
    nb::object new_nodes = pyclass::check(PySet_New(d.nodes.ptr()));
    nb::object cur_edges = pyclass::check(PySet_New(graph.attr("edges").ptr()));
    for (nb::handle e : pyclass::list_copy(cur_edges - d.edges)) {
        nb::tuple edge = nb::borrow<nb::tuple>(e);
        self.attr("remove_edge")("parent_id"_a = edge[0], "child_id"_a = edge[1]);
    }
    for (nb::handle id : pyclass::list_copy(cur_nodes - new_nodes))
        self.attr("remove_node")("node_id"_a = id);
    for (auto kv : d.nodes)
        self.attr("add_node")("new_component"_a = kv.second);
    nb::list added;
    for (nb::handle pair : d.edge_order)
        if (PySet_Contains(cur_edges.ptr(), pair.ptr()) == 0)
            added.append(pair);
    if (!add_edge_overridden(self)) {
        add_edges_at_once(self, added);
        return;
    }
    for (nb::handle e : pyclass::list_copy(added)) {
        nb::tuple edge = nb::borrow<nb::tuple>(e);
        self.attr("add_edge")("parent_id"_a = edge[0], "child_id"_a = edge[1]);
    }
}

// ---- queries ------------------------------------------------------------------------

// Whether there is a path from a to b, as networkx's local node connectivity
// tells it (zero or not); ids it would reject are passed to it for its error.
struct Reach {
    nb::handle graph;
    std::unordered_map<PyObject *, nb::object> below; // id -> descendants
    bool path(nb::handle a, nb::handle b) {
        if (pyclass::equal(a, b) || !has_node(graph, a) || !has_node(graph, b))
            return pyclass::truthy(
                G("nx").attr("approximation").attr("local_node_connectivity")(graph, a, b));
        auto it = below.find(a.ptr());
        if (it == below.end())
            it = below.emplace(a.ptr(), reachable(graph.attr("_succ"), nb::make_tuple(a))).first;
        return PySet_Contains(it->second.ptr(), b.ptr()) == 1;
    }
};

nb::object last_node_in_chain(nb::handle self, nb::handle node_ids) {
    nb::list ids = pyclass::list_copy(node_ids);
    nb::object graph = graph_of(self);
    Reach reach{graph, {}};
    size_t n = nb::len(ids);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            bool a = reach.path(ids[i], ids[j]);
            bool b = reach.path(ids[j], ids[i]);
            if (!a && !b)
                return nb::none();
        }
    for (size_t i = 0; i < n; ++i) {
        bool reaches_any = false;
        for (size_t j = 0; j < n; ++j)
            if (!pyclass::equal(ids[i], ids[j]) && reach.path(ids[i], ids[j]))
                reaches_any = true;
        if (!reaches_any)
            return ids[i];
    }
    return nb::none();
}

nb::object validated_info(nb::handle component, nb::list parent_ids, nb::list parent_names) {
    nb::dict fields = pyclass::expect<nb::dict>(component.attr("info").attr("dict")(), "info");
    fields["parent_ids"] = parent_ids;
    fields["parent_names"] = parent_names;
    return pyclass::check(
        PyObject_Call(G("TesselDagComponentInfoModel").ptr(), nb::tuple().ptr(), fields.ptr()));
}

// A component whose info is the runlet's own can have its record built
// directly (dag_info.h); any other is asked for its info.
nb::object component_info(nb::handle component, nb::list parent_ids, nb::list parent_names) {
    nb::object own = G("TesselComponentRunlet").attr("__dict__")["info"];
    if (pyclass::type_of(component).attr("info").is(own)) {
        try {
            return dag_info::component_info(component, parent_ids, parent_names);
        } catch (dag_info::Unknown &) {
        }
    }
    return validated_info(component, parent_ids, parent_names);
}

nb::object info(nb::handle self) {
    nb::dict components;
    nb::object graph = graph_of(self);
    nb::object nodes = self.attr("nodes");
    for (nb::handle id : nodes) {
        nb::object component = nodes[id];
        nb::list parent_ids = pyclass::list_copy(graph.attr("predecessors")(id));
        nb::list parent_names;
        for (nb::handle parent : parent_ids)
            parent_names.append(nodes[parent].attr("name"));
        components[id] = component_info(component, parent_ids, parent_names);
    }
    nb::object identifier = self.attr("id");
    if (PyUnicode_CheckExact(identifier.ptr())) {
        try {
            return dag_info::record(G("TesselDagInfoModel"),
                                    {{"identifier", identifier}, {"components", components}});
        } catch (dag_info::Unknown &) {
        }
    }
    return G("TesselDagInfoModel")("identifier"_a = identifier, "components"_a = components);
}

void init_dag(nb::handle cls, nb::handle self, nb::handle identifier, nb::handle graph) {
    pyclass::super_(cls, self).attr("__init__")();
    self.attr(S("_id")) = nb::str(G("uuid").attr("uuid4")());
    if (pyclass::truthy(identifier))
        self.attr(S("_id")) = identifier;
    self.attr(S("_nx_graph")) = G("nx").attr("DiGraph")();
    if (pyclass::truthy(graph))
        self.attr("update_graph")("new_graph"_a = graph);
}

} // namespace

void define_dag(nb::module_ m) {
    ClassDef cls(m, "TesselDagBase", nb::make_tuple(G("LoggingMixin")),
                 "A DAG data structure that manages the connectivity of TesselComponentRunlet.");
    cls.repr(
        {{"id", [](nb::handle s) { return nb::object(s.attr("id")); }},
         {"nodes", [](nb::handle s) { return nb::object(graph_of(s).attr("number_of_nodes")()); }},
         {"edges",
          [](nb::handle s) { return nb::object(graph_of(s).attr("number_of_edges")()); }}});
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, obj identifier, obj graph) {
               init_dag(cell->get(), self, identifier, graph);
           },
           "identifier"_a = nb::none(), "graph"_a = nb::none(),
           "A DAG with the given id (a new uuid when None), built from graph when given.")
        .prop_ro(
            "id", [](nb::handle self) { return self.attr(S("_id")); }, "DAG identifier.")
        .prop_ro(
            "nx_graph", [](nb::handle self) { return self.attr(S("_nx_graph")); },
            "The networkx.DiGraph itself (not a copy).")
        .prop_ro(
            "nodes", [](nb::handle self) { return G("TesselNodeView")(self); },
            "Components by id, iterated in topological order.")
        .prop_ro(
            "edges", [](nb::handle self) { return self.attr(S("_nx_graph")).attr("edges"); },
            "Live view of the (parent_id, child_id) edges.")
        .prop_ro(
            "info", [](nb::handle self) { return info(self); },
            "Information of the graph, components in topological order.")
        .def(
            "add_node", [](nb::handle self, obj c) { add_node(self, c); }, "new_component"_a,
            "Add a component, or update the one with the same id.")
        .def(
            "remove_node", [](nb::handle self, obj id) { remove_node(self, id); }, "node_id"_a,
            "Remove a component; its descendants become INVALID.")
        .def(
            "add_edge", [](nb::handle self, obj p, obj c) { add_edge(self, p, c); }, "parent_id"_a,
            "child_id"_a, "Add a dependency; refuses one that closes a cycle.")
        .def(
            "remove_edge", [](nb::handle self, obj p, obj c) { remove_edge(self, p, c); },
            "parent_id"_a, "child_id"_a, "Remove a dependency.")
        .def(
            "update_graph", [](nb::handle self, obj g) { update_graph(self, g); }, "new_graph"_a,
            "Bring the graph in line with a complete description.")
        .def(
            "last_node_in_chain",
            [](nb::handle self, obj ids) { return last_node_in_chain(self, ids); }, "node_ids"_a,
            "The last of components on one chain of dependencies, or None.")
        .finish();
}

NB_MODULE(_dag, m) {
    globals.init(m);
    m.attr("uuid") = pyclass::import("uuid");
    m.attr("OrderedDict") = pyclass::import("collections").attr("OrderedDict");
    m.attr("Mapping") = pyclass::import("collections.abc").attr("Mapping");
    m.attr("combinations") = pyclass::import("itertools").attr("combinations");
    nb::module_ typing = pyclass::import("typing");
    for (const char *name : {"Dict", "Generator", "List", "Optional", "Set"})
        m.attr(name) = typing.attr(name);
    m.attr("nx") = pyclass::import("networkx");
    m.attr("OutEdgeView") = pyclass::import("networkx.classes.reportviews").attr("OutEdgeView");
    m.attr("LoggingMixin") = pyclass::import("tessel_core.common.mixins").attr("LoggingMixin");
    m.attr("TesselComponentRunlet") =
        pyclass::import("tessel_core.components").attr("TesselComponentRunlet");
    m.attr("TesselComponentStatus") =
        pyclass::import("tessel_core.misc").attr("TesselComponentStatus");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    for (const char *name : {"TesselComponentModel", "TesselDagComponentInfoModel",
                             "TesselDagInfoModel", "TesselDagModel", "TesselComponentMetadataModel",
                             "TesselComponentCommentModel", "TesselComponentRemoteConfigModel",
                             "TesselComponentOutputsSummaryModel", "TesselComponentInOutModel"})
        m.attr(name) = models.attr(name);
    m.attr("Enum") = pyclass::import("enum").attr("Enum");
    define_node_view(m);
    define_dag(m);
}
