// Running module bodies and the imports they make.
#include "runtime/module.hpp"

namespace kr {

namespace {

detail::ModuleState& state_of(PyObject* module) {
    return *static_cast<detail::ModuleState*>(PyModule_GetState(module));
}

}  // namespace

Module::Module(PyObject* module)
    : module_(module), namespace_(nb::borrow<nb::dict>(PyModule_GetDict(module))) {}

nb::object Module::import_module(const char* name, nb::handle fromlist) {
    nb::object import = nb::borrow(PyEval_GetBuiltins())[id<"__import__">()];
    return import(nb::str(name), namespace_, nb::none(), fromlist, 0);
}

// What `from module import name` finds: the attribute, else an already imported
// submodule of that name, else ImportError in the interpreter's words.
nb::object Module::attribute_of(nb::handle from, const char* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(from.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) nb::raise_python_error();
    PyErr_Clear();
    nb::object full = nb::str("{}.{}").format(module, name);
    if (PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.ptr()))
        return nb::borrow(sub);
    if (PyErr_Occurred()) nb::raise_python_error();
    nb::object path = nb::none();
    if (PyObject* file = PyModule_Check(from.ptr()) ? PyModule_GetFilenameObject(from.ptr()) : nullptr)
        path = nb::steal(file);
    else
        PyErr_Clear();
    nb::object message = path.is_none()
        ? nb::str("cannot import name '{}' from '{}' (unknown location)").format(name, module)
        : nb::str("cannot import name '{}' from '{}' ({})").format(name, module, path);
    PyErr_SetImportError(message.ptr(), nb::str(module).ptr(), path.ptr());
    nb::raise_python_error();
}

void Module::import(const char* name) {
    set(name, import_module(name, nb::none()));
}

namespace {

// The module's __getattr__: the names given to import_at_first_use are imported, bound
// and returned; any other name is missing, in the interpreter's words.
nb::object import_on_first_read(Scope& s, nb::handle name) {
    nb::handle names = s.cell(0);
    int listed = PySequence_Contains(names.ptr(), name.ptr());
    if (listed < 0) nb::raise_python_error();
    if (listed) {
        nb::object module = checked(PyImport_Import(name.ptr()));
        s.set_global(name.ptr(), module);
        return module;
    }
    nb::object module_name = s.global<"__name__">();
    nb::object message = nb::str("module {!r} has no attribute {!r}").format(module_name, name);
    PyErr_SetObject(PyExc_AttributeError, message.ptr());
    nb::raise_python_error();
}
const Spec import_on_first_read_spec =
    def<import_on_first_read>("__getattr__", "Imports a module bound at its first use.", {{"name"}});

}  // namespace

void Module::import_at_first_use(std::initializer_list<const char*> names) {
    nb::object util = nb::module_::import_("importlib.util");
    nb::list listed;
    for (const char* name : names) {
        // Found now, as `import` would find it; its code runs when the name is first read.
        if (!PyMapping_HasKeyString(PyImport_GetModuleDict(), name) && util.attr("find_spec")(name).is_none()) {
            using namespace nb::literals;
            nb::object error = nb::borrow(PyExc_ModuleNotFoundError)(
                nb::str("No module named '{}'").format(name), "name"_a = name);
            PyErr_SetObject(PyExc_ModuleNotFoundError, error.ptr());
            nb::raise_python_error();
        }
        listed.append(nb::str(name));
    }
    set("__getattr__", make_function(import_on_first_read_spec, module_, nb::make_tuple(nb::tuple(listed))));
}

void Module::import_as(const char* name, const char* alias) {
    nb::object top = import_module(name, nb::none());
    // `import a.b as c` binds the submodule, not the package.
    set(alias, nb::borrow(PyImport_GetModuleDict())[name]);
    (void) top;
}

void Module::from_import(const char* module, std::initializer_list<const char*> names) {
    nb::list fromlist;
    for (const char* name : names) fromlist.append(name);
    nb::object from = import_module(module, nb::tuple(fromlist));
    for (const char* name : names) set(name, attribute_of(from, module, name));
}

void Module::from_import_as(const char* module, const char* name, const char* alias) {
    nb::object from = import_module(module, nb::make_tuple(name));
    set(alias, attribute_of(from, module, name));
}

nb::object Module::global(const char* name) const { return namespace_[name]; }

void Module::set(const char* name, nb::handle value) {
    nb::object key = nb::steal(intern(name));
    if (PyDict_SetItem(namespace_.ptr(), key.ptr(), value.ptr()) < 0) nb::raise_python_error();
}

void Module::def(const Spec& spec) { set(spec.name, make_function(spec, module_)); }

void Module::capture(std::size_t slot, nb::handle value) { set_module_captured(module_, slot, value); }

void set_module_captured(PyObject* module, std::size_t slot, nb::handle value) {
    Py_XSETREF(state_of(module).captured[slot], Py_NewRef(value.ptr()));
}

nb::handle module_captured(PyObject* module, std::size_t slot) {
    return state_of(module).captured[slot];
}

DictWatcher& module_dict_watcher(PyObject* module) { return state_of(module).dict_watcher; }

namespace detail {

// nanobind keeps interned keys and its exception machinery in internals anchored in a
// module's namespace. They are anchored in a private module object that lives as long as
// the process, so that our modules' namespaces hold exactly their own names.
bool register_with_nanobind() noexcept {
    static PyObject* anchor = nullptr;
    if (anchor) return true;
    PyObject* candidate = PyModule_New("korvane._runtime");
    if (!candidate) return false;
    if (!nb::register_module(candidate)) {
        Py_DECREF(candidate);
        return false;
    }
    anchor = candidate;
    return true;
}

int run_body(PyObject* module, Body body) noexcept {
    if (!register_with_nanobind()) return -1;
    try {
        Module m(module);
        body(m);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
    }
    return -1;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) return 0;
    for (PyObject* o : state->captured) Py_VISIT(o);
    return 0;
}

// Called when the module is collected or freed: its namespace may go next, unwatched.
int clear_state(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (!state) return 0;
    for (PyObject*& o : state->captured) Py_CLEAR(o);
    release_dict_watcher(state->dict_watcher);
    return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

}  // namespace detail

}  // namespace kr
