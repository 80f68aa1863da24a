// What differs between the interpreter versions korvane runs on (CPython 3.11 to 3.14).
// Every version check of the runtime and the modules lives here and in interpreter.cpp,
// and each uses the public API where the version at hand has one.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kr {

namespace nb = nanobind;

// ---- change stamps of dicts -----------------------------------------------------------
// watch_dict(watcher, d) returns a stamp of `d`, and unchanged_since(d, stamp) is true only
// while `d` has not changed since that stamp was taken. A stamp of 0 is trusted by nothing.
//
// 3.11 keeps such a version in every dict. From 3.12 on that field is deprecated (and 3.14
// drops it): a dict watcher counts the changes of all watched dicts instead, so a stamp
// then moves on whenever any watched dict changes, which costs a cache some hits and never
// a stale value. Watcher ids are the interpreter's: the same id may be another
// extension's watcher in another interpreter, or in this one after ours was cleared. So
// each module keeps its own watcher per interpreter (in its module state), a stamp is
// only handed out for a dict that watcher of ours watches, and with no watcher (every slot
// taken) it is 0: nothing is cached.

#if PY_VERSION_HEX >= 0x030C0000
// One module's watcher in the interpreter that imported it. All zero is the state a new
// module's state starts in: no watcher yet.
struct DictWatcher {
    bool added;
    int id;
    bool released;  // the module is going away: no new watcher for it
};

namespace detail {
extern std::atomic<std::uint64_t> watched_dict_changes;
}  // namespace detail

std::uint64_t watch_dict(DictWatcher& watcher, PyObject* dict);
inline bool unchanged_since(PyObject*, std::uint64_t stamp) {
    return stamp != 0 && stamp == detail::watched_dict_changes.load(std::memory_order_relaxed);
}
// Gives the watcher's slot back when its module is freed; every stamp taken so far is
// stale from then on, since the dicts it watched are no longer counted.
void release_dict_watcher(DictWatcher& watcher);
#else
struct DictWatcher {};

inline std::uint64_t watch_dict(DictWatcher&, PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
inline bool unchanged_since(PyObject* dict, std::uint64_t stamp) {
    return stamp != 0 && stamp == reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
inline void release_dict_watcher(DictWatcher&) {}
#endif

// ---- classes --------------------------------------------------------------------------

// A class's own namespace. Static builtin types keep theirs per interpreter from 3.12 on.
nb::object type_dict(PyTypeObject* type);

// `name` as the interpreter's special-method lookup finds it: in the dicts along the
// class's MRO, unbound. Empty when absent; as in that lookup, an error raised while
// comparing keys is swallowed and counts as absent.
nb::object type_lookup(PyTypeObject* type, PyObject* name);

// ---- building a str -------------------------------------------------------------------

// A str built piece by piece in one growing buffer: the public writer from 3.14 on, the
// interpreter's own before (no public one exists there).
class TextWriter {
public:
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
#if PY_VERSION_HEX >= 0x030E0000
    TextWriter() = default;
    ~TextWriter() { PyUnicodeWriter_Discard(writer_); }

    // Room for `length` characters from the first write on, so that a long text whose
    // size is roughly known is not copied again each time it outgrows its buffer.
    void reserve(Py_ssize_t length) {
        if (!writer_) reserved_ = length;
    }
    template <std::size_t N>
    void ascii(const char (&text)[N]) {
        check(PyUnicodeWriter_WriteUTF8(writer(), text, N - 1));
    }
    // The characters of a str (a subclass's __str__ is not called).
    void text(nb::handle str) {
        check(PyUnicodeWriter_WriteSubstring(writer(), str.ptr(), 0, PyUnicode_GET_LENGTH(str.ptr())));
    }
    void character(Py_UCS4 c) { check(PyUnicodeWriter_WriteChar(writer(), c)); }
    // The text so far; the writer starts empty again.
    nb::str finish() {
        PyUnicodeWriter* done = std::exchange(writer_, nullptr);
        if (!done) return nb::str("");
        PyObject* result = PyUnicodeWriter_Finish(done);
        if (!result) nb::raise_python_error();
        return nb::steal<nb::str>(result);
    }

private:
    static void check(int status) {
        if (status < 0) nb::raise_python_error();
    }
    PyUnicodeWriter* writer() {
        if (!writer_) {
            writer_ = PyUnicodeWriter_Create(std::exchange(reserved_, 0));
            if (!writer_) nb::raise_python_error();
        }
        return writer_;
    }
    PyUnicodeWriter* writer_ = nullptr;
    Py_ssize_t reserved_ = 0;
#else
    TextWriter() {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
    }
    ~TextWriter() { _PyUnicodeWriter_Dealloc(&writer_); }

    // Room for `length` characters from the first write on, so that a long text whose
    // size is roughly known is not copied again each time it outgrows its buffer.
    void reserve(Py_ssize_t length) { writer_.min_length = length; }
    template <std::size_t N>
    void ascii(const char (&text)[N]) {
        check(_PyUnicodeWriter_WriteASCIIString(&writer_, text, N - 1));
    }
    // The characters of a str (a subclass's __str__ is not called).
    void text(nb::handle str) { check(_PyUnicodeWriter_WriteStr(&writer_, str.ptr())); }
    void character(Py_UCS4 c) { check(_PyUnicodeWriter_WriteChar(&writer_, c)); }
    // The text so far; the writer starts empty again.
    nb::str finish() {
        PyObject* result = _PyUnicodeWriter_Finish(&writer_);
        if (!result) nb::raise_python_error();
        return nb::steal<nb::str>(result);
    }

private:
    static void check(int status) {
        if (status < 0) nb::raise_python_error();
    }
    _PyUnicodeWriter writer_;
#endif
};

}  // namespace kr
