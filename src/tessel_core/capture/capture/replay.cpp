// TesselCapturedIO: captured records, replayed into a notebook or onto the
// process's standard streams.
#include "tessel_core/capture/capture/capture.h"

namespace capture {

namespace {
// ---- replay ----------------------------------------------------------------

// `"stderr" in name`, remembered for the last name seen: a replay asks it of
// the same few name objects again and again. The name is held, so that its
// address cannot come back as another string's.
bool is_stderr(nb::handle name) {
    // Thread contract: read and written with the GIL held, as every replay is.
    static PyObject *last = nullptr; // strong; one string kept until exit
    static bool last_answer = false;
    if (name.ptr() == last)
        return last_answer;
    bool answer = contains(name, "stderr");
    if (PyUnicode_CheckExact(name.ptr())) {
        Py_INCREF(name.ptr());
        Py_XSETREF(last, name.ptr());
        last_answer = answer;
    }
    return answer;
}

// The display data a stream record is replayed as.
nb::object stream_data(nb::handle record) {
    nb::dict data;
    data[is_stderr(record.attr(S("name"))) ? kStderrMime : kStdoutMime] = record.attr(S("text"));
    return std::move(data);
}

void add_component_id(nb::handle metadata, nb::handle component_id) {
    nb::dict extra;
    extra["component_id"] = component_id;
    metadata.attr("update")(extra);
}

// Into the notebook through the shell's publisher, or onto the process's
// standard streams without a shell.
void emit(nb::handle shell, nb::handle data, nb::handle metadata, nb::handle transient,
          nb::handle update) {
    if (!shell.is_none())
        shell.attr("display_pub")
            .attr("publish")("data"_a = data, "metadata"_a = metadata, "transient"_a = transient,
                             "update"_a = update);
    else
        pyclass::write_text_to_std(data);
}

void show_copy(nb::handle output, nb::handle shell, nb::handle component_id) {
    nb::object type = output.attr(S("type"));
    bool is_stream = pyclass::equal(type, S("stream"));
    if (!is_stream && !pyclass::equal(type, S("display_data")))
        return;
    if (is_stream)
        output.attr("data") = stream_data(output);
    if (output.attr(S("metadata")).is_none())
        output.attr("metadata") = nb::dict();
    add_component_id(output.attr(S("metadata")), component_id);
    emit(shell, output.attr(S("data")), output.attr(S("metadata")), output.attr("transient"),
         output.attr("update"));
}

// Consecutive stream records of one stream, replayed onto the process's own
// stream as one write and one flush: the same text in the same order, without
// a flush per line (which made a long replay onto a file many times slower
// than printing). A fresh metadata dictionary would be seen by nobody; a
// stored one gets the id.
struct StreamRun {
    nb::object stream; // None when no run is pending
    nb::list texts;

    void add(nb::handle record, nb::handle component_id, nb::handle sys) {
        nb::object metadata = record.attr(S("metadata"));
        if (!metadata.is_none())
            add_component_id(metadata, component_id);
        nb::object target = sys.attr(is_stderr(record.attr(S("name"))) ? S("stderr") : S("stdout"));
        nb::object text = record.attr(S("text"));
        if (stream.is_valid() && !stream.is(target))
            flush();
        stream = target;
        if (PyUnicode_CheckExact(text.ptr())) {
            texts.append(text);
            return;
        }
        flush_texts(); // any other text is the stream's to accept or refuse, alone
        write(text);
    }

    void write(nb::handle text) {
        pyclass::check(PyObject_CallMethodOneArg(stream.ptr(), S("write").ptr(), text.ptr()));
    }

    void flush_texts() {
        if (!stream.is_valid())
            return;
        if (nb::len(texts) == 1)
            write(texts[0]);
        else if (nb::len(texts) > 1)
            write(nb::str("").attr("join")(texts));
        texts = nb::list();
    }

    void flush() {
        if (!stream.is_valid())
            return;
        flush_texts();
        nb::object target = std::move(stream);
        stream = nb::object();
        pyclass::check(PyObject_CallMethodNoArgs(target.ptr(), S("flush").ptr()));
    }
};

// Records of the package's own class are replayed without copying them: a
// copy is only observable through the metadata dictionary it shares with the
// record, and that one is updated here exactly as on a copy. Any other
// record goes through a copy of its own.
void show_record(nb::handle record, nb::handle shell, nb::handle component_id, nb::handle sys,
                 StreamRun &pending) {
    nb::object type = record.attr(S("type"));
    bool is_stream = pyclass::equal(type, S("stream"));
    if (!is_stream && !pyclass::equal(type, S("display_data")))
        return;
    if (is_stream && shell.is_none()) {
        pending.add(record, component_id, sys);
        return;
    }
    pending.flush();
    nb::object data = is_stream ? stream_data(record) : nb::object(record.attr(S("data")));
    nb::object metadata = record.attr(S("metadata"));
    if (metadata.is_none())
        metadata = nb::dict();
    add_component_id(metadata, component_id);
    emit(shell, data, metadata, record.attr("transient"), record.attr("update"));
}

void show(nb::handle self, nb::handle shell, nb::handle component_id) {
    nb::list items = pyclass::list_copy(self.attr(S("_outputs")));
    Py_ssize_t first = 0;
    for (Py_ssize_t i = PyList_GET_SIZE(items.ptr()) - 1; i >= 0; --i)
        if (pyclass::equal(nb::handle(PyList_GET_ITEM(items.ptr(), i)).attr(S("type")),
                           S("clear_output"))) {
            first = i + 1;
            break;
        }
    nb::object plain = G("TesselCapturedModel"), sys = G("sys");
    StreamRun pending;
    try {
        for (Py_ssize_t i = first; i < PyList_GET_SIZE(items.ptr()); ++i) {
            nb::handle record(PyList_GET_ITEM(items.ptr(), i));
            if (pyclass::type_of(record).is(plain)) {
                show_record(record, shell, component_id, sys, pending);
                continue;
            }
            pending.flush();
            show_copy(record.attr("copy")(), shell, component_id);
        }
    } catch (nb::python_error &) {
        // what was replayed before the failure is written, as it was before
        try {
            pending.flush();
        } catch (nb::python_error &) {
        }
        throw;
    }
    pending.flush();
}

} // namespace

void define_captured_io(nb::module_ m) {
    ClassDef cls(m, "TesselCapturedIO", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
                 "Simple object for containing captured Tessel stdout/err and display StringIO "
                 "objects\n\nEach instance `c` has three types of outputs (stdout, stderr, "
                 "display) in `c.outputs`. Additionally, there's a `c.show()` method which "
                 "will print all of the above in the same order, and can be invoked simply "
                 "via `c()`.");
    cls.def(
           "__init__",
           [](nb::handle self, obj outputs) {
               self.attr(S("_outputs")) = outputs.is_none() ? nb::object(nb::list()) : outputs;
           },
           "outputs"_a = nb::none(), "Hold the records of outputs (a new list when None).")
        .prop_ro(
            "outputs", [](nb::handle self) { return self.attr(S("_outputs")); },
            "A list of the captured Tessel outputs in order.\n\n"
            "Outputs are stdout, stderr, display.")
        .def(
            "show",
            [](nb::handle self, obj shell, obj component_id) { show(self, shell, component_id); },
            "ipython_shell"_a = nb::none(), "component_id"_a = nb::none(),
            "show Tessel outputs to sys.stdout/err & display as appropriate");
    cls.attr("__call__", cls.ns_item("show"));
    cls.finish();
}

} // namespace capture
