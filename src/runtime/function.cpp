// The function type: attributes, introspection and lifetime of our functions.
#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/module.hpp"
#include "runtime/values.hpp"

namespace kr {

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

nb::object default_object(const Default& d) {
    switch (d.kind) {
        case Default::Kind::none: return nb::none();
        case Default::Kind::boolean: return nb::bool_(d.integer != 0);
        case Default::Kind::integer: return nb::int_(d.integer);
        case Default::Kind::text: return nb::str(d.text);
        case Default::Kind::absent: break;
    }
    return nb::object();
}

// A Python function keeps its defaults as the tuple of the trailing defaulted parameters.
nb::object defaults_tuple(const Spec& spec) {
    std::size_t first = spec.param_count;
    while (first > 0 && spec.params[first - 1].default_value.kind != Default::Kind::absent) --first;
    if (first == spec.param_count) return nb::none();
    nb::list values;
    for (std::size_t i = first; i < spec.param_count; ++i)
        values.append(default_object(spec.params[i].default_value));
    return nb::tuple(values);
}

}  // namespace

namespace {

// ---- attributes ----------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_text_attribute(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

// A function the garbage collector has cleared has no annotations dict left; as for a
// Python function, a new empty one is made then.
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (!value || value == Py_None) {
        value = PyDict_New();
        if (!value) return -1;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_INCREF(value);
    }
    Py_SETREF(as_function(self)->annotations, value);
    return 0;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_closure(PyObject* self, void*) {
    PyObject* values = as_function(self)->closure;
    if (!values) Py_RETURN_NONE;
    try {
        nb::list cells;
        for (nb::handle v : nb::borrow<nb::tuple>(values)) cells.append(checked(PyCell_New(v.ptr())));
        return nb::tuple(cells).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// inspect.signature() reads this: the parameters with their defaults and annotations, as
// inspect shows a Python function. Like inspect, it reads __annotations__ (a copy) and
// __defaults__ once and holds them: making the parameters runs Python code (an annotation
// key's __eq__, the Parameter class, another thread), which may rebind either attribute.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    try {
        nb::object current = checked(get_annotations(self, nullptr));
        nb::dict annotations = nb::borrow<nb::dict>(checked(PyDict_Copy(current.ptr())));
        nb::tuple defaults = fn->defaults ? nb::borrow<nb::tuple>(fn->defaults) : nb::tuple();
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        nb::object empty = parameter.attr("empty");
        nb::tuple names = nb::borrow<nb::tuple>(fn->names);
        const Py_ssize_t count = (Py_ssize_t) names.size();
        // inspect slices the names at len(names) - len(defaults), negative slices included,
        // and gives the names from there on the defaults from the first one on.
        Py_ssize_t split = count - (Py_ssize_t) defaults.size();
        if (split < 0) split = std::max<Py_ssize_t>(count + split, 0);
        auto annotation_of = [&](nb::handle key) {
            PyObject* found = PyDict_GetItemWithError(annotations.ptr(), key.ptr());
            if (!found && PyErr_Occurred()) nb::raise_python_error();
            return found ? nb::borrow(found) : empty;
        };
        nb::list params;
        for (Py_ssize_t i = 0; i < count; ++i) {
            nb::object name = names[i];
            nb::object annotation = annotation_of(name);
            nb::object dflt = i >= split ? nb::object(defaults[i - split]) : empty;
            params.append(parameter(name, kind, nb::arg("default") = dflt,
                                    nb::arg("annotation") = annotation));
        }
        nb::object return_annotation = annotation_of(id<"return">());
        return inspect.attr("Signature")(params, nb::arg("return_annotation") = return_annotation)
            .release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(FunctionObject, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- lifetime ------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->module);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module_name);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    return 0;
}

// __name__ and __qualname__ may be str subclasses that refer back to the function, so they
// are released too, but replaced by the empty str: repr() and error messages read them
// without checking. The parameter names stay: interned exact str, they refer to nothing.
int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->closure);
    Py_XSETREF(fn->name, PyUnicode_New(0, 0));
    Py_XSETREF(fn->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like a Python function, ours becomes a bound method when reached through an instance.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_function_type() {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "korvane.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of a korvane module.";
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}

bool ready_function_type() {
    static bool ready = PyType_Ready(&function_type) == 0;
    return ready;
}

}  // namespace

PyTypeObject function_type = make_function_type();

nb::object make_function(const Spec& spec, PyObject* module, nb::handle closure) {
    if (spec.param_count > max_params || spec.param_count != spec.arity) {
        PyErr_Format(PyExc_SystemError, "function '%s' declares %zu parameters for a body of %zu",
                     spec.name, spec.param_count, spec.arity);
        nb::raise_python_error();
    }
    if (!ready_function_type()) nb::raise_python_error();

    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(module));
    nb::list names;
    nb::dict annotations;
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        nb::object name = nb::steal(intern(spec.params[i].name));
        names.append(name);
        if (spec.params[i].annotation) annotations[name] = nb::str(spec.params[i].annotation);
    }
    nb::object defaults = defaults_tuple(spec);
    nb::object name = nb::steal(intern(spec.name));
    nb::object qualname = spec.qualname ? nb::steal(intern(spec.qualname)) : name;
    nb::object doc = spec.doc ? nb::object(nb::str(spec.doc)) : nb::none();
    // One lookup, as for a Python function: a key compared with "__name__" may run code.
    PyObject* found_name = PyDict_GetItemWithError(globals.ptr(), id<"__name__">());
    if (!found_name && PyErr_Occurred()) nb::raise_python_error();
    nb::object module_name = found_name ? nb::borrow(found_name) : nb::none();
    nb::object builtins = nb::borrow(PyEval_GetBuiltins());  // a dict, as for Python functions
    nb::object names_tuple = nb::tuple(names);

    auto* fn = PyObject_GC_New(FunctionObject, &function_type);
    if (!fn) nb::raise_python_error();
    fn->vectorcall = vectorcall;
    fn->spec = &spec;
    fn->globals = globals.inc_ref().ptr();
    fn->builtins = builtins.release().ptr();
    fn->module = Py_NewRef(module);
    fn->closure = closure ? Py_NewRef(closure.ptr()) : nullptr;
    fn->names = names_tuple.release().ptr();
    fn->name = name.release().ptr();
    fn->qualname = qualname.release().ptr();
    fn->module_name = module_name.release().ptr();
    fn->doc = doc.release().ptr();
    fn->defaults = defaults.is_none() ? nullptr : defaults.release().ptr();
    fn->annotations = annotations.release().ptr();
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return nb::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace kr
