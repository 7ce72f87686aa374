// The runlet's two result stores: attaching, emptying and detaching the
// in-memory holder and the disk cache, and the properties that steer the
// disk cache.
#include "tessel_core/components/runlet/runlet.h"

namespace runlet {

namespace {

void clear_diskcache(nb::handle self) {
    nb::object disk = self.attr(S("_diskcache"));
    if (disk.is_none())
        return;
    disk.attr("clear_cache")();
    disk.attr("close")();
    G("shutil").attr("rmtree")("path"_a = self.attr("diskcache_dir"), "ignore_errors"_a = true);
}

void unload_diskcache(nb::handle self) {
    self.attr("clear_diskcache")();
    self.attr(S("_diskcache")) = nb::none();
    self.attr(S("_diskcache_status")) = disk_status("UNCACHED");
}

// The status that the results now visible through the properties call for.
void settle_status(nb::handle self) {
    if (!self.attr("exception_msg").is_none()) {
        self.attr("status") = component_status("FAILED");
        return;
    }
    for (const char *name : {"module_statements", "non_module_outputs", "last_output", "captured"})
        if (pyclass::truthy(self.attr(name))) {
            self.attr("status") = component_status("SUCCESSFUL");
            return;
        }
    self.attr("status") = component_status("INVALID");
}

bool load_diskcache(nb::handle self, nb::handle cache_dir) {
    pyclass::require_str(cache_dir, "cache_dir");
    // With the disk cache off the results would not be read from the cache
    // just opened, the component would be found empty and made INVALID, and
    // that would delete the very directory the caller asked to load. Refuse.
    if (!pyclass::truthy(self.attr("use_diskcache"))) {
        self.attr(S("_diskcache_status")) = disk_status("FAILED");
        return false;
    }
    try {
        self.attr(S("_diskcache")) = G("TesselDiskCache")("cache_dir"_a = cache_dir);
        self.attr(S("_diskcache_status")) = disk_status("CACHED");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        self.attr(S("_diskcache_status")) = disk_status("FAILED");
        return false;
    }
    self.attr("clear_quickhold")();
    settle_status(self);
    return true;
}

void set_use_diskcache(nb::handle self, nb::handle value) {
    if (pyclass::equal(self.attr("use_diskcache"), value))
        return;
    if (!pyclass::truthy(value))
        self.attr("diskcache_status") = disk_status("UNCACHED");
    self.attr(S("_metadata")).attr("diskcache") = value;
}

void set_diskcache_status(nb::handle self, nb::handle new_status) {
    assert_member(G("TesselDiskcacheStatus"), new_status, "diskcache status");
    if (pyclass::equal(new_status, disk_status("UNCACHED")))
        self.attr("unload_diskcache")();
    self.attr(S("_diskcache_status")) = new_status;
}

nb::object diskcache_status(nb::handle self) {
    if (pyclass::truthy(self.attr("use_diskcache")) && !self.attr(S("_diskcache")).is_none())
        return disk_status("CACHED");
    return self.attr(S("_diskcache_status"));
}

} // namespace

void define_cache_control(ClassDef &cls) {
    cls.def(
           "load_quickhold", [](nb::handle self, obj cache) { self.attr(S("_quickhold")) = cache; },
           "cache"_a, "Replace the in-memory holder (the previous one is dropped, not cleared).")
        .def(
            "clear_quickhold",
            [](nb::handle self) {
                nb::object holder = self.attr(S("_quickhold"));
                if (!holder.is_none())
                    holder.attr("clear_cache")();
            },
            "Empty the in-memory holder in place.")
        .def(
            "load_diskcache",
            [](nb::handle self, obj cache_dir) { return load_diskcache(self, cache_dir); },
            "cache_dir"_a,
            "Open the disk cache in cache_dir and take the status its results call for.")
        .def(
            "unload_diskcache", [](nb::handle self) { unload_diskcache(self); },
            "Clear and delete the disk cache, and detach it.")
        .def(
            "clear_cache",
            [](nb::handle self) {
                self.attr("clear_quickhold")();
                self.attr("unload_diskcache")();
            },
            "Empty the in-memory results and unload the disk cache.")
        .def(
            "clear_diskcache", [](nb::handle self) { clear_diskcache(self); },
            "Clear, close and delete the loaded disk cache (it stays attached).")
        .prop(
            "use_diskcache",
            [](nb::handle self) { return self.attr(S("_metadata")).attr("diskcache"); },
            [](nb::handle self, obj value) { set_use_diskcache(self, value); },
            "Whether the component keeps its results in the disk cache.")
        .prop(
            "diskcache_dir",
            [](nb::handle self) -> nb::object {
                nb::object disk = self.attr(S("_diskcache"));
                return disk.is_none() ? nb::none() : disk.attr("cache_dir");
            },
            [](nb::handle self, obj new_dir) {
                pyclass::require_str(new_dir, "new_diskcache_dir");
                self.attr("load_diskcache")("cache_dir"_a = new_dir);
            },
            "Directory of the loaded disk cache, or None; setting it loads one.")
        .prop(
            "diskcache_status", [](nb::handle self) { return diskcache_status(self); },
            [](nb::handle self, obj new_status) { set_diskcache_status(self, new_status); },
            "State of the disk cache.");
}

} // namespace runlet
