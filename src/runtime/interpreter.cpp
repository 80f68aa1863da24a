// What differs between interpreter versions: dict change stamps and class lookups.
#include "runtime/interpreter.hpp"

namespace kr {

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

std::uint64_t watched_dict_changes = 1;
bool dict_watcher_ready = false;

}  // namespace detail

namespace {

int dict_watcher = -1;

// Any event counts: a change, a clear, a clone into the dict, and its end (the address may
// then be reused by another dict).
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++detail::watched_dict_changes;
    return 0;
}

}  // namespace

void watch_dict(PyObject* dict) {
    if (dict_watcher < 0) {
        // The interpreter has a handful of watcher slots; without one, stamps never repeat.
        dict_watcher = PyDict_AddWatcher(count_change);
        if (dict_watcher < 0) {
            PyErr_Clear();
            return;
        }
        detail::dict_watcher_ready = true;
    }
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        detail::dict_watcher_ready = false;  // one dict that cannot be watched spoils every stamp
    }
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
