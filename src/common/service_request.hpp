// What every request of the kit to the tenant's service shares: redirects are never
// followed (a 3xx is a failed request like any status but 200), every request has a
// time-out, and a service that cannot be reached gives one error that says so.
#pragma once

#include "runtime/runtime.hpp"

namespace korvane {

namespace nb = nanobind;

// A module's REQUEST_TIMEOUT as the HTTP stack takes it: None (no limit), seconds above 0
// and at most threading.TIMEOUT_MAX as an int or a float, or a (connect, read) tuple of those. Anything else is the
// setting's own ValueError, naming it and the value, raised before any request: refused
// inside the request it would read as a failed login or a refused token.
void check_timeout(nb::handle timeout);

// Clears the locals of the finished frames in the tracebacks of `error` and of the errors
// chained to it, up to `handled`, the error being handled when the request began (the
// caller's own, which is left as it is).
void forget_locals(nb::python_error& error, nb::handle handled);

// Runs `request`, a call into the HTTP stack, and returns what it returns. Whatever it
// raises (a failure, Ctrl-C) leaves with the stack's frames emptied of their locals, which
// hold the headers with the bearer token, the login body with the password and the URL
// with the app token: IPython's verbose tracebacks (%xmode Verbose, then %tb) show every
// frame's locals, and a notebook saves what it shows. The frames, their lines and the
// exception's class and message stay as they are.
template <typename Request>
nb::object without_locals_on_failure(Request&& request) {
    nb::object handled = nb::steal(PyErr_GetHandledException());
    try {
        return request();
    } catch (nb::python_error& error) {
        forget_locals(error, handled);
        throw;
    }
}

// `text` with every occurrence of `secret`, as it is and percent-encoded, replaced by
// "***". An empty secret masks nothing.
nb::str masked(nb::handle text, nb::handle secret);

// When `error` is a transport failure (requests' ConnectionError, Timeout or
// ChunkedEncodingError: a name that does not resolve, a refused, dropped or broken
// connection, a TLS failure, no answer in time), raises a new error of the same class
// that names the host of `origin` ("https://<host>"), the request (`what`) and the cause,
// with `secret` masked and no chained cause, whose text could hold the URL. Returns for
// any other error.
void raise_if_unreachable(nb::python_error& error, const char* what, nb::handle origin, nb::handle timeout,
                          nb::handle secret = nb::handle());

// Raises a new error of `error`'s class with `message` and no chained cause (the text
// says what happened; the chain would only repeat it, URL and all). When the class cannot
// be made from one message, `error` itself is raised again.
[[noreturn]] void raise_reworded(nb::python_error& error, nb::handle message);

}  // namespace korvane
