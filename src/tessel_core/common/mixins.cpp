// LoggingMixin: a logger per class under one package-wide logger that has a
// console handler and a size-rotated log file per process.
#include "tessel_core/_native/module.h"

namespace {

constexpr long kMaxBytes = 10485760;
constexpr int kBackupCount = 10;
const char *kMsgFormat = "%(asctime)s %(name)s.%(funcName)s() %(levelname)s: %(message)s";
const char *kDateFormat = "[%Y-%m-%d %H:%M:%S]";

nb::object package_logger() {
    return G("logging").attr("getLogger")(G("ROOT_LOGGER_NAME"));
}

nb::object rotating_handler(nb::handle filename) {
    return G("logging")
        .attr("handlers")
        .attr("RotatingFileHandler")("filename"_a = filename, "maxBytes"_a = kMaxBytes,
                                     "backupCount"_a = kBackupCount, "encoding"_a = "utf-8");
}

// First instance in the process: console at INFO, rotating file at DEBUG.
void configure_package_logger(nb::handle root) {
    nb::object logging = G("logging");
    nb::object formatter = logging.attr("Formatter")(kMsgFormat, kDateFormat);
    nb::object console = logging.attr("StreamHandler")();
    console.attr("setFormatter")(formatter);
    console.attr("setLevel")(logging.attr("INFO"));
    root.attr("addHandler")(console);

    nb::object os = G("os");
    nb::object logs_dir = G("FILE_LOGS_DIR");
    if (!pyclass::truthy(os.attr("path").attr("exists")(logs_dir)))
        os.attr("makedirs")(logs_dir);
    nb::object pid = nb::str(os.attr("getpid")());
    nb::object filename = os.attr("path").attr("join")(
        logs_dir, nb::str("{}-{}.log").attr("format")(G("ROOT_LOGGER_NAME"), pid));
    nb::object file_handler = rotating_handler(filename);
    file_handler.attr("setFormatter")(formatter);
    file_handler.attr("setLevel")(logging.attr("DEBUG"));
    root.attr("addHandler")(file_handler);
    root.attr("propagate") = false;
}

nb::object class_logger(nb::handle self) {
    nb::object qualname = pyclass::type_of(self).attr("__qualname__");
    nb::object name = nb::str("{}.{}").attr("format")(G("ROOT_LOGGER_NAME"), qualname);
    return G("logging").attr("getLogger")(name);
}

// Carry what the old file holds over to `new_filename`, appending when that
// file exists already.
void move_log_file(nb::handle old_filename, nb::handle new_filename) {
    nb::object os = G("os");
    nb::object open = pyclass::import("builtins").attr("open");
    if (pyclass::truthy(os.attr("path").attr("exists")(new_filename))) {
        nb::object src = open(old_filename, "mode"_a = "r", "encoding"_a = "utf-8");
        nb::object text;
        try {
            text = src.attr("read")();
        } catch (...) {
            src.attr("close")();
            throw;
        }
        src.attr("close")();
        nb::object dst = open(new_filename, "mode"_a = "a", "encoding"_a = "utf-8");
        try {
            dst.attr("write")(text);
        } catch (...) {
            dst.attr("close")();
            throw;
        }
        dst.attr("close")();
        os.attr("remove")(old_filename);
    } else {
        os.attr("rename")(old_filename, new_filename);
    }
}

void set_logging_filename(pyclass::obj filename) {
    pyclass::require_str(filename, "filename");
    nb::object root = package_logger();
    nb::object rotating = G("logging").attr("handlers").attr("RotatingFileHandler");
    nb::object new_filename = G("os").attr("path").attr("join")(
        G("FILE_LOGS_DIR"), nb::str("{}.log").attr("format")(filename));
    // Walk a snapshot: replacing handlers while walking the live list would
    // skip the entry that follows each removed one.
    nb::list snapshot = pyclass::list_copy(root.attr("handlers"));
    for (nb::handle item : snapshot) {
        nb::object handler = nb::borrow(item);
        if (!pyclass::is_instance(handler, rotating))
            continue;
        nb::object old_filename = handler.attr("baseFilename");
        if (pyclass::equal(old_filename, new_filename))
            continue;
        nb::object formatter = handler.attr("formatter");
        nb::object level = handler.attr("level");
        root.attr("removeHandler")(handler);
        handler.attr("close")();
        move_log_file(old_filename, new_filename);
        nb::object replacement = rotating_handler(new_filename);
        replacement.attr("setFormatter")(formatter);
        replacement.attr("setLevel")(level);
        root.attr("addHandler")(replacement);
    }
}

void define_logging_mixin(nb::module_ m) {
    ClassDef cls(m, "LoggingMixin", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
                 "A mixin class to add logging.");
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, nb::args args, nb::kwargs kwargs) {
               nb::object init = pyclass::super_(cell->get(), self).attr("__init__");
               pyclass::check(PyObject_Call(init.ptr(), args.ptr(), nb::dict(kwargs).ptr()));
               nb::object root = package_logger();
               if (nb::len(nb::object(root.attr("handlers"))) == 0)
                   configure_package_logger(root);
               // setLevel clears the cache of every logger of the process:
               // only when the level is not DEBUG already
               nb::object logger = class_logger(self), debug = G("logging").attr("DEBUG");
               if (!pyclass::equal(logger.attr("level"), debug))
                   logger.attr("setLevel")(debug);
           },
           "Initialize the next class in the MRO, then make sure the package logger is set up.")
        .prop_ro(
            "logger", [](nb::handle self) { return class_logger(self); },
            "The logger of this class, under the package logger.")
        .def_static(
            "set_root_logging_level",
            [](pyclass::obj level) {
                nb::object handlers = package_logger().attr("handlers");
                handlers[nb::int_(0)].attr("setLevel")(level);
            },
            "level"_a, "Set the level of the package logger's console handler.")
        .def_static(
            "set_logging_filename", [](pyclass::obj filename) { set_logging_filename(filename); },
            "filename"_a,
            "Move the log file to FILE_LOGS_DIR/<filename>.log and keep logging there.")
        .finish();
}

} // namespace

NB_MODULE(mixins, m) {
    globals.init(m);
    nb::module_ os = pyclass::import("os");
    m.attr("os") = os;
    m.attr("logging") = pyclass::import("logging");
    pyclass::import("logging.handlers");
    nb::object app_name = pyclass::import("tessel_core.common.info").attr("APP_NAME");
    m.attr("APP_NAME") = app_name;
    m.attr("ROOT_LOGGER_NAME") = app_name;
    m.attr("FILE_LOGS_DIR") = os.attr("path").attr("join")(
        os.attr("getcwd")(), nb::str(".{}-logs").attr("format")(app_name));
    define_logging_mixin(m);
}
