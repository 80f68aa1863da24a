// The notebook assistant's prompt composition: a description of the notebook's modules,
// variables and DataFrame columns, put in front of the base prompt and the query.
//
// The description is built the way the plain algorithm builds it, read for read, so that
// mappings, globals and classes that run Python code see the same calls in the same order;
// what makes it fast is that nothing is read again while no Python code can have run.

#include "cellwright_prompt.hpp"

#include <cstring>
#include <unordered_map>
#include <vector>


namespace cellwright {

namespace {

using kr::checked;
using kr::Scope;
using kr::TextWriter;
namespace nb = nanobind;

[[noreturn]] void raise_runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    nb::raise_python_error();
}

// Walks an exact dict as the interpreter's dict iterators do, so that code run for one
// entry that changes the dict ends the walk with the interpreter's RuntimeError.
class DictWalk {
public:
    explicit DictWalk(nb::handle dict)
        : dict_(dict.ptr()), used_(PyDict_GET_SIZE(dict.ptr())), left_(used_) {
        for (int i = 0; i < prefetch_distance; ++i) prefetch_ahead();
    }

    // The next entry, or false at the end: a strong reference to the key and the value
    // as the dict holds it (the value object itself is not touched).
    bool next(nb::object& key, PyObject** value) {
        if (PyDict_GET_SIZE(dict_) != used_) raise_runtime_error("dictionary changed size during iteration");
        PyObject* k;
        if (!PyDict_Next(dict_, &position_, &k, value)) return false;
        if (left_ == 0) raise_runtime_error("dictionary keys changed during iteration");
        --left_;
        prefetch_ahead();
        key = nb::borrow(k);
        return true;
    }

private:
    // The keys of a large namespace lie all over memory, and each is read as soon as the
    // walk reaches it: a second cursor runs a few entries ahead and has the processor
    // fetch those keys in the meantime. It only reads the dict's entry table.
    static constexpr int prefetch_distance = 8;
    void prefetch_ahead() {
        PyObject *k, *v;
        if (PyDict_Next(dict_, &ahead_, &k, &v)) __builtin_prefetch(k, 1);
    }

    PyObject* dict_;
    Py_ssize_t position_ = 0;
    Py_ssize_t ahead_ = 0;
    Py_ssize_t used_;
    Py_ssize_t left_;
};

// ---- which names are described ---------------------------------------------------------

// The name filter for an exact str, where the tests run no Python code.
bool describes_exact_str(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    bool underscore;
    if (PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND) {
        underscore = std::memchr(PyUnicode_1BYTE_DATA(name), '_', (std::size_t) length) != nullptr;
    } else {
        Py_ssize_t found = PyUnicode_FindChar(name, '_', 0, length, 1);
        if (found == -2) nb::raise_python_error();
        underscore = found >= 0;
    }
    return !underscore && !kr::equals_text(name, "In") && !kr::equals_text(name, "Out") &&
           !kr::equals_text(name, "quit") && !kr::equals_text(name, "exit");
}

// `"_" not in name and name != "In" and name != "Out" and name != "quit" and name != "exit"`
bool describes(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) return describes_exact_str(name.ptr());
    int found = PySequence_Contains(name.ptr(), kr::id<"_">());
    if (found < 0) nb::raise_python_error();
    if (found) return false;
    for (PyObject* hidden : {kr::id<"In">(), kr::id<"Out">(), kr::id<"quit">(), kr::id<"exit">()})
        if (!kr::truthy(checked(PyObject_RichCompare(name.ptr(), hidden, Py_NE)))) return false;
    return true;
}

// The names to describe, in iteration order, held while the prompt is built.
struct Selection {
    std::vector<nb::object> names;
    // For an exact dict whose keys were all exact str: each name's value as the walk met
    // it, still what the dict holds for as long as its change stamp is unchanged.
    std::vector<PyObject*> values;
    bool str_keys = false;
    uint64_t version = 0;
};

Selection select_names(Scope& s, nb::handle global_variables) {
    Selection selection;
    if (PyDict_CheckExact(global_variables.ptr())) {
        selection.names.reserve((std::size_t) PyDict_GET_SIZE(global_variables.ptr()));
        selection.values.reserve((std::size_t) PyDict_GET_SIZE(global_variables.ptr()));
        bool str_keys = true;
        DictWalk walk(global_variables);
        nb::object name;
        PyObject* value;
        while (walk.next(name, &value)) {
            str_keys = str_keys && PyUnicode_CheckExact(name.ptr());
            if (describes(name)) {
                selection.names.push_back(name);
                selection.values.push_back(value);
            }
        }
        selection.str_keys = str_keys;
        selection.version = s.watch(global_variables.ptr());
        return selection;
    }
    nb::object iterator = checked(PyObject_GetIter(global_variables.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object name = nb::steal(item);
        if (describes(name)) selection.names.push_back(name);
    }
    if (PyErr_Occurred()) nb::raise_python_error();
    return selection;
}

// ---- DataFrame columns ------------------------------------------------------------------

// The texts of numpy's own dtypes, remembered: the columns of a frame, and the frames of
// a notebook, share a few dtype objects, and numpy makes each text in Python code that
// costs more than all the rest of a column line. A dtype qualifies when its class is one
// of numpy's immutable classes with numpy's __str__ and object's __format__, it has no
// fields (whose titles could be any object) and no sub-array, and its scalar type is
// immutable too: numpy then computes the text from the dtype's immutable state and the
// names of those immutable classes alone, so the same object always gives the same text.
//
// Texts are kept for the call in a map, and across calls in a tuple the module keeps
// (dtype, text, dtype, text, ...), replaced by a longer one for each new dtype and started
// anew past kept_limit dtypes, so that it keeps at most a few dozen dtypes alive. Each
// entry holds its dtype, so that the dtype's address is not reused while the entry
// exists. The tuple is reachable from Python (gc.get_referents(module)) but, being a
// tuple, cannot be changed there: every entry is one this code put in.
class DtypeTexts {
public:
    explicit DtypeTexts(Scope& s) : s_(s) {}

    nb::str text_of(nb::handle dtype) {
        auto found = texts_.find(dtype.ptr());
        if (found != texts_.end()) return found->second.second;
        if (nb::object text = kept_text(dtype); text.is_valid()) {
            texts_.emplace(dtype.ptr(), std::make_pair(nb::borrow(dtype), text));
            return nb::borrow<nb::str>(text);
        }
        bool stable = is_plain_numpy_dtype(dtype);
        nb::str text = kr::text_of(dtype);
        if (stable && PyUnicode_CheckExact(text.ptr())) {
            texts_.emplace(dtype.ptr(), std::make_pair(nb::borrow(dtype), text));
            keep(dtype, text);
        }
        return text;
    }

private:
    static constexpr Py_ssize_t kept_limit = 64;

    nb::object kept_text(nb::handle dtype) const {
        nb::handle kept = s_.captured(dtype_texts_slot);
        const Py_ssize_t size = PyTuple_GET_SIZE(kept.ptr());
        for (Py_ssize_t i = 0; i + 1 < size; i += 2)
            if (PyTuple_GET_ITEM(kept.ptr(), i) == dtype.ptr()) return nb::borrow(PyTuple_GET_ITEM(kept.ptr(), i + 1));
        return nb::object();
    }

    void keep(nb::handle dtype, nb::handle text) const {
        nb::object kept = nb::borrow(s_.captured(dtype_texts_slot));
        nb::object entry = nb::make_tuple(dtype, text);
        if (PyTuple_GET_SIZE(kept.ptr()) >= 2 * kept_limit) kept = entry;
        else kept = checked(PySequence_Concat(kept.ptr(), entry.ptr()));
        s_.recapture(dtype_texts_slot, kept);
    }

    static bool is_immutable_type(PyObject* type) {
        return PyType_Check(type) &&
               PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_IMMUTABLETYPE);
    }

    // numpy.dtype, from the numpy that pandas has loaded; null when there is none.
    PyTypeObject* numpy_dtype() {
        if (!looked_up_) {
            looked_up_ = true;
            nb::object numpy = nb::steal(PyImport_GetModule(kr::id<"numpy">()));
            PyObject* dtype = numpy.is_valid() ? PyObject_GetAttr(numpy.ptr(), kr::id<"dtype">()) : nullptr;
            if (dtype && PyType_Check(dtype)) numpy_dtype_ = nb::steal(dtype);
            else Py_XDECREF(dtype);
            PyErr_Clear();
        }
        return reinterpret_cast<PyTypeObject*>(numpy_dtype_.ptr());
    }

    // The attribute is exactly None; numpy's getters run no Python code.
    static bool attribute_is_none(nb::handle dtype, PyObject* name) {
        PyObject* value = PyObject_GetAttr(dtype.ptr(), name);
        if (!value) {
            PyErr_Clear();
            return false;
        }
        bool none = value == Py_None;
        Py_DECREF(value);
        return none;
    }

    bool is_plain_numpy_dtype(nb::handle dtype) {
        PyTypeObject* base = numpy_dtype();
        PyTypeObject* type = Py_TYPE(dtype.ptr());
        if (!base || !PyType_IsSubtype(type, base) || !is_immutable_type(reinterpret_cast<PyObject*>(type)) ||
            std::strncmp(type->tp_name, "numpy.", 6) != 0 || type->tp_str != base->tp_str ||
            type->tp_getattro != PyObject_GenericGetAttr ||
            !kr::type_lookup(type, kr::id<"__format__">())
                 .is(kr::type_lookup(&PyBaseObject_Type, kr::id<"__format__">())))
            return false;
        if (!attribute_is_none(dtype, kr::id<"fields">()) || !attribute_is_none(dtype, kr::id<"subdtype">()))
            return false;
        PyObject* scalar_type = PyObject_GetAttr(dtype.ptr(), kr::id<"type">());
        if (!scalar_type) {
            PyErr_Clear();
            return false;
        }
        bool immutable = is_immutable_type(scalar_type);
        Py_DECREF(scalar_type);
        return immutable;
    }

    Scope& s_;
    bool looked_up_ = false;
    nb::object numpy_dtype_;
    std::unordered_map<PyObject*, std::pair<nb::object, nb::str>> texts_;
};

// ---- describing the selected names ----------------------------------------------------

// Composes the modules and variables sections step by step as the plain algorithm does:
// every global read at its use, `global_variables[name]` looked up at each use, every `==`
// of types a real comparison. While no Python code has run, what those steps would read
// is what they read last time, so the composer remembers the globals `type`, `os` and
// `DataFrame` and the text of each plain class, and takes the values of an unchanged
// exact dict of str keys from the selection walk; anything that may run Python code
// makes it forget the globals and the class texts.
class Composer {
public:
    Composer(Scope& s, nb::handle global_variables, Selection& selection)
        : s_(s), global_variables_(global_variables), selection_(selection), dtype_texts_(s) {
        // A variable's line is its name and some 30 characters; reserving that for every
        // name keeps a notebook of thousands of variables from regrowing the text.
        Py_ssize_t length = 0;
        for (const nb::object& name : selection_.names)
            length += (PyUnicode_CheckExact(name.ptr()) ? PyUnicode_GET_LENGTH(name.ptr()) : 16) + 32;
        variables_.reserve(length);
    }

    // Each statement keeps the plain algorithm's order of reads and calls.
    void describe(std::size_t i) {
        nb::handle name = selection_.names[i];
        // if type(global_variables[name]) == type(os):
        nb::object type_function = global_type();
        nb::object type = type_of(type_function, lookup(i));
        type_function = global_type();
        nb::object os = global_os();
        if (same_type(type, type_of(type_function, os))) {
            modules_.text(name_text(name));
            modules_.ascii("\n");
            return;
        }
        // elif type(global_variables[name]) == DataFrame:
        type_function = global_type();
        type = type_of(type_function, lookup(i));
        if (same_type(type, global_dataframe())) {
            describe_dataframe(i);
            return;
        }
        // f"name: {name}, type: {type(global_variables[name])}\n"
        nb::str shown_name = name_text(name);
        type_function = global_type();
        type = type_of(type_function, lookup(i));
        nb::str line_end = type_line_end(type);
        variables_.ascii("name: ");
        variables_.text(shown_name);
        variables_.text(line_end);
    }

    nb::str modules() { return modules_.finish(); }
    nb::str variables() { return variables_.finish(); }

private:
    void forget() {
        type_ = os_ = dataframe_ = nb::object();
        line_ends_.clear();
        last_class_ = last_line_end_ = nullptr;
    }

    nb::object cached_global(nb::object& slot, PyObject* name) {
        if (!slot.is_valid()) slot = s_.global(name);
        return slot;
    }
    nb::object global_type() { return cached_global(type_, kr::id<"type">()); }
    nb::object global_os() { return cached_global(os_, kr::id<"os">()); }
    nb::object global_dataframe() { return cached_global(dataframe_, kr::id<"DataFrame">()); }

    bool pure_lookups() const {
        return selection_.str_keys && kr::unchanged_since(global_variables_.ptr(), selection_.version);
    }

    // `global_variables[name]` for the i-th selected name.
    nb::object lookup(std::size_t i) {
        nb::handle name = selection_.names[i];
        if (!PyDict_CheckExact(global_variables_.ptr())) {
            nb::object value = checked(PyObject_GetItem(global_variables_.ptr(), name.ptr()));
            forget();
            return value;
        }
        if (pure_lookups()) return nb::borrow(selection_.values[i]);
        PyObject* found = PyDict_GetItemWithError(global_variables_.ptr(), name.ptr());
        if (!found) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, nb::make_tuple(name).ptr());
            nb::raise_python_error();
        }
        nb::object value = nb::borrow(found);
        forget();  // comparing with keys of other types may have run their __eq__
        return value;
    }

    // `type(value)`, through whatever the global `type` is.
    nb::object type_of(nb::handle type_function, nb::handle value) {
        if (type_function.is(reinterpret_cast<PyObject*>(&PyType_Type)))
            return nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
        nb::object result = type_function(value);
        forget();
        return result;
    }

    // `a == b` judged by `if`. Two classes whose metaclass is exactly `type` compare by
    // identity without running any code; anything else takes the full comparison.
    bool same_type(nb::handle a, nb::handle b) {
        if (Py_IS_TYPE(a.ptr(), &PyType_Type) && Py_IS_TYPE(b.ptr(), &PyType_Type)) return a.is(b);
        nb::object result = checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
        bool truth = kr::truthy(result);
        forget();
        return truth;
    }

    nb::str name_text(nb::handle name) {
        if (PyUnicode_CheckExact(name.ptr())) return nb::borrow<nb::str>(name);
        nb::str text = kr::text_of(name);
        forget();
        return text;
    }

    static nb::str line_end_of(nb::handle type_text) {
        TextWriter end;
        end.ascii(", type: ");
        end.text(type_text);
        end.ascii("\n");
        return end.finish();
    }

    // True when the class's repr runs no Python code. For a class of metaclass `type`, the
    // repr reads __module__ from the class dict, where only a key that is not an exact str
    // can run code (its __eq__, for a hash equal to that of "__module__"); a static type's
    // repr reads no dict at all.
    static bool repr_runs_no_code(nb::handle type) {
        auto* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
        if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE)) return true;
        PyObject* dict = cls->tp_dict;
        if (!dict || !PyDict_CheckExact(dict)) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    // ", type: " + format(cls, "") + "\n". For a class of metaclass `type` whose repr runs
    // no code, the text depends on nothing that can change unless Python code runs, so it
    // is remembered until then.
    nb::str type_line_end(nb::handle type) {
        if (!Py_IS_TYPE(type.ptr(), &PyType_Type)) {
            nb::str text = kr::text_of(type);
            forget();
            return line_end_of(text);
        }
        if (type.ptr() == last_class_) return nb::borrow<nb::str>(last_line_end_);
        auto found = line_ends_.find(type.ptr());
        if (found == line_ends_.end()) {
            if (!repr_runs_no_code(type)) {
                nb::str text = kr::text_of(type);
                forget();
                return line_end_of(text);
            }
            found = line_ends_.emplace(type.ptr(), std::make_pair(nb::borrow(type), line_end_of(kr::text_of(type)))).first;
        }
        last_class_ = type.ptr();  // both kept alive by the map
        last_line_end_ = found->second.second.ptr();
        return found->second.second;
    }

    void column_line(TextWriter& lines, bool& first, nb::handle label, nb::handle dtype) {
        nb::str label_text = kr::text_of(label);
        nb::str dtype_text = dtype_texts_.text_of(dtype);
        if (!first) lines.ascii("\n");
        first = false;
        lines.ascii("\t column: ");
        lines.text(label_text);
        lines.ascii(", dtype:");
        lines.text(dtype_text);
    }

    void describe_dataframe(std::size_t i) {
        nb::handle name = selection_.names[i];
        nb::object df = lookup(i);
        forget();  // pandas code runs from here on
        nb::object by_column = df.attr(kr::id<"dtypes">()).attr(kr::id<"to_dict">())();
        TextWriter lines;
        bool first = true;
        if (PyDict_CheckExact(by_column.ptr())) {
            DictWalk walk(by_column);
            nb::object label;
            PyObject* dtype;
            // The label's format() may run any code: hold the dtype first.
            while (walk.next(label, &dtype)) column_line(lines, first, label, nb::borrow(dtype));
        } else {
            nb::object items = checked(PyObject_GetIter(by_column.attr(kr::id<"items">())().ptr()));
            while (PyObject* next = PyIter_Next(items.ptr())) {
                nb::object item = nb::steal(next);
                auto [k, v] = kr::unpack<2>(item);
                column_line(lines, first, k, v);
            }
            if (PyErr_Occurred()) nb::raise_python_error();
        }
        nb::str dtypes_string = lines.finish();
        nb::str shown_name = kr::text_of(name);
        nb::object type = type_of(global_type(), df);
        nb::str type_name = kr::text_of(type.attr(kr::id<"__name__">()));
        forget();
        variables_.ascii("name: ");
        variables_.text(shown_name);
        variables_.ascii(", type: ");
        variables_.text(type_name);
        variables_.ascii("\n");
        variables_.text(dtypes_string);
        variables_.ascii("\n");
    }

    Scope& s_;
    nb::handle global_variables_;
    Selection& selection_;
    TextWriter modules_, variables_;

    nb::object type_, os_, dataframe_;
    std::unordered_map<PyObject*, std::pair<nb::object, nb::str>> line_ends_;
    PyObject* last_class_ = nullptr;
    PyObject* last_line_end_ = nullptr;
    DtypeTexts dtype_texts_;
};

}  // namespace

// ---- the prompt -------------------------------------------------------------------------

nb::object generate_prompt(Scope& s, nb::handle query, nb::handle base_prompt, nb::handle global_variables) {
    if (global_variables.is_none()) return checked(PyNumber_Add(base_prompt.ptr(), query.ptr()));

    Selection selection = select_names(s, global_variables);
    Composer composer(s, global_variables, selection);
    // The values, too, lie all over memory: fetch the one a few names ahead meanwhile.
    const std::vector<PyObject*>& values = selection.values;
    for (std::size_t i = 0; i < selection.names.size(); ++i) {
        if (i + 8 < values.size()) __builtin_prefetch(values[i + 8], 1);
        composer.describe(i);
    }

    // Joined in one step, each part copied once into a text of the exact size. The local
    // service's engine (src/korvane/testing/engine.py, _parse_context) reads the notebook
    // back from these headings and from the "name: ..., type: ..." and "column: ..., dtype:"
    // lines above.
    nb::handle head = kr::id<"Given below are the modules and the variables that I have used:\nModules: \n">();
    nb::handle between = kr::id<"\nVariables: \n">();
    nb::handle context = kr::id<"\nUse them as context and ">();
    nb::handle separator = kr::id<": ">();
    nb::str modules = composer.modules(), variables = composer.variables();
    if (PyUnicode_CheckExact(query.ptr()))
        return kr::concat({head, modules, between, variables, context, base_prompt, separator, query});
    nb::str prompt = kr::concat({head, modules, between, variables, context, base_prompt, separator});
    return checked(PyNumber_Add(prompt.ptr(), query.ptr()));
}

}  // namespace cellwright
