// korvane.validation.authentication: app-token authentication.
//
// Validates an application token for a tenant with the tenant's service and keeps an
// accepted (token, tenant) pair in secret.json in the package root, the file the
// credential login also uses.
#include "common/secret_file.hpp"
#include "common/service_request.hpp"
#include "common/tenant.hpp"
#include "runtime/runtime.hpp"

namespace {

namespace nb = nanobind;
using kr::Scope;
using namespace nb::literals;

// `print` and `open` are the built-ins in force at import, out of reach of later rebinding;
// everything else, `input` included, is looked up when a function runs: a kernel that
// started after the import (an IPython startup file imports the module) installs its own
// `input` among the built-ins, and only that one can ask in the notebook. The package root's
// credential file, as computed at import: while `secret_file_path` still names it, a
// per-user file can stand in for it.
enum Captured : std::size_t { builtin_print, builtin_open, package_secret_file };

const char rejected_message[] = "Provided token is invalid. Please provide a valid token";

// ---- the credential file ---------------------------------------------------------------

nb::object file_to_read(Scope& s) {
    return korvane::credential_file_to_read(s.global<"secret_file_path">(), s.captured(package_secret_file));
}

// The decoded content of the credential file, read through the `open` taken at import.
nb::object read_secret_data(Scope& s, nb::handle path) {
    return korvane::load_json_file(s.captured(builtin_open), s.global<"json">(), path);
}

bool file_exists(Scope& s, nb::handle path) {
    return !path.is_none() && kr::truthy(s.global<"os">().attr("path").attr("exists")(path));
}

nb::object stored(nb::handle secret_data, const char* key) {
    return secret_data.attr("get")(key);
}

nb::object check_secret(Scope& s) {
    nb::object path = file_to_read(s);
    if (!file_exists(s, path)) {
        s.captured(builtin_print)("TESSALY_SECRET is not provided please add it manually");
        return nb::bool_(false);
    }
    nb::object secret_data = read_secret_data(s, path);
    if (stored(secret_data, "TESSALY_SECRET").is_none()) return nb::bool_(false);
    if (stored(secret_data, "TESSALY_TENANT").is_none()) return nb::bool_(false);
    nb::object token = stored(secret_data, "TESSALY_SECRET");
    nb::object tenant = stored(secret_data, "TESSALY_TENANT");
    return s.global<"_validate_secret">()(token, tenant);
}
const kr::Spec check_secret_spec = kr::def<check_secret>(
    "_check_secret",
    "\n    Check if the secret is present\n"
    "    :return: True if the secret is present else False\n    ",
    {});

nb::object get_secret(Scope& s) {
    nb::object path = file_to_read(s);
    if (!file_exists(s, path)) return nb::none();
    nb::object secret_data = read_secret_data(s, path);
    if (stored(secret_data, "TESSALY_SECRET").is_none() || stored(secret_data, "TESSALY_TENANT").is_none())
        return nb::make_tuple(nb::none(), nb::none());
    return nb::make_tuple(stored(secret_data, "TESSALY_SECRET"), stored(secret_data, "TESSALY_TENANT"));
}
const kr::Spec get_secret_spec = kr::def<get_secret>(
    "_get_secret",
    "\n    Get the secret from the secret file\n"
    "    :return: secret and tenant\n    ",
    {});

// Rewrites the whole file with this module's two keys; never leaves it emptied or
// partial. A tenant that could not be requested is refused before anything is written,
// so the file never holds a pair that every later call would fail on.
nb::object update_secret(Scope& s, nb::handle secret, nb::handle tenant) {
    korvane::tenant_origin(tenant);
    nb::dict secret_data;
    secret_data["TESSALY_SECRET"] = secret;
    secret_data["TESSALY_TENANT"] = tenant;
    korvane::write_credential_file(s.captured(builtin_open), s.captured(builtin_print), s.global<"json">(),
                                   s.global<"secret_file_path">(),
                                   s.captured(package_secret_file), secret_data);
    return nb::none();
}
const kr::Spec update_secret_spec = kr::def<update_secret>(
    "update_secret",
    "\n    Update the secret in the secret file\n"
    "    :param secret: secret to be updated\n"
    "    :param tenant: tenant to be updated\n"
    "    :return:\n    ",
    {{"secret"}, {"tenant"}});

// ---- validation ------------------------------------------------------------------------

nb::object authenticate_secret(Scope& s) {
    if (kr::truthy(s.global<"_check_secret">()())) return s.global<"_get_secret">()();

    nb::object input = s.global<"input">();
    nb::object token = input("Please enter the token: ");
    nb::object tenant = input("Please enter the tenant: ");
    if (kr::truthy(s.global<"_validate_secret">()(token, tenant))) {
        s.global<"update_secret">()(token, tenant);
        // Read back as stored. Where no file could keep it (update_secret said so), what
        // is read back is no pair or an older one: the accepted pair holds for the session.
        nb::object kept = s.global<"_get_secret">()();
        nb::tuple accepted = nb::make_tuple(token, tenant);
        return kept.equal(accepted) ? kept : accepted;
    }
    kr::raise(s.global<"PermissionError">()("Invalid token, program will exit now"));
}
const kr::Spec authenticate_secret_spec = kr::def<authenticate_secret>(
    "authenticate_secret",
    "\n    Authenticate the secret\n    \n"
    "    :return: True if the secret is valid else False\n    ",
    {});

nb::object validate_secret(Scope& s, nb::handle secret, nb::handle tenant) {
    // Built before the guarded request, so a tenant that names no host of the service
    // reaches the caller as ValueError. The token is percent-encoded in both places: it
    // stays one path segment and one query value whatever it holds.
    nb::str origin = korvane::tenant_origin(tenant);
    nb::str token_text = kr::text_of(secret);
    nb::handle print = s.captured(builtin_print);
    nb::object timeout = s.global<"REQUEST_TIMEOUT">();
    korvane::check_timeout(timeout);
    try {
        // A token with no UTF-8 form cannot be sent: the request fails like any other.
        nb::str token = korvane::percent_encoded(token_text);
        // The local service (src/korvane/testing/service.py) serves this path too.
        nb::str url = kr::concat({origin, nb::str("/validate-app-token/"), token, nb::str("?api_key="), token});
        nb::object request = s.global<"requests">().attr("request");
        nb::object response = korvane::without_locals_on_failure([&] {
            return request("GET", url, "verify"_a = false, "timeout"_a = timeout, "allow_redirects"_a = false);
        });
        if (response.attr("status_code").equal(nb::int_(200))) return nb::bool_(true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        korvane::raise_if_unreachable(e, "app-token check", origin, timeout, token_text);
        // The error's text may quote the URL, and so the token, into saved notebook output.
        print("Exception Occurred: ", korvane::masked(e.value(), token_text));
    }
    print(rejected_message);
    return nb::bool_(false);
}
const kr::Spec validate_secret_spec = kr::def<validate_secret>(
    "_validate_secret",
    "\n    Validate the secret\n"
    "    :param secret: secret to be validated\n"
    "    :param tenant: tenant to be validated\n"
    "    :return: True if the secret is valid else False\n    ",
    {{"secret"}, {"tenant"}});

// ---- the module body -------------------------------------------------------------------

void body(kr::Module& m) {
    m.import("os");
    m.import("json");
    m.import("requests");
    m.import("warnings");
    m.import("getpass");
    m.from_import("http.client", {"HTTPException"});
    m.import("datetime");

    m.global("warnings").attr("filterwarnings")("ignore");

    m.set("secret_file_path", korvane::secret_file_path_of(m));
    // Seconds to connect and to wait for an answer; read at every request.
    m.set("REQUEST_TIMEOUT", nb::make_tuple(10, 30));

    nb::dict builtins = nb::borrow<nb::dict>(PyEval_GetBuiltins());
    m.capture(builtin_print, builtins["print"]);
    m.capture(builtin_open, builtins["open"]);
    m.capture(package_secret_file, m.global("secret_file_path"));

    m.def(check_secret_spec);
    m.def(get_secret_spec);
    m.def(update_secret_spec);
    m.def(authenticate_secret_spec);
    m.def(validate_secret_spec);
}

}  // namespace

KORVANE_MODULE(authentication, "korvane.validation.authentication",
               "App-token authentication: validate an application token and keep it.", body)
