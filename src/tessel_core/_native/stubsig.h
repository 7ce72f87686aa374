// Signatures of the package's C++ functions, for inspect.signature.
//
// The .pyi stub next to each extension module is the written interface, with
// parameter types: a function's signature is the one its stub declares
// (annotations evaluated in the module, with the stub's imports). A function
// no stub declares gets nanobind's names and defaults, without types.
// Built once per module, on the first request.
#pragma once
#include "tessel_core/_native/pyfunc.h"

namespace pyclass::stubs {

inline bool skipped_decorator(nb::handle deco) {
    nb::object ast = import("ast");
    nb::object name = nb::none();
    if (is_instance(deco, ast.attr("Name")))
        name = deco.attr("id");
    else if (is_instance(deco, ast.attr("Attribute")))
        name = deco.attr("attr");
    // properties are described by the property; overloads by their union
    for (const char *s : {"property", "setter", "getter", "deleter", "overload"})
        if (!name.is_none() && equal(name, nb::str(s)))
            return true;
    return false;
}

// A def statement of the stub as a function: no decorators, annotations kept
// as text until inspect evaluates them.
inline nb::object signature_of_def(nb::handle node, nb::handle path, nb::dict ns) {
    nb::object ast = import("ast"), inspect = import("inspect");
    node.attr("decorator_list") = nb::list();
    nb::object tree = ast.attr("Module")(pyclass::list_copy(nb::make_tuple(node)), nb::list());
    int flags = nb::cast<int>(import("__future__").attr("annotations").attr("compiler_flag"));
    nb::object code = import("builtins").attr("compile")(tree, path, "exec", flags, true);
    nb::dict local;
    import("builtins").attr("exec")(code, ns, local);
    nb::object fn = local[node.attr("name")];
    try {
        return inspect.attr("signature")(fn, "eval_str"_a = true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return inspect.attr("signature")(fn);
    }
}

inline void collect(nb::handle body, const std::string &prefix, nb::handle path, nb::dict ns,
                    nb::dict out) {
    nb::object ast = import("ast");
    for (nb::handle node : body) {
        std::string name =
            is_instance(node, ast.attr("ClassDef")) || is_instance(node, ast.attr("FunctionDef"))
                ? nb::cast<std::string>(node.attr("name"))
                : std::string();
        if (is_instance(node, ast.attr("ClassDef"))) {
            collect(node.attr("body"), prefix + name + ".", path, ns, out);
            continue;
        }
        if (name.empty())
            continue;
        bool skip = false;
        for (nb::handle deco : node.attr("decorator_list"))
            skip = skip || skipped_decorator(deco);
        if (!skip)
            out[nb::str((prefix + name).c_str())] = signature_of_def(node, path, ns);
    }
}

inline void run_imports(nb::handle tree, nb::handle path, nb::dict ns) {
    nb::object ast = import("ast"), builtins = import("builtins");
    for (nb::handle node : tree.attr("body")) {
        if (!is_instance(node, ast.attr("Import")) && !is_instance(node, ast.attr("ImportFrom")))
            continue;
        try {
            nb::object one =
                ast.attr("Module")(pyclass::list_copy(nb::make_tuple(node)), nb::list());
            builtins.attr("exec")(builtins.attr("compile")(one, path, "exec"), ns);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
    }
}

// {qualname: Signature} from the stub of module `modname`; empty without one.
inline nb::dict read(nb::handle modname) {
    nb::dict out;
    nb::object module = import("sys").attr("modules").attr("get")(modname);
    nb::object file = module.is_none() ? nb::none() : nb::getattr(module, "__file__", nb::none());
    if (file.is_none())
        return out;
    nb::object os_path = import("os.path");
    nb::object leaf = nb::str(modname).attr("rpartition")(".")[2];
    nb::object path = os_path.attr("join")(os_path.attr("dirname")(file), leaf + nb::str(".pyi"));
    if (!truthy(os_path.attr("exists")(path)))
        return out;
    nb::object text =
        import("pathlib").attr("Path")(path).attr("read_text")("encoding"_a = "utf-8");
    nb::object tree = import("ast").attr("parse")(text, path);
    nb::dict ns = nb::borrow<nb::dict>(check(PyDict_Copy(module.attr("__dict__").ptr())));
    run_imports(tree, path, ns);
    collect(tree.attr("body"), "", path, ns, out);
    return out;
}

// nanobind's own description of a (not overloaded) function as a def
// statement, with its defaults named _d0, _d1, ...; None when there is none.
inline nb::object nanobind_def(nb::handle impl) {
    nb::object described = nb::getattr(impl, "__nb_signature__", nb::none());
    if (described.is_none() || nb::len(described) != 1)
        return nb::none();
    nb::object text = nb::object(described[0][0]).attr("replace")("\\", "_d");
    return import("ast").attr("parse")(text + nb::str(": pass")).attr("body")[0];
}

// Names, defaults, no types.
inline nb::object from_nanobind(nb::handle impl) {
    nb::object node = nanobind_def(impl);
    if (node.is_none())
        return nb::none();
    nb::object args = node.attr("args");
    for (const char *field : {"posonlyargs", "args", "kwonlyargs"})
        for (nb::handle a : args.attr(field))
            a.attr("annotation") = nb::none();
    for (const char *field : {"vararg", "kwarg"})
        if (!args.attr(field).is_none())
            args.attr(field).attr("annotation") = nb::none();
    node.attr("returns") = nb::none();
    nb::dict ns;
    nb::object defaults = impl.attr("__nb_signature__")[0][2];
    if (!defaults.is_none())
        for (size_t i = 0; i < nb::len(defaults); ++i)
            ns[nb::str(("_d" + std::to_string(i)).c_str())] = defaults[i];
    nb::object tree = import("ast").attr("Module")(list_copy(nb::make_tuple(node)), nb::list());
    nb::object code = import("builtins").attr("compile")(tree, "<nanobind>", "exec");
    import("builtins").attr("exec")(code, ns);
    return import("inspect").attr("signature")(ns[node.attr("name")]);
}

} // namespace pyclass::stubs

namespace pyclass::fn {
inline nb::object stub_signature(nb::handle fn) {
    // Thread contract: GIL held; the dict is only touched from Python calls.
    static nb::dict *by_module = new nb::dict(); // lives until exit
    nb::object modname = fn.attr("__module__");
    if (!by_module->contains(modname))
        (*by_module)[modname] = stubs::read(modname);
    nb::object sig = (*by_module)[modname].attr("get")(fn.attr("__qualname__"), nb::none());
    if (!sig.is_none())
        return sig;
    return stubs::from_nanobind(reinterpret_cast<Object *>(fn.ptr())->impl);
}

// The interned names of the parameters that may be given by position or by
// keyword, in order; None when keywords cannot be mapped to positions safely.
inline PyObject *positional_names(PyObject *impl) {
    try {
        nb::object node = stubs::nanobind_def(impl);
        if (node.is_none() || nb::len(nb::object(node.attr("args").attr("posonlyargs"))) != 0)
            return nb::none().release().ptr();
        nb::list names;
        for (nb::handle a : node.attr("args").attr("args")) {
            PyObject *name = nb::object(a.attr("arg")).release().ptr();
            PyUnicode_InternInPlace(&name);
            names.append(nb::steal(name));
        }
        return nb::tuple(names).release().ptr();
    } catch (nb::python_error &) {
        return nb::none().release().ptr(); // the fast path is only an optimisation
    }
}
} // namespace pyclass::fn
