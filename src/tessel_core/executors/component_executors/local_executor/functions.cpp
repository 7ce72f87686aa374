// Objects handed to a component run are prepared here: a pandas DataFrame is
// touched (its values materialised) and a Series replaced by an independent
// copy.
#include "tessel_core/_native/module.h"

namespace {

nb::object handle_obj_for_exceptions(nb::handle obj_in) {
    nb::object obj = nb::borrow(obj_in);
    nb::module_ pd = pyclass::import("pandas"); // imported on every call, as documented
    if (pyclass::is_instance(obj, pd.attr("DataFrame"))) {
        nb::object _ = obj.attr("values");
        (void)_;
    }
    if (pyclass::is_instance(obj, pd.attr("Series"))) {
        nb::object cloudpickle = G("cloudpickle");
        obj = cloudpickle.attr("loads")(cloudpickle.attr("dumps")(obj));
    }
    return obj;
}

} // namespace

NB_MODULE(functions, m) {
    globals.init(m);
    m.attr("Any") = pyclass::import("typing").attr("Any");
    m.attr("cloudpickle") = pyclass::import("cloudpickle");
    pyclass::def_function(
        m, "handle_obj_for_exceptions",
        [](pyclass::obj obj) { return handle_obj_for_exceptions(obj); }, "obj"_a,
        "Return the object to use in place of obj (DataFrames touched, Series copied).");
}
