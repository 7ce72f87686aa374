// TesselComponentRunlet: one notebook cell as a pipeline component. Its parts
// live in the files of this folder; this header is what they share.
#pragma once
#include "tessel_core/_native/error_record.h"

using pyclass::ClassDef;
using pyclass::obj;
#define S PYCLASS_S

namespace runlet {

// The module namespace: classes and constants are looked up at call time.
extern pyclass::ModuleGlobals globals;
#define G(name) runlet::globals.get(S(name))

inline nb::object component_status(const char *member) {
    return G("TesselComponentStatus").attr(member);
}
inline nb::object disk_status(const char *member) {
    return G("TesselDiskcacheStatus").attr(member);
}

// `assert value in enum_class, "<value> is not a valid <what>."` (skipped
// under python -O, as an assert statement would be).
inline void assert_member(nb::handle enum_class, nb::handle value, const char *what) {
    if (!pyclass::assertions_enabled())
        return;
    int ok = PySequence_Contains(enum_class.ptr(), value.ptr());
    if (ok < 0)
        throw pyclass::error();
    if (ok)
        return;
    nb::object msg = nb::str("{} is not a valid {}.").attr("format")(value, what);
    PyErr_SetObject(PyExc_AssertionError, msg.ptr());
    throw pyclass::error();
}

// Whether result reads go to the disk cache: disk cache in use, loaded, and
// nothing held in memory.
bool reads_disk(nb::handle self);
// The holder that result reads go to (disk cache or in-memory holder).
nb::object result_holder(nb::handle self);

// The remote executor class, imported (with Celery) on first use.
nb::object remote_executor_class();

// Steps shared by execute and execute_async: status RUNNING, inputs and
// imports recorded, inputs serialized; returns the request.
nb::object prepare_run(nb::handle self, nb::handle module_statements, nb::handle non_module_inputs,
                       nb::handle parameters, nb::handle send_to_front);
// The one failure path of a run: the component ends FAILED with the record
// of `exc` (through handle_error, which a subclass may extend).
void record_failure(nb::handle self, nb::handle exc);
// Ping the remote executor: None when it answers, else the RuntimeError that
// says why the run cannot be sent.
nb::object ping_failure(nb::handle remote);
// Which executor runs a component, decided once for execute and
// execute_async: `remote` is the (pinged) remote executor when the caller
// chose remote runs or the metadata asks for them, None for the local one;
// `unreachable` is the RuntimeError of a failed ping, else None.
struct ExecutorChoice {
    nb::object remote, unreachable;
};
ExecutorChoice choose_executor(nb::handle self);
// Apply an executor's response; `lines_before_status` is the order of the
// asynchronous callback. Returns the last output (None after a failure).
nb::object apply_response(nb::handle self, nb::handle response, bool lines_before_status);

void define_state(ClassDef &cls);         // core.cpp
void define_results(ClassDef &cls);       // results.cpp
void define_execution(ClassDef &cls);     // execute.cpp
void define_async(ClassDef &cls);         // async.cpp
void define_cache_control(ClassDef &cls); // cache.cpp

} // namespace runlet
