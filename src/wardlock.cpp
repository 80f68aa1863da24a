// korvane.validation.wardlock: the credential login.
//
// Remembers the user name, password (Base64), bearer token and tenant in secret.json in
// the package root, gets a token from the tenant's login endpoint, and asks the tenant's
// service whether a stored token is still accepted.
#include "common/secret_file.hpp"
#include "common/service_request.hpp"
#include "common/tenant.hpp"
#include "runtime/runtime.hpp"

namespace {

namespace nb = nanobind;
using kr::Scope;
using namespace nb::literals;

// The package root's credential file, as computed at import: while `secret_file_path`
// still names it, a per-user file can stand in for it.
enum Captured : std::size_t { package_secret_file };

// What _check_credentials returns without a login to give: (is_valid, token, tenant).
nb::tuple no_login() { return nb::make_tuple(false, nb::none(), nb::none()); }
// What _validate_credentials returns when the service issued no token: (is_valid, token).
nb::tuple no_token() { return nb::make_tuple(false, nb::none()); }

// ---- the credential file ---------------------------------------------------------------

nb::object check_credentials(Scope& s) {
    nb::object path = korvane::credential_file_to_read(s.global<"secret_file_path">(), s.captured(package_secret_file));
    if (path.is_none() || !kr::truthy(s.global<"os">().attr("path").attr("exists")(path))) {
        s.print("USERNAME and PASSWORD are not provided please add it manually");
        return no_login();
    }
    nb::object secret_data = korvane::load_json_file(s.global<"open">(), s.global<"json">(), path);
    nb::object get = secret_data.attr("get");
    for (const char* key : {"TESSALY_USERNAME", "TESSALY_PASSWORD", "TESSALY_TOKEN", "TESSALY_TENANT"}) {
        if (get(key).is_none()) {
            s.print("USERNAME and PASSWORD are not available locally please add it manually");
            return no_login();
        }
    }
    nb::object username = get("TESSALY_USERNAME");
    nb::object password = s.global<"_decrypt">()(get("TESSALY_PASSWORD"));
    nb::object token = get("TESSALY_TOKEN");
    nb::object tenant = get("TESSALY_TENANT");

    if (kr::truthy(s.global<"validate_token">()(token, tenant)))
        return nb::make_tuple(true, token, tenant);

    s.print("Token is expired using the username and password to generate a new token");
    auto [is_valid, new_token] =
        kr::unpack<2>(s.global<"_validate_credentials">()(username, password, tenant));
    if (kr::truthy(is_valid)) {
        s.global<"_update_credentials">()(username, password, new_token, tenant);
        return nb::make_tuple(true, new_token, tenant);
    }
    s.print("Invalid username and password, program will exit now");
    return no_login();
}
const kr::Spec check_credentials_spec = kr::def<check_credentials>(
    "_check_credentials",
    "\n    Check if the credentials are present\n"
    "    :return: True if the credentials are present else False\n    ",
    {});

// Rewrites the whole file with this module's four keys; never leaves it emptied or partial.
// A tenant that names no host of the service is refused before anything is written, so the
// file never holds credentials that every later login would fail on.
nb::object update_credentials(Scope& s, nb::handle username, nb::handle password,
                              nb::handle token, nb::handle tenant) {
    korvane::tenant_origin(tenant);
    nb::dict credentials;
    credentials["TESSALY_USERNAME"] = username;
    credentials["TESSALY_PASSWORD"] = s.global<"_encrypt">()(password);
    credentials["TESSALY_TOKEN"] = token;
    credentials["TESSALY_TENANT"] = tenant;
    korvane::write_credential_file(s.global<"open">(), s.global<"print">(), s.global<"json">(),
                                   s.global<"secret_file_path">(), s.captured(package_secret_file), credentials);
    return nb::none();
}
const kr::Spec update_credentials_spec = kr::def<update_credentials>(
    "_update_credentials",
    "\n    Update the credentials in the secret file\n"
    "    :param username: username to be updated\n"
    "    :param password: password to be updated\n"
    "    :param auth_token: token to be updated\n"
    "    :return:\n    ",
    {{"username"}, {"password"}, {"token"}, {"tenant"}});

// str(bytes, "utf-8"), through whatever `str` names at the moment.
nb::object utf8_text(Scope& s, nb::handle data) {
    nb::object str = s.global<"str">();
    if (str.is(nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type))) && PyBytes_CheckExact(data.ptr())) {
        PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()), nullptr);
        if (!text) nb::raise_python_error();
        return nb::steal(text);
    }
    return str(data, "utf-8");
}

// Base64 of the UTF-8 bytes: an encoding that keeps the password out of plain sight,
// not a cipher.
nb::object encrypt(Scope& s, nb::handle plaintext) {
    nb::object data;
    if (PyUnicode_CheckExact(plaintext.ptr())) {
        data = nb::steal(PyUnicode_AsUTF8String(plaintext.ptr()));
        if (!data.is_valid()) nb::raise_python_error();
    } else {
        data = plaintext.attr("encode")("utf-8");
    }
    return utf8_text(s, kr::attribute<"b64encode">(s.global<"base64">())(data));
}
const kr::Spec encrypt_spec = kr::def<encrypt>("_encrypt", kr::no_doc, {{"plaintext"}});

// The stored password; a value that is not Base64 of UTF-8 text comes back as it was.
nb::object decrypt(Scope& s, nb::handle ciphertext) {
    try {
        return utf8_text(s, kr::attribute<"b64decode">(s.global<"base64">())(ciphertext));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return nb::borrow(ciphertext);
    }
}
const kr::Spec decrypt_spec = kr::def<decrypt>("_decrypt", kr::no_doc, {{"ciphertext"}});

// ---- login and token lifecycle ---------------------------------------------------------

// One answer typed without echo. With nobody to ask (input at its end, as under cron or
// nohup; a notebook front end that takes no input, whose kernel raises
// StdinNotImplementedError) the error says what is missing, keeping its class.
nb::object ask(nb::handle getpass, const char* prompt) {
    try {
        return getpass("prompt"_a = prompt);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_EOFError) && !e.matches(PyExc_NotImplementedError)) throw;
        nb::str reason = nb::str(nb::str(e.value()).attr("rstrip")("."));  // the sentence goes on
        if (PyUnicode_GET_LENGTH(reason.ptr()) == 0) reason = nb::str("the input is at its end");
        // Its opening words are matched by _NOBODY_TO_ASK in src/korvane/request_failures.py.
        korvane::raise_reworded(
            e, kr::concat({nb::str("Credentials are needed: none are stored that the service accepts, and there "
                                   "is nobody to ask for them ("),
                           reason,
                           nb::str("). Log in once where the prompts can be answered, in a terminal or a "
                                   "notebook.")}));
    }
}

nb::object authenticate_credentials(Scope& s) {
    auto [is_valid, auth_token, tenant] = kr::unpack<3>(s.global<"_check_credentials">()());
    if (kr::truthy(is_valid)) return nb::make_tuple(auth_token, tenant);

    nb::object getpass = s.global<"getpass">().attr("getpass");
    // The %korvane magic knows the user name and tenant prompts (_USER_PROMPT and
    // _TENANT_PROMPT in src/korvane/magics.py) to name them when the login is refused.
    nb::object username = ask(getpass, "Please enter the username:");
    nb::object password = ask(getpass, "Please enter the password:");
    nb::object typed_tenant = ask(getpass, "Please enter the tenant:");

    auto [accepted, token] =
        kr::unpack<2>(s.global<"_validate_credentials">()(username, password, typed_tenant));
    if (kr::truthy(accepted)) {
        s.global<"_update_credentials">()(username, password, token, typed_tenant);
        return nb::make_tuple(token, typed_tenant);
    }
    // Matched by REFUSED in src/korvane/request_failures.py (the magic's _refused_login too).
    kr::raise(s.global<"PermissionError">()("Invalid username and password, program will exit now"));
}
const kr::Spec authenticate_credentials_spec = kr::def<authenticate_credentials>(
    "authenticate_credentials",
    "\n    Authenticate the credentials\n    \n"
    "    :return: True if the credentials are valid else False\n    ",
    {});

bool is_usable_token(nb::handle token) {
    return PyUnicode_Check(token.ptr()) && PyUnicode_GET_LENGTH(token.ptr()) > 0;
}

nb::object validate_credentials(Scope& s, nb::handle username, nb::handle password, nb::handle tenant) {
    nb::str origin = korvane::tenant_origin(tenant);
    nb::str url = kr::concat({origin, nb::str("/auth/get_token")});  // served by src/korvane/testing/service.py too
    nb::dict headers;
    headers["content-type"] = "application/json";
    nb::dict body;
    body["email"] = username;
    body["password"] = password;
    nb::object timeout = s.global<"REQUEST_TIMEOUT">();
    korvane::check_timeout(timeout);
    try {
        nb::object data = s.global<"json">().attr("dumps")(body);
        nb::object post = s.global<"requests">().attr("post");
        nb::object response = korvane::without_locals_on_failure([&] {
            return post(url, "headers"_a = headers, "data"_a = data, "timeout"_a = timeout, "allow_redirects"_a = false);
        });
        if (response.attr("status_code").not_equal(nb::int_(200))) return no_token();
        nb::object token = response.attr("json")().attr("get")("token");
        // A 200 without a usable token is no login: storing it would only make the next
        // call ask again.
        if (!is_usable_token(token)) return no_token();
        return nb::make_tuple(true, token);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        korvane::raise_if_unreachable(e, "login", origin, timeout);
        s.print("Error occurred while validating the credentials");
        return no_token();
    }
}
const kr::Spec validate_credentials_spec = kr::def<validate_credentials>(
    "_validate_credentials",
    "\n    Validate the credentials\n"
    "    :param username: username to be validated\n"
    "    :param password: password to be validated\n"
    "    :return: True if the credentials are valid else False\n    ",
    {{"username"}, {"password"}, {"tenant"}});

nb::object validate_token(Scope& s, nb::handle token, nb::handle tenant) {
    nb::str origin = korvane::tenant_origin(tenant);
    nb::str url = kr::concat({origin, nb::str("/")});  // served by src/korvane/testing/service.py too
    nb::dict headers;
    headers["Authorization"] = kr::concat({nb::str("Bearer "), kr::text_of(token)});
    nb::object timeout = s.global<"REQUEST_TIMEOUT">();
    korvane::check_timeout(timeout);
    try {
        nb::object get = s.global<"requests">().attr("get");
        nb::object response = korvane::without_locals_on_failure(
            [&] { return get(url, "headers"_a = headers, "timeout"_a = timeout, "allow_redirects"_a = false); });
        return nb::bool_(response.attr("status_code").equal(nb::int_(200)));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        korvane::raise_if_unreachable(e, "token check", origin, timeout);
        s.print("Error occurred while validating the token");
        return nb::bool_(false);
    }
}
const kr::Spec validate_token_spec =
    kr::def<validate_token>("validate_token", kr::no_doc, {{"token"}, {"tenant"}});

// ---- the module body -------------------------------------------------------------------

void body(kr::Module& m) {
    m.import("os");
    m.import("json");
    m.import("requests");
    m.import("warnings");
    m.import("getpass");
    m.import("datetime");
    m.from_import("jose", {"jwt"});
    m.from_import("urllib.request", {"urlopen"});
    m.import("base64");

    m.global("warnings").attr("filterwarnings")("ignore");

    m.set("secret_file_path", korvane::secret_file_path_of(m));
    m.capture(package_secret_file, m.global("secret_file_path"));
    // Seconds to connect and to wait for an answer; read at every request.
    m.set("REQUEST_TIMEOUT", nb::make_tuple(10, 30));

    m.def(check_credentials_spec);
    m.def(update_credentials_spec);
    m.def(encrypt_spec);
    m.def(decrypt_spec);
    m.def(authenticate_credentials_spec);
    m.def(validate_credentials_spec);
    m.def(validate_token_spec);
}

}  // namespace

KORVANE_MODULE(wardlock, "korvane.validation.wardlock",
               "Credential login: the credential file, login and bearer-token checks.", body)
