// Calling our functions: binds arguments to parameters exactly as the interpreter binds
// them for a Python function, checks annotated types, then runs the C++ body.
#include <cstring>

#include "runtime/function.hpp"
#include "runtime/scope.hpp"
#include "runtime/values.hpp"

namespace kr {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how the interpreter lists missing names.
PyObject* join_missing(PyObject* names, const std::size_t* missing, std::size_t count) {
    nb::str text("");
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text = nb::str("{}{}").format(text, count == 2 ? " and " : (i + 1 == count ? ", and " : ", "));
        text = nb::str("{}'{}'").format(text, nb::handle(PyTuple_GET_ITEM(names, missing[i])));
    }
    return text.release().ptr();
}

void raise_missing(FunctionObject* fn, PyObject* const* bound, std::size_t count) {
    std::size_t missing[max_params];
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (!bound[i]) missing[n++] = i;
    nb::object names = nb::steal(join_missing(fn->names, missing, n));
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %U",
                 fn->qualname, n, n == 1 ? "" : "s", names.ptr());
}

// `defaults` is the length of __defaults__, which may exceed the parameters ("from -1 to 2").
void raise_too_many(FunctionObject* fn, std::size_t count, Py_ssize_t defaults, Py_ssize_t given) {
    nb::object sig = defaults
        ? nb::steal(PyUnicode_FromFormat("from %zd to %zu", (Py_ssize_t) count - defaults, count))
        : nb::steal(PyUnicode_FromFormat("%zu", count));
    if (!sig.is_valid()) return;
    bool plural = defaults ? true : count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 fn->qualname, sig.ptr(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

Py_ssize_t find_parameter(PyObject* names, std::size_t count, PyObject* key) {
    for (std::size_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return (Py_ssize_t) i;
    for (std::size_t i = 0; i < count; ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return (Py_ssize_t) i;
    }
    return -1;
}

// Fills bound[] with borrowed references; false with an exception set on failure.
// Matching keywords may run Python code (a keyword's __eq__), so __defaults__ is read only
// after that, as the interpreter reads it, and `defaults` keeps the tuple that the bound
// values come from alive while the body runs.
bool bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          nb::object& defaults, PyObject** bound) {
    const std::size_t count = fn->spec->param_count;
    // As the interpreter does: positionals fill the parameters they reach, keywords are
    // matched next (and their errors win), and only then is a surplus of positionals an error.
    const std::size_t positional = std::min<std::size_t>((std::size_t) nargs, count);
    for (std::size_t i = 0; i < positional; ++i) bound[i] = args[i];
    for (std::size_t i = positional; i < count; ++i) bound[i] = nullptr;

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            return false;
        }
        Py_ssize_t i = find_parameter(fn->names, count, key);
        if (i == -2) return false;
        if (i == -1) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         fn->qualname, key);
            return false;
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         fn->qualname, key);
            return false;
        }
        bound[i] = args[nargs + k];
    }

    defaults = nb::borrow(fn->defaults);
    // Not capped at the parameter count: with more defaults than parameters, the
    // parameters take the last ones, as for a Python function.
    const Py_ssize_t ndefaults = defaults.is_valid() ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    if ((std::size_t) nargs > count) {
        raise_too_many(fn, count, ndefaults, nargs);
        return false;
    }

    bool missing = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (bound[i]) continue;
        const Py_ssize_t from_end = (Py_ssize_t) (count - i);  // 1 for the last parameter
        if (from_end <= ndefaults)
            bound[i] = PyTuple_GET_ITEM(defaults.ptr(), ndefaults - from_end);
        else
            missing = true;
    }
    if (missing) {
        raise_missing(fn, bound, count);
        return false;
    }
    return true;
}

PyTypeObject* checked_type(const char* annotation) {
    if (!annotation) return nullptr;
    if (std::strcmp(annotation, "str") == 0) return &PyUnicode_Type;
    if (std::strcmp(annotation, "int") == 0) return &PyLong_Type;
    if (std::strcmp(annotation, "dict") == 0 || std::strcmp(annotation, "Dict") == 0)
        return &PyDict_Type;
    return nullptr;
}

bool check_types(FunctionObject* fn, PyObject* const* bound) {
    const Spec& spec = *fn->spec;
    for (std::size_t i = 0; i < spec.param_count; ++i) {
        const Param& p = spec.params[i];
        PyTypeObject* expected = checked_type(p.annotation);
        if (!expected || Py_IS_TYPE(bound[i], expected)) continue;
        if (bound[i] == Py_None && p.default_value.kind == Default::Kind::none) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     p.name, expected->tp_name, Py_TYPE(bound[i])->tp_name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    const Spec& spec = *fn->spec;
    // The garbage collector clears a function in a cycle before a finalizer or a weak
    // reference's callback may still reach it; its body would find no globals.
    if (!fn->globals) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s() can no longer be called: the garbage collector has cleared it", spec.name);
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[max_params];
    // The tuple the defaults in bound[] come from: the body may rebind __defaults__.
    nb::object defaults;

    if (!kwnames && (std::size_t) nargs == spec.param_count) {
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    } else {
        bool bound_all = false;
        try {  // the error messages are built with nanobind, which throws
            bound_all = bind(fn, args, nargs, kwnames, defaults, bound);
        } catch (...) {
            set_error_from_current_exception();
        }
        if (!bound_all) return nullptr;
    }
    if (!check_types(fn, bound)) return nullptr;

    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = nullptr;
    try {
        Scope scope(fn);
        result = spec.thunk(scope, bound).release().ptr();
        if (!result && !PyErr_Occurred()) result = Py_NewRef(Py_None);
    } catch (...) {
        set_error_from_current_exception();
    }
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace kr
