// korvane.tessaly_gpt_sdk.endpoints: the engine client.
//
// Logs in when imported, fixes the engine's base URL from the tenant of that login, and
// sends authenticated POST and DELETE requests to the engine, checking the bearer token
// with the service (and logging in again when it is refused) before every request.
#include "common/service_request.hpp"
#include "common/tenant.hpp"
#include "runtime/runtime.hpp"

namespace {

namespace nb = nanobind;
using kr::Scope;
using namespace nb::literals;

// Only these two are ever sent; anything else is refused before the token check, so a
// mistyped method costs no request and leaves the login untouched.
void check_request_type(nb::handle request_type) {
    if (kr::equals_text(request_type, "POST") || kr::equals_text(request_type, "DELETE")) return;
    nb::object shown = nb::repr(request_type);
    PyErr_Format(PyExc_ValueError, "Unsupported request_type %U: expected 'POST' or 'DELETE'",
                 shown.ptr());
    nb::raise_python_error();
}

// The path is appended to the base URL as it is, so anything but "/", "?" or "#" right
// after the service domain would extend the host name ("x.evil.example/steal" or
// "@evil.example") and hand the bearer token to someone else's host.
void check_path(nb::handle path) {
    if (PyUnicode_GET_LENGTH(path.ptr()) == 0) return;
    Py_UCS4 first = PyUnicode_READ_CHAR(path.ptr(), 0);
    if (first == '/' || first == '?' || first == '#') return;
    nb::object shown = nb::repr(path);
    PyErr_Format(PyExc_ValueError, "Invalid path %U: an engine path starts with '/', '?' or '#'",
                 shown.ptr());
    nb::raise_python_error();
}

// With files, the HTTP package sends a multipart body and drops a JSON one without a
// word: refused before anything is sent, rather than lose the body.
void check_body_beside_files(nb::handle files, nb::handle body, nb::handle request_type, nb::handle data_as_json) {
    if (!kr::equals_text(request_type, "POST") || body.is_none() || files.is_none() || PyDict_GET_SIZE(files.ptr()) == 0 ||
        !kr::truthy(data_as_json))
        return;
    PyErr_SetString(PyExc_ValueError,
                    "A JSON body cannot be sent with files: pass data_as_json=False to send the body as form "
                    "fields beside the files");
    nb::raise_python_error();
}

// The tenant label in a base URL "https://<tenant><service domain>", or the URL's host
// when it is not of that form.
nb::str engine_tenant(nb::handle base_url) {
    nb::object host = nb::str(base_url).attr("removeprefix")("https://").attr("split")("/")[0];
    return nb::str(host.attr("removesuffix")(korvane::service_domain));
}

// A re-login that answered with an account of another tenant leaves the token of that
// tenant beside the base URL of the first: sending it there would hand one tenant's token
// to another's host (which refuses it anyway). Switching tenants means a new base URL,
// which only a new import makes. Host names are compared as DNS does, without regard to
// case: "Acme" typed once and "acme" at a re-login are the same host.
void check_same_tenant(nb::handle base_url, nb::handle tenant) {
    nb::str origin = nb::str(korvane::tenant_origin(tenant).attr("lower")());
    nb::str url = kr::text_of(base_url);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(origin.ptr());
    nb::str host = nb::str(kr::checked(PyUnicode_Substring(url.ptr(), 0, length)).attr("lower")());
    nb::str rest = nb::borrow<nb::str>(kr::checked(PyUnicode_Substring(url.ptr(), length, PY_SSIZE_T_MAX)));
    if (host.equal(origin) && (PyUnicode_GET_LENGTH(rest.ptr()) == 0 ||
                               kr::truthy(rest.attr("startswith")(nb::make_tuple("/", "?", "#")))))
        return;
    nb::object message = nb::str(
        "The login is now for tenant {!r}, but this session's engine is tenant {!r} ({}): that tenant's token is "
        "not sent there. Restart the kernel (or import korvane.tessaly_gpt_sdk.endpoints anew) to switch tenants.")
        .format(tenant, engine_tenant(url), url);
    PyErr_SetObject(PyExc_PermissionError, message.ptr());
    nb::raise_python_error();
}

// ---- engine invocation -----------------------------------------------------------------

nb::object invoke_gpt_engine(Scope& s, nb::handle path, nb::handle streaming, nb::handle files,
                             nb::handle body, nb::handle request_type, nb::handle data_as_json) {
    check_path(path);
    check_request_type(request_type);
    check_body_beside_files(files, body, request_type, data_as_json);
    nb::object timeout = s.global<"REQUEST_TIMEOUT">();
    korvane::check_timeout(timeout);

    nb::object validate_token = s.global<"validate_token">();
    if (!kr::truthy(validate_token(s.global<"auth_token">(), s.global<"tenant">()))) {
        auto [new_token, new_tenant] = kr::unpack<2>(s.global<"authenticate_credentials">()());
        s.set_global<"auth_token">(new_token);
        s.set_global<"tenant">(new_tenant);
    }

    // The base URL keeps the tenant of the import-time login, whatever a re-login returned;
    // the token goes only to its own tenant's host.
    nb::object base_url = s.global<"KORVANE_ENGINE_URL">();
    check_same_tenant(base_url, s.global<"tenant">());
    nb::object url = base_url + path;
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer ") + s.global<"auth_token">();

    nb::object response;
    try {
        if (kr::equals_text(request_type, "POST")) {
            nb::object post = s.global<"requests">().attr("post");
            response = korvane::without_locals_on_failure([&] {
                return kr::truthy(data_as_json)
                    ? post("url"_a = url, "headers"_a = headers, "json"_a = body, "files"_a = files,
                           "timeout"_a = timeout, "allow_redirects"_a = false)
                    : post("url"_a = url, "headers"_a = headers, "data"_a = body, "files"_a = files,
                           "timeout"_a = timeout, "allow_redirects"_a = false);
            });
        } else {
            nb::object del = s.global<"requests">().attr("delete");
            response = korvane::without_locals_on_failure([&] {
                return del("url"_a = url, "headers"_a = headers, "json"_a = body, "timeout"_a = timeout,
                           "allow_redirects"_a = false);
            });
        }
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_Exception))
            korvane::raise_if_unreachable(e, "engine request", s.global<"KORVANE_ENGINE_URL">(), timeout);
        throw;
    }

    if (response.attr("status_code").equal(nb::int_(200))) {
        if (kr::truthy(streaming)) return response;
        return response.attr("json")();
    }
    nb::object print = s.global<"print">();
    print(response.attr("text"));
    kr::raise(s.global<"HTTPError">()());
}
const kr::Spec invoke_gpt_engine_spec = kr::def<invoke_gpt_engine>(
    "_invoke_gpt_engine",
    "\n    Invokes the Korvane Engine with the given path and body\n"
    "    Parameters\n"
    "        path(str): The path to invoke the engine with\n"
    "        streaming(bool): Whether to stream the response or not\n"
    "        files(Dict): The files to upload\n"
    "        body(Dict): The body to send\n"
    "        request_type(str): The type of request to send, defaults to POST\n"
    "    \n"
    "    Returns\n"
    "        The response from the engine\n    ",
    {{"path", "str"},
     {"streaming", "bool", false},
     {"files", "Dict", kr::none},
     {"body", "Dict", kr::none},
     {"request_type", "str", "POST"},
     {"data_as_json", "bool", true}});

// ---- completion API --------------------------------------------------------------------

nb::object invoke_completion(Scope& s, nb::handle prompt, nb::handle max_tokens) {
    nb::dict body;
    body["query"] = prompt;
    body["max_tokens"] = max_tokens;
    // The local service (src/korvane/testing/service.py) serves this path and body too.
    return s.global<"_invoke_gpt_engine">()("path"_a = "/get-completion", "body"_a = body,
                                             "data_as_json"_a = true, "request_type"_a = "POST");
}
const kr::Spec invoke_completion_spec = kr::def<invoke_completion>(
    "_invoke_completion", kr::no_doc, {{"prompt", "str"}, {"max_tokens", "int"}});

nb::object get_completion(Scope& s, nb::handle prompt, nb::handle max_tokens) {
    return s.global<"_invoke_completion">()("prompt"_a = prompt, "max_tokens"_a = max_tokens);
}
const kr::Spec get_completion_spec = kr::def<get_completion>(
    "get_completion",
    "\n    Get the completion for the given prompt\n"
    "    Parameters\n"
    "        prompt(str): The prompt to get the completion for\n"
    "        max_tokens(int): The maximum number of tokens to generate\n"
    "    \n"
    "    Returns\n"
    "        The completion for the given prompt\n    ",
    {{"prompt", "str"}, {"max_tokens", "int", 1000}});

// ---- the module body -------------------------------------------------------------------

void body(kr::Module& m) {
    m.import("requests");
    m.from_import("requests.exceptions", {"HTTPError"});
    m.import("mimetypes");
    m.from_import("typing", {"List", "Optional", "Dict"});
    m.import("json");
    m.from_import("korvane.validation.wardlock", {"authenticate_credentials", "validate_token"});

    // Importing logs in: whatever the login raises ends the import.
    auto [auth_token, tenant] = kr::unpack<2>(m.global("authenticate_credentials")());
    m.set("auth_token", auth_token);
    m.set("tenant", tenant);

    // The login's tenant has already been through wardlock's URL check, which refuses
    // anything but host labels; the same text goes into the base URL.
    m.set("KORVANE_ENGINE_URL",
          kr::concat({nb::str("https://"), kr::text_of(m.global("tenant")), nb::str(korvane::service_domain)}));
    // Seconds to connect and to wait for the engine's answer, long enough for a slow
    // generation; read at every request.
    m.set("REQUEST_TIMEOUT", nb::make_tuple(10, 300));

    m.def(invoke_gpt_engine_spec);
    m.def(invoke_completion_spec);
    m.def(get_completion_spec);
}

}  // namespace

KORVANE_MODULE(endpoints, "korvane.tessaly_gpt_sdk.endpoints",
               "Engine client: authenticated requests to the tenant's engine.", body)
