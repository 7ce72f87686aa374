// A notebook's cells share the interpreter's global generators (`random`,
// `numpy.random`): a cell that seeds them decides what later cells draw. A run
// whose code moved them leaves their state in a "random_state" record of its
// captured output (replay skips it), and a child's run starts from the
// nearest such state upstream, in whatever process it runs.
#pragma once
#include "tessel_core/_native/module.h"

#include <cstring>

namespace notebook {

constexpr const char *kRandomStateKey = "__tessel_random_state__";
// What the caller knows of inputs that may fail the run, for its record:
// {"missing": {name: why it is not there}, "unreadable": {name: where it came
// from}}. A reserved parameter, as the random state is; never a cell's name.
constexpr const char *kInputNotesKey = "__tessel_input_notes__";

// The two states as the generators give them (numpy's key array as bytes,
// so that states compare cheaply); None for numpy when it is not loaded.
inline nb::object raw_numpy_state() {
    nb::object np = G("sys").attr("modules").attr("get")("numpy");
    if (np.is_none())
        return nb::none();
    nb::object st = np.attr("random").attr("get_state")();
    return nb::make_tuple(st[0], st[1].attr("tobytes")(), st[2], st[3], st[4]);
}

inline nb::tuple raw_random_state() {
    return nb::make_tuple(G("random").attr("getstate")(), raw_numpy_state());
}

// The same state as plain lists, for a record that is stored and sent.
inline nb::dict random_state(nb::handle raw) {
    nb::dict state;
    nb::object py = raw[0];
    state["random"] = nb::make_tuple(py[0], pyclass::list_copy(py[1]), py[2]);
    state["numpy"] = nb::none();
    nb::object st = raw[1];
    if (!st.is_none()) {
        nb::object keys = pyclass::import("numpy").attr("frombuffer")(st[1], "dtype"_a = "uint32");
        state["numpy"] = nb::make_tuple(st[0], keys.attr("tolist")(), st[2], st[3], st[4]);
    }
    return state;
}

inline void restore_random_state(nb::handle state) {
    nb::object py = state["random"];
    G("random").attr("setstate")(
        nb::make_tuple(py[0], pyclass::check(PySequence_Tuple(nb::object(py[1]).ptr())), py[2]));
    nb::object st = state["numpy"];
    if (st.is_none())
        return;
    nb::object np = pyclass::import("numpy");
    nb::object keys = np.attr("array")(st[1], "dtype"_a = np.attr("uint32"));
    np.attr("random").attr("set_state")(nb::make_tuple(st[0], keys, st[2], st[3], st[4]));
}

// The state a run was asked to start from (a reserved parameter), restored
// and taken out of the namespace.
inline void start_random_state(nb::dict ns) {
    nb::str key(kRandomStateKey);
    if (!ns.contains(key))
        return;
    nb::object state = ns[key];
    PyDict_DelItem(ns.ptr(), key.ptr());
    if (PyDict_Check(state.ptr()))
        restore_random_state(state);
}

// Whether a run moved the generators is asked of every run; taking the
// `random` state the documented way copies it into 625 Python ints each
// time. Its words are compared where they are instead: in the generator
// object's C layout, which is checked once against getstate() before it is
// trusted (any other layout takes the documented way).
struct MersenneObject {
    PyObject_HEAD int index;
    uint32_t state[624];
};

inline bool mersenne_layout_holds(nb::handle inst) {
    nb::handle base = pyclass::import("_random").attr("Random");
    if (!PyObject_TypeCheck(inst.ptr(), (PyTypeObject *)base.ptr()) ||
        ((PyTypeObject *)base.ptr())->tp_basicsize != (Py_ssize_t)sizeof(MersenneObject))
        return false;
    nb::object words = base.attr("getstate")(inst);
    if (!PyTuple_Check(words.ptr()) || PyTuple_GET_SIZE(words.ptr()) != 625)
        return false;
    auto *mt = reinterpret_cast<MersenneObject *>(inst.ptr());
    for (int i = 0; i < 624; ++i)
        if (PyLong_AsUnsignedLong(PyTuple_GET_ITEM(words.ptr(), i)) != mt->state[i])
            return false;
    bool same = PyLong_AsLong(PyTuple_GET_ITEM(words.ptr(), 624)) == mt->index;
    if (PyErr_Occurred())
        throw pyclass::error();
    return same;
}

// The `random` generator whose layout was checked, or null.
inline PyObject *checked_generator(nb::handle inst) {
    static PyObject *checked = nullptr; // strong: the one generator checked
    if (inst.ptr() == checked)
        return checked;
    if (checked == nullptr && mersenne_layout_holds(inst)) {
        checked = inst.inc_ref().ptr();
        return checked;
    }
    return nullptr;
}

// ---- numpy's global generator, looked at in place ------------------------------
// numpy.random.get_state() copies the 624 key words through Python (some
// 30 µs, twice a run). The words are in the bit generator's state struct,
// whose address numpy publishes (`ctypes.state_address`); the legacy
// Gaussian cache (has_gauss, then gauss) is in the RandomState object. Both
// layouts are checked against get_state() on a generator made here for the
// purpose before they are trusted; where they do not hold, get_state() it is.

struct MtState {
    uint32_t key[624];
    int pos;
};

struct NumpyLayout {
    nb::object rs_type, bg_type;
    Py_ssize_t gauss_at = -1; // has_gauss (int) here, gauss (double) 8 bytes on
};

inline const MtState *mt_state_of(nb::handle bit_generator) {
    nb::object address = bit_generator.attr("ctypes").attr("state_address");
    auto *state = static_cast<const MtState *>(PyLong_AsVoidPtr(address.ptr()));
    if (!state)
        throw pyclass::error();
    return state;
}

inline int has_gauss_at(nb::handle rs, Py_ssize_t at) {
    int value;
    std::memcpy(&value, reinterpret_cast<const char *>(rs.ptr()) + at, sizeof value);
    return value;
}

inline double gauss_at(nb::handle rs, Py_ssize_t at) {
    double value;
    std::memcpy(&value, reinterpret_cast<const char *>(rs.ptr()) + at + 8, sizeof value);
    return value;
}

// Whether what is read in place is what get_state() says.
inline bool reads_as_documented(nb::handle rs, Py_ssize_t at) {
    nb::object st = rs.attr("get_state")();
    nb::object key = st[1].attr("tobytes")();
    const MtState *mt = mt_state_of(rs.attr("_bit_generator"));
    return PyBytes_GET_SIZE(key.ptr()) == (Py_ssize_t)sizeof(mt->key) &&
           std::memcmp(PyBytes_AS_STRING(key.ptr()), mt->key, sizeof(mt->key)) == 0 &&
           nb::cast<long>(st[2]) == mt->pos && nb::cast<long>(st[3]) == has_gauss_at(rs, at) &&
           nb::cast<double>(st[4]) == gauss_at(rs, at);
}

// The one place in the object where has_gauss and gauss read as they are.
inline Py_ssize_t find_gauss(nb::handle rs, double gauss) {
    Py_ssize_t size = Py_TYPE(rs.ptr())->tp_basicsize, found = -1;
    for (Py_ssize_t at = sizeof(PyObject); at + 16 <= size; at += 8)
        if (has_gauss_at(rs, at) == 1 && gauss_at(rs, at) == gauss) {
            if (found >= 0)
                return -1;
            found = at;
        }
    return found;
}

inline NumpyLayout check_numpy_layout(nb::handle np) {
    NumpyLayout layout;
    nb::object random = np.attr("random");
    nb::object probe = random.attr("RandomState")(random.attr("MT19937")(20261209));
    probe.attr("standard_normal")(); // leaves one Gaussian cached
    nb::object st = probe.attr("get_state")();
    if (nb::cast<long>(st[3]) != 1)
        return layout;
    Py_ssize_t at = find_gauss(probe, nb::cast<double>(st[4]));
    if (at < 0 || !reads_as_documented(probe, at))
        return layout;
    probe.attr("standard_normal")(); // takes the cached one
    if (!reads_as_documented(probe, at))
        return layout;
    probe.attr("random_sample")(3);
    if (!reads_as_documented(probe, at))
        return layout;
    layout.rs_type = nb::borrow(pyclass::type_of(probe));
    layout.bg_type = nb::borrow(pyclass::type_of(probe.attr("_bit_generator")));
    layout.gauss_at = at;
    return layout;
}

inline const NumpyLayout &numpy_layout(nb::handle np) {
    static NumpyLayout *layout = nullptr; // checked once, kept until exit
    if (!layout) {
        layout = new NumpyLayout();
        try {
            *layout = check_numpy_layout(np);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
    return *layout;
}

struct NumpyLook {
    bool loaded = false, in_place = false;
    MtState mt{};
    int has_gauss = 0;
    double gauss = 0;
    nb::object generator, documented;
};

inline NumpyLook look_at_numpy() {
    NumpyLook look;
    nb::object np = G("sys").attr("modules").attr("get")("numpy");
    if (np.is_none())
        return look;
    look.loaded = true;
    const NumpyLayout &layout = numpy_layout(np);
    nb::object rs = np.attr("random").attr("mtrand").attr("_rand");
    nb::object bg = rs.attr("_bit_generator");
    if (layout.gauss_at < 0 || !pyclass::type_of(rs).is(layout.rs_type) ||
        !pyclass::type_of(bg).is(layout.bg_type)) {
        look.documented = raw_numpy_state();
        return look;
    }
    look.in_place = true;
    look.generator = rs;
    std::memcpy(&look.mt, mt_state_of(bg), sizeof(MtState));
    look.has_gauss = has_gauss_at(rs, layout.gauss_at);
    look.gauss = gauss_at(rs, layout.gauss_at);
    return look;
}

inline bool moved(const NumpyLook &before, const NumpyLook &after) {
    if (before.loaded != after.loaded)
        return true;
    if (!before.loaded)
        return false;
    if (before.in_place && after.in_place && before.generator.is(after.generator))
        return std::memcmp(&before.mt, &after.mt, sizeof(MtState)) != 0 ||
               before.has_gauss != after.has_gauss ||
               std::memcmp(&before.gauss, &after.gauss, sizeof(double)) != 0;
    if (!before.documented.is_valid() || !after.documented.is_valid())
        return true; // looked at in two ways: assume it moved
    return !pyclass::equal(before.documented, after.documented);
}

// ---- both, before and after a run ---------------------------------------------

struct RandomLook {
    PyObject *generator = nullptr; // `random` compared in place when set
    int index = 0;
    uint32_t words[624] = {};
    nb::object gauss_next, documented;
    NumpyLook numpy;
};

inline RandomLook look_at_random() {
    RandomLook look;
    look.numpy = look_at_numpy();
    look.generator = checked_generator(G("random").attr("_inst"));
    if (!look.generator) {
        look.documented = G("random").attr("getstate")();
        return look;
    }
    auto *mt = reinterpret_cast<MersenneObject *>(look.generator);
    look.index = mt->index;
    std::memcpy(look.words, mt->state, sizeof(look.words));
    look.gauss_next = nb::handle(look.generator).attr("gauss_next");
    return look;
}

inline bool moved(const RandomLook &before, const RandomLook &after) {
    if (moved(before.numpy, after.numpy))
        return true;
    if (before.generator != after.generator || !before.generator)
        return !before.documented.is_valid() || !after.documented.is_valid() ||
               !pyclass::equal(before.documented, after.documented);
    return before.index != after.index ||
           std::memcmp(before.words, after.words, sizeof(before.words)) != 0 ||
           !pyclass::equal(before.gauss_next, after.gauss_next);
}

// The record of the state the run left, or None when the run did not move it.
inline nb::object random_state_record(const RandomLook &before) {
    if (!moved(before, look_at_random()))
        return nb::none();
    return G("TesselCapturedModel")("type"_a = "random_state",
                                    "data"_a = random_state(raw_random_state()));
}

} // namespace notebook
