#include "common/service_request.hpp"

#include "common/tenant.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvane {

namespace {

bool is_instance(nb::handle value, nb::handle exceptions, const char* name) {
    int result = PyObject_IsInstance(value.ptr(), exceptions.attr(name).ptr());
    if (result < 0) nb::raise_python_error();
    return result == 1;
}

// The innermost error of the chain that led to `error`: the operating system's or the
// TLS library's own words ("[Errno 111] Connection refused"), without the wrappers' URL.
nb::object root_cause(nb::handle error) {
    nb::object current = nb::borrow(error);
    for (int depth = 0; depth < 32; ++depth) {
        PyObject* next = PyException_GetCause(current.ptr());
        if (!next) next = PyException_GetContext(current.ptr());
        if (!next) break;
        current = nb::steal(next);
    }
    return current;
}

// One element of a (connect, read) time-out, or the single time-out for both.
nb::object timeout_part(nb::handle timeout, Py_ssize_t index) {
    if (PyTuple_Check(timeout.ptr()) && PyTuple_GET_SIZE(timeout.ptr()) == 2)
        return nb::borrow(PyTuple_GET_ITEM(timeout.ptr(), index));
    return nb::borrow(timeout);
}

// Which time-out ran out and the seconds it had, as urllib3 reports them ("(read
// timeout=10)"). A TLS handshake that stalls runs out the connect time-out but is reported
// as a read time-out; its seconds tell the two apart.
nb::str timed_out(nb::handle error, nb::handle exceptions, nb::handle timeout) {
    nb::str connect = kr::text_of(timeout_part(timeout, 0));
    nb::str read = kr::text_of(timeout_part(timeout, 1));
    bool connecting = is_instance(error, exceptions, "ConnectTimeout");
    nb::str seconds = connecting ? connect : read;
    nb::object reported = nb::module_::import_("re").attr("search")(
        R"(\((?:connect|read) timeout=([^)]*)\))", nb::str(error));
    if (!reported.is_none()) {
        seconds = nb::str(reported.attr("group")(1));
        if (!connecting && seconds.equal(connect) && !seconds.equal(read)) connecting = true;
    }
    if (connecting)
        return kr::concat({nb::str("no connection within "), seconds, nb::str(" seconds (the connect timeout)")});
    return kr::concat({nb::str("no answer within "), seconds, nb::str(" seconds (the read timeout)")});
}

nb::str cause_of(nb::handle error, nb::handle exceptions, nb::handle timeout) {
    if (is_instance(error, exceptions, "Timeout")) return timed_out(error, exceptions, timeout);
    nb::object root = root_cause(error);
    nb::str text = nb::str(root);
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0) return text;
    return nb::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(root.ptr()))).attr("__name__"));
}

// The longest wait the platform's clocks and sockets take (threading.TIMEOUT_MAX): past
// it the HTTP stack fails mid-request with an OverflowError, or a login reads as refused.
double longest_wait() {
    return nb::cast<double>(nb::module_::import_("threading").attr("TIMEOUT_MAX"));
}

bool is_time_limit(nb::handle value) {
    if (value.is_none()) return true;
    if (PyBool_Check(value.ptr())) return false;
    double seconds;
    if (PyFloat_Check(value.ptr())) {
        seconds = PyFloat_AS_DOUBLE(value.ptr());
    } else if (PyLong_Check(value.ptr())) {
        seconds = PyLong_AsDouble(value.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) {  // too large for a double, so for a socket
            PyErr_Clear();
            return false;
        }
    } else {
        return false;
    }
    return std::isfinite(seconds) && seconds > 0 && seconds <= longest_wait();
}

}  // namespace

void check_timeout(nb::handle timeout) {
    if (PyTuple_Check(timeout.ptr())) {
        if (PyTuple_GET_SIZE(timeout.ptr()) == 2 && is_time_limit(PyTuple_GET_ITEM(timeout.ptr(), 0)) &&
            is_time_limit(PyTuple_GET_ITEM(timeout.ptr(), 1)))
            return;
    } else if (is_time_limit(timeout)) {
        return;
    }
    nb::object shown = nb::repr(timeout);
    nb::object longest = nb::repr(nb::float_(longest_wait()));
    PyErr_Format(PyExc_ValueError,
                 "REQUEST_TIMEOUT must be seconds above 0 and at most %U, the longest wait this platform allows "
                 "(or None for no limit), or a (connect, read) pair of them; it is %U",
                 longest.ptr(), shown.ptr());
    nb::raise_python_error();
}

nb::str masked(nb::handle text, nb::handle secret) {
    nb::str result = nb::str(text);
    if (!secret.is_valid() || secret.is_none()) return result;
    nb::str raw = kr::text_of(secret);
    if (PyUnicode_GET_LENGTH(raw.ptr()) == 0) return result;
    nb::str hidden("***");
    // A secret with no UTF-8 form has no percent-encoded form either.
    PyObject* encoded_utf8 = PyUnicode_AsUTF8String(raw.ptr());
    if (encoded_utf8) {
        Py_DECREF(encoded_utf8);
        result = nb::str(result.attr("replace")(percent_encoded(raw), hidden));
    } else {
        PyErr_Clear();
    }
    return nb::str(result.attr("replace")(raw, hidden));
}

void forget_locals(nb::python_error& error, nb::handle handled) {
    // This runs with an error in flight, whose own indicator is kept in `error`.
    PyObject *saved_type, *saved_value, *saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    std::vector<PyObject*> pending{error.value().ptr()};
    std::vector<PyObject*> seen;
    while (!pending.empty() && seen.size() < 64) {
        PyObject* current = pending.back();
        pending.pop_back();
        if (current == handled.ptr() || std::find(seen.begin(), seen.end(), current) != seen.end()) continue;
        seen.push_back(current);
        for (PyObject* tb = PyException_GetTraceback(current); tb;) {
            PyObject* frame = PyObject_GetAttrString(tb, "tb_frame");
            // A frame still running (a caller's, reached through a chained error) refuses.
            PyObject* cleared = frame ? PyObject_CallMethod(frame, "clear", nullptr) : nullptr;
            if (!cleared) PyErr_Clear();
            Py_XDECREF(cleared);
            Py_XDECREF(frame);
            PyObject* next = PyObject_GetAttrString(tb, "tb_next");
            if (!next) PyErr_Clear();
            Py_DECREF(tb);
            tb = next == Py_None ? (Py_DECREF(next), nullptr) : next;
        }
        for (PyObject* linked : {PyException_GetCause(current), PyException_GetContext(current)}) {
            if (linked) {
                pending.push_back(linked);
                Py_DECREF(linked);  // kept alive by `current`, which `error` keeps alive
            }
        }
    }
    PyErr_Restore(saved_type, saved_value, saved_traceback);
}

void raise_if_unreachable(nb::python_error& error, const char* what, nb::handle origin, nb::handle timeout,
                          nb::handle secret) {
    nb::object exceptions = nb::module_::import_("requests.exceptions");
    nb::handle value = error.value();
    if (!is_instance(value, exceptions, "ConnectionError") && !is_instance(value, exceptions, "Timeout") &&
        !is_instance(value, exceptions, "ChunkedEncodingError"))
        return;
    nb::str host = nb::str(nb::str(origin).attr("removeprefix")("https://"));
    // src/korvane/request_failures.py (describe) keeps a message that opens with "The service
    // at " as the kit's own words, and writes one of its own for any other.
    nb::str message = kr::concat({nb::str("The service at "), host, nb::str(" could not be reached for the "),
                                  nb::str(what), nb::str(": "), cause_of(value, exceptions, timeout)});
    raise_reworded(error, masked(message, secret));
}

void raise_reworded(nb::python_error& error, nb::handle message) {
    PyObject* type = error.type().ptr();
    PyObject* fresh = PyObject_CallOneArg(type, message.ptr());
    if (!fresh || !PyExceptionInstance_Check(fresh)) {
        Py_XDECREF(fresh);
        PyErr_Clear();
        error.restore();
        nb::raise_python_error();
    }
    PyException_SetCause(fresh, nullptr);  // also hides the context
    PyErr_SetObject(type, fresh);
    Py_DECREF(fresh);
    nb::raise_python_error();
}

}  // namespace korvane
