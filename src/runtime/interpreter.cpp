// What differs between interpreter versions: dict change stamps and class lookups.
#include "runtime/interpreter.hpp"

namespace kr {

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

// Starts at 1: 0 is the stamp nothing trusts.
std::atomic<std::uint64_t> watched_dict_changes{1};

}  // namespace detail

namespace {

// Any event counts: a change, a clear, a clone into the dict, and its end (the address may
// then be reused by another dict). Only dicts watched through our own ids call it.
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    detail::watched_dict_changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

}  // namespace

std::uint64_t watch_dict(DictWatcher& watcher, PyObject* dict) {
    if (!watcher.added) {
        if (watcher.released) return 0;
        // The interpreter has a handful of watcher slots; with none free, nothing is cached
        // until one is given back.
        int id = PyDict_AddWatcher(count_change);
        if (id < 0) {
            PyErr_Clear();
            return 0;
        }
        watcher = {true, id, false};
    }
    if (PyDict_Watch(watcher.id, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    return detail::watched_dict_changes.load(std::memory_order_relaxed);
}

void release_dict_watcher(DictWatcher& watcher) {
    watcher.released = true;
    if (!watcher.added) return;
    watcher.added = false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (PyDict_ClearWatcher(watcher.id) < 0) PyErr_Clear();  // the interpreter may have cleared it already
    PyErr_Restore(type, value, traceback);
    detail::watched_dict_changes.fetch_add(1, std::memory_order_relaxed);
}
#endif

nb::object type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyType_GetDict(type));
#else
    return nb::borrow(type->tp_dict);
#endif
}

nb::object type_lookup(PyTypeObject* type, PyObject* name) {
    nb::object hold_type = nb::borrow(reinterpret_cast<PyObject*>(type));
    // Comparing `name` with a key may run code that changes the class, so the MRO and each
    // dict are held while they are searched.
    nb::object mro = nb::borrow(type->tp_mro);
    if (!mro.is_valid()) return nb::object();
    for (nb::handle base : nb::borrow<nb::tuple>(mro)) {
        nb::object dict = type_dict(reinterpret_cast<PyTypeObject*>(base.ptr()));
        if (!dict.is_valid()) continue;
        PyObject* value = PyDict_GetItemWithError(dict.ptr(), name);
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nb::object();
        }
    }
    return nb::object();
}

}  // namespace kr
