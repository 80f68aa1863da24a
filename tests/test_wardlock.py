"""The credential login, against the local tenant service over real HTTPS."""

from __future__ import annotations

import base64
import fcntl
import importlib
import inspect
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import requests
from hypothesis import given
from hypothesis import strategies as st

from korvane.testing import SERVICE_DOMAIN, Route, refused_route
from korvane_fixtures import PASSWORD, TENANT, USER

EXPIRED = "Token is expired using the username and password to generate a new token"
INVALID = "Invalid username and password, program will exit now"
NOT_PROVIDED = "USERNAME and PASSWORD are not provided please add it manually"
NOT_AVAILABLE = "USERNAME and PASSWORD are not available locally please add it manually"
CREDENTIALS_ERROR = "Error occurred while validating the credentials"
PROMPTS = ["Please enter the username:", "Please enter the password:", "Please enter the tenant:"]


class TypedAnswers:
    """Stands in for the getpass module: answers the prompts in order and records them."""

    def __init__(self, *answers: str):
        self.answers = list(answers)
        self.prompts: list[str] = []

    def getpass(self, prompt: str) -> str:
        self.prompts.append(prompt)
        if not self.answers:
            raise EOFError("no more answers")
        return self.answers.pop(0)


@pytest.fixture
def typed(wardlock, monkeypatch):
    def answer(*answers: str) -> TypedAnswers:
        stand_in = TypedAnswers(*answers)
        monkeypatch.setattr(wardlock, "getpass", stand_in)
        return stand_in

    return answer


def printed(capsys) -> list[str]:
    return capsys.readouterr().out.splitlines()


def stored(secret_file: Path) -> dict:
    return json.loads(secret_file.read_text())


# ---- import and the module's face -----------------------------------------------------


def test_import_binds_modules_and_functions_in_order():
    code = "import korvane.validation.wardlock as w, jose.jwt, urllib.request as u; " \
           "print(list(vars(w))); print(w.jwt is jose.jwt and w.urlopen is u.urlopen)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60).stdout
    names, same = out.splitlines()
    bound = ["os", "json", "requests", "warnings", "getpass", "datetime", "jwt", "urlopen", "base64",
             "secret_file_path", "REQUEST_TIMEOUT", "_check_credentials", "_update_credentials", "_encrypt", "_decrypt",
             "authenticate_credentials", "_validate_credentials", "validate_token"]
    assert [n for n in eval(names) if not n.startswith("__")] == bound and same == "True"


def test_secret_file_lies_in_the_package_root():
    import korvane
    import korvane.validation.wardlock as wardlock

    root = os.path.dirname(os.path.realpath(korvane.__file__))
    assert wardlock.secret_file_path == os.path.join(root, "secret.json")


def test_import_silences_warnings_for_the_whole_process():
    code = textwrap.dedent("""
        import warnings
        import korvane.validation.wardlock
        print(warnings.filters[0])
        warnings.warn("still shown", DeprecationWarning)
        warnings.warn("still shown", UserWarning)""")
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "('ignore', None, <class 'Warning'>, None, 0)\n", "")


def test_symlinked_module_file_is_resolved(tmp_path):
    import korvane.validation.wardlock as wardlock

    real = tmp_path / "real" / "korvane" / "validation"
    linked = tmp_path / "linked" / "korvane" / "validation"
    for d in (real, linked):
        d.mkdir(parents=True)
        (d.parent / "__init__.py").write_text("")
        (d / "__init__.py").write_text("")
    so = Path(wardlock.__file__)
    (real / so.name).write_bytes(so.read_bytes())
    (linked / so.name).symlink_to(real / so.name)
    code = "import korvane.validation.wardlock as w; print(w.secret_file_path)"
    out = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": str(tmp_path / "linked")},
                         capture_output=True, text=True, check=True, timeout=60).stdout.strip()
    assert out == str(tmp_path / "real" / "korvane" / "secret.json")


@pytest.mark.parametrize("name, signature, doc", [
    ("_encrypt", "(plaintext)", None),
    ("_decrypt", "(ciphertext)", None),
    ("_update_credentials", "(username, password, token, tenant)",
     "\n    Update the credentials in the secret file\n    :param username: username to be updated\n"
     "    :param password: password to be updated\n    :param auth_token: token to be updated\n    :return:\n    "),
    ("authenticate_credentials", "()",
     "\n    Authenticate the credentials\n    \n    :return: True if the credentials are valid else False\n    "),
    ("validate_token", "(token, tenant)", None),
    ("_check_credentials", "()",
     "\n    Check if the credentials are present\n    :return: True if the credentials are present else False\n    "),
    ("_validate_credentials", "(username, password, tenant)",
     "\n    Validate the credentials\n    :param username: username to be validated\n"
     "    :param password: password to be validated\n    :return: True if the credentials are valid else False\n    "),
])
def test_function_faces(wardlock, name, signature, doc):
    fn = getattr(wardlock, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "korvane.validation.wardlock")
    assert fn.__defaults__ is None and fn.__annotations__ == {}


@pytest.mark.parametrize("call, message", [
    (lambda w: w.validate_token("t"), "validate_token() missing 1 required positional argument: 'tenant'"),
    (lambda w: w._update_credentials("u"),
     "_update_credentials() missing 3 required positional arguments: 'password', 'token', and 'tenant'"),
    (lambda w: w._validate_credentials(),
     "_validate_credentials() missing 3 required positional arguments: 'username', 'password', and 'tenant'"),
    (lambda w: w.validate_token("t", "acme", 3), "validate_token() takes 2 positional arguments but 3 were given"),
    (lambda w: w._encrypt("a", "b"), "_encrypt() takes 1 positional argument but 2 were given"),
    (lambda w: w.authenticate_credentials(1), "authenticate_credentials() takes 0 positional arguments but 1 was given"),
    (lambda w: w.validate_token("t", token="u"), "validate_token() got multiple values for argument 'token'"),
    (lambda w: w.validate_token("t", "acme", scheme="x"), "validate_token() got an unexpected keyword argument 'scheme'"),
])
def test_argument_binding_errors_read_like_the_interpreters(wardlock, call, message):
    with pytest.raises(TypeError) as raised:
        call(wardlock)
    assert str(raised.value) == message


def test_keyword_arguments_bind_by_name(wardlock, routed, logged_in):
    assert wardlock.validate_token(tenant=TENANT, token=logged_in) is True


def test_rebinding_a_module_attribute_takes_effect_at_the_next_call(wardlock, monkeypatch, secret_file):
    secret_file.write_text(json.dumps({"TESSALY_USERNAME": "u", "TESSALY_PASSWORD": "p",
                                       "TESSALY_TOKEN": "t", "TESSALY_TENANT": "acme"}))
    seen = []
    monkeypatch.setattr(wardlock, "validate_token", lambda token, tenant: seen.append((token, tenant)) or True)
    monkeypatch.setattr(wardlock, "_decrypt", lambda c: "decoded:" + c)
    assert wardlock.authenticate_credentials() == ("t", "acme")
    assert seen == [("t", "acme")]


# ---- the password encoding --------------------------------------------------------------


@given(st.text(alphabet=st.characters(blacklist_categories=["Cs"])))
def test_decrypt_restores_what_encrypt_encoded(text):
    import korvane.validation.wardlock as wardlock

    encoded = wardlock._encrypt(text)
    assert encoded == base64.b64encode(text.encode()).decode() and encoded.isascii()
    assert wardlock._decrypt(encoded) == text


def test_encoding_edge_cases(wardlock):
    assert wardlock._encrypt("") == "" and wardlock._decrypt("") == ""
    not_base64 = "abcde"
    assert wardlock._decrypt(not_base64) is not_base64
    assert wardlock._decrypt(None) is None
    assert wardlock._decrypt(base64.b64encode(b"\xff\xfe").decode()) == "//4="  # not UTF-8: passed through
    assert wardlock._decrypt("aGVsbG8=") == "hello"  # plain text that happens to be Base64 is decoded
    with pytest.raises(AttributeError):
        wardlock._encrypt(None)
    with pytest.raises(UnicodeEncodeError):
        wardlock._encrypt("\ud800")


# ---- writing the credential file --------------------------------------------------------


def test_update_writes_exactly_four_keys_on_one_line(wardlock, secret_file):
    secret_file.write_text('{"TESSALY_SECRET": "app", "TESSALY_TENANT": "old", "extra": 1}')
    assert wardlock._update_credentials("bob", "pässword", None, "acme") is None
    text = secret_file.read_text()
    assert text == ('{"TESSALY_USERNAME": "bob", "TESSALY_PASSWORD": "cMOkc3N3b3Jk", '
                    '"TESSALY_TOKEN": null, "TESSALY_TENANT": "acme"}')
    assert stat.S_IMODE(secret_file.stat().st_mode) == 0o600


def test_update_never_leaves_a_torn_file(wardlock, secret_file):
    secret_file.write_text("previous content")
    with pytest.raises(TypeError):
        wardlock._update_credentials("bob", "pw", {"not": object()}, "acme")
    assert secret_file.read_text() == "previous content"
    assert sorted(p.name for p in secret_file.parent.iterdir()) == ["secret.json"]


def test_update_into_a_missing_directory_raises_and_writes_nothing(wardlock, tmp_path, monkeypatch):
    monkeypatch.setattr(wardlock, "secret_file_path", str(tmp_path / "absent" / "secret.json"))
    with pytest.raises(FileNotFoundError):
        wardlock._update_credentials("bob", "pw", "t", "acme")
    assert list(tmp_path.iterdir()) == []


def test_update_removes_only_temporary_files_that_no_writer_holds(wardlock, secret_file):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait(timeout=60)
    # A pid in the name tells nothing across pid namespaces: the writer's lock decides.
    orphan = secret_file.parent / f".secret.json.{os.getppid()}.17.tmp"
    held = secret_file.parent / f".secret.json.{dead.pid}.18.tmp"
    orphan.write_text("{")
    held.write_text("{")
    with open(held) as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)  # as a writer holds its file until the rename
        wardlock._update_credentials("bob", "pw", "t", "acme")
        assert sorted(p.name for p in secret_file.parent.iterdir()) == [held.name, "secret.json"]


@pytest.mark.parametrize("target_exists", [True, False], ids=["link to a file", "link to nothing yet"])
def test_a_symlinked_credential_file_is_written_through_the_link(wardlock, auth, secret_file, tmp_path, target_exists):
    real = tmp_path / "elsewhere" / "secret.json"
    real.parent.mkdir()
    if target_exists:
        real.write_text("{}")
    secret_file.symlink_to(Path("elsewhere", "secret.json"))
    wardlock._update_credentials(USER, PASSWORD, "t", TENANT)
    assert secret_file.is_symlink() and stored(real)["TESSALY_TOKEN"] == "t"
    auth.update_secret("app", TENANT)
    assert secret_file.is_symlink() and stored(real) == {"TESSALY_SECRET": "app", "TESSALY_TENANT": TENANT}
    assert os.listdir(real.parent) == ["secret.json"] and stat.S_IMODE(real.stat().st_mode) == 0o600


# A copy of the package whose root a child process cannot write to, as on a shared,
# root-owned install; the child logs in (the token check stood in for: the question is
# where the file lies) and stores an app token.
PER_USER_SCRIPT = """
import json, sys
import korvane.validation.wardlock as w, korvane.validation.authentication as a
w.validate_token = lambda token, tenant: True
steps = [w._check_credentials(), w._update_credentials("alice", "pw", "t2", "acme"), w._check_credentials(),
         a._get_secret(), a.update_secret("app", "acme"), a._get_secret()]
print(json.dumps(steps))
"""
PACKAGE_FILE = json.dumps({"TESSALY_USERNAME": "bob", "TESSALY_PASSWORD": "cHc=", "TESSALY_TOKEN": "t1",
                           "TESSALY_TENANT": "acme"})


def without_file_permission_override() -> list[str]:
    """The start of a child's command line that file permissions bind (root is not bound by them)."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("running as root, setpriv is needed for a child that file permissions bind")
    return ["setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner"]


def installed_copy(tmp_path: Path) -> Path:
    """A copy of the validation modules installed under tmp_path/site; its package root."""
    package = tmp_path / "site" / "korvane"
    (package / "validation").mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "validation" / "__init__.py").write_text("")
    for module in ("wardlock", "authentication"):
        built = Path(importlib.import_module(f"korvane.validation.{module}").__file__)
        shutil.copy(built, package / "validation" / built.name)
    return package


@pytest.mark.parametrize("install", ["read-only package root", "another user's file in a shared root",
                                     "another user's readable file in a shared root"])
def test_credentials_are_kept_per_user_where_the_package_root_cannot_hold_them(tmp_path, install):
    package = installed_copy(tmp_path)
    package_file = package / "secret.json"
    package_file.write_text(PACKAGE_FILE)
    package_file.chmod(0o600)
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_CONFIG_HOME", "PYTHONPATH")}
    env["PYTHONPATH"] = str(tmp_path / "site")
    if install == "read-only package root":
        package.chmod(0o555)
        env["XDG_CONFIG_HOME"] = str(tmp_path / "config")
        user_file = tmp_path / "config" / "korvane" / "secret.json"
        first_check = [True, "t1", "acme"]  # the package root's file is read while it is the only one
    else:
        if os.geteuid() != 0:
            pytest.skip("making another user's file needs root")
        os.chown(package_file, 4321, 4321)
        if "readable" in install:  # readable or not, another user's token and password are not ours
            package_file.chmod(0o644)
        package.chmod(0o777)
        (tmp_path / "home").mkdir()
        env["HOME"] = str(tmp_path / "home")
        user_file = tmp_path / "home" / ".config" / "korvane" / "secret.json"
        first_check = [False, None, None]  # not ours: as if there were none
    try:
        done = subprocess.run([*without_file_permission_override(), sys.executable, "-c", PER_USER_SCRIPT],
                              env=env, capture_output=True, text=True, timeout=60)
    finally:
        package.chmod(0o755)
    assert done.returncode == 0, done.stderr
    steps = json.loads(done.stdout.splitlines()[-1])
    assert steps == [first_check, None, [True, "t2", "acme"], [None, None], None, ["app", "acme"]]
    assert package_file.read_text() == PACKAGE_FILE  # never replaced
    assert json.loads(user_file.read_text()) == {"TESSALY_SECRET": "app", "TESSALY_TENANT": "acme"}
    modes = [stat.S_IMODE(p.stat().st_mode) for p in (user_file, user_file.parent, user_file.parent.parent)]
    assert modes == [0o600, 0o700, 0o700]


# A login the service accepts where no file can keep it: HOME names no directory (as for
# Debian's nobody) and the package root cannot be written. The session goes on with it.
NOWHERE_TO_KEEP_SCRIPT = """
import json
import korvane.validation.wardlock as w, korvane.validation.authentication as a
w.validate_token = lambda token, tenant: False
w._validate_credentials = lambda username, password, tenant: (True, "t2")
a._validate_secret = lambda secret, tenant: True  # the pair typed is "app", "acme"
print(json.dumps([w.authenticate_credentials(), w.authenticate_credentials(), a.authenticate_secret()]))
"""


def test_an_accepted_login_that_no_file_can_keep_holds_for_the_session_with_a_warning(tmp_path):
    package = installed_copy(tmp_path)
    package_file = package / "secret.json"
    package_file.write_text(PACKAGE_FILE)
    package.chmod(0o555)
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_CONFIG_HOME", "PYTHONPATH", "HOME")}
    env.update(PYTHONPATH=str(tmp_path / "site"), HOME="/nonexistent")
    try:
        done = subprocess.run([*without_file_permission_override(), sys.executable, "-c", NOWHERE_TO_KEEP_SCRIPT],
                              env=env, input="app\nacme\n", capture_output=True, text=True, timeout=60)
    finally:
        package.chmod(0o755)
    assert done.returncode == 0, done.stderr
    *lines, results = done.stdout.splitlines()
    assert json.loads(results) == [["t2", "acme"], ["t2", "acme"], ["app", "acme"]]
    warning = (f"The login is accepted but could not be kept for later sessions: {package_file} is not yours to"
               " write, nor could /nonexistent/.config/korvane/secret.json ({}). It holds for this session; set"
               " XDG_CONFIG_HOME to a directory you can write to keep it there.")
    # (input() leaves its prompts on the warning's line)
    kept = [line[line.index("The login is accepted"):] for line in lines if "The login is accepted" in line]
    assert len(kept) == 3 and all(re.fullmatch(re.escape(warning).replace(r"\{\}", ".*/nonexistent.*"), line)
                                  for line in kept), lines
    assert package_file.read_text() == PACKAGE_FILE


# Something at the credential file's place that is not a regular file: refused at once.
NOT_A_REGULAR_FILE = {
    "a FIFO, which would block the reader until someone writes": lambda path: os.mkfifo(path),
    "a character device": lambda path: path.symlink_to("/dev/null"),
}
READ_NOT_REGULAR_SCRIPT = """
import sys
import korvane.validation.wardlock as w, korvane.validation.authentication as a
w.secret_file_path = a.secret_file_path = sys.argv[1]
w.getpass = None  # nobody is asked
for read in (w.authenticate_credentials, a.authenticate_secret, a._get_secret):
    try:
        read()
    except OSError as error:
        print(type(error).__name__, error)
"""


@pytest.mark.parametrize("make", NOT_A_REGULAR_FILE.values(), ids=NOT_A_REGULAR_FILE)
def test_a_credential_file_that_is_not_a_regular_file_is_refused_at_once(tmp_path, make):
    path = tmp_path / "secret.json"
    make(path)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    # A reader that waits on the FIFO would never end: the time-out is only its bound.
    done = subprocess.run([sys.executable, "-c", READ_NOT_REGULAR_SCRIPT, str(path)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    refused = f"OSError [Errno 22] Not a regular file, so not read as the credential file: '{path}'"
    assert done.stdout.splitlines() == [refused] * 3


# ---- the login chart --------------------------------------------------------------------


def test_complete_file_with_accepted_token_returns_it_untouched(wardlock, logged_in, secret_file, typed, service, capsys):
    before = secret_file.read_bytes()
    answers = typed()
    service.clear_requests()
    assert wardlock.authenticate_credentials() == (logged_in, TENANT)
    assert printed(capsys) == [] and answers.prompts == []
    assert secret_file.read_bytes() == before
    (check,) = service.requests
    assert (check.method, check.path, check.headers["Authorization"]) == ("GET", "/", f"Bearer {logged_in}")


def test_refused_token_logs_in_again_with_the_stored_password(wardlock, logged_in, secret_file, typed, service, capsys):
    service.revoke(logged_in)
    answers = typed()
    token, tenant = wardlock.authenticate_credentials()
    assert tenant == TENANT and token != logged_in and service.token_valid(token, TENANT)
    assert printed(capsys) == [EXPIRED] and answers.prompts == []
    assert stored(secret_file) == {"TESSALY_USERNAME": USER, "TESSALY_PASSWORD": base64.b64encode(PASSWORD.encode()).decode(),
                                   "TESSALY_TOKEN": token, "TESSALY_TENANT": TENANT}
    login = service.requests[-1]
    assert (login.path, login.headers["content-type"]) == ("/auth/get_token", "application/json")
    assert login.body == b'{"email": "alice", "password": "wonderland"}'


def test_refused_token_and_password_fall_back_to_the_prompts(wardlock, logged_in, secret_file, typed, service, capsys):
    service.revoke(logged_in)
    service.add_user(USER, "changed", tenant=TENANT)
    answers = typed(USER, "changed", TENANT)
    token, tenant = wardlock.authenticate_credentials()
    assert printed(capsys) == [EXPIRED, INVALID]
    assert answers.prompts == PROMPTS and tenant == TENANT
    assert stored(secret_file)["TESSALY_PASSWORD"] == base64.b64encode(b"changed").decode()
    assert stored(secret_file)["TESSALY_TOKEN"] == token


@pytest.mark.parametrize("content, message", [
    (None, NOT_PROVIDED),
    ('{"TESSALY_SECRET": "app", "TESSALY_TENANT": "acme"}', NOT_AVAILABLE),
    ('{"TESSALY_USERNAME": "alice", "TESSALY_PASSWORD": "d29uZGVybGFuZA==", "TESSALY_TOKEN": null, '
     '"TESSALY_TENANT": "acme"}', NOT_AVAILABLE),
])
def test_missing_credentials_ask_the_user(wardlock, secret_file, typed, routed, capsys, content, message):
    if content is not None:
        secret_file.write_text(content)
    answers = typed(USER, PASSWORD, TENANT)
    token, tenant = wardlock.authenticate_credentials()
    assert printed(capsys) == [message] and answers.prompts == PROMPTS
    assert tenant == TENANT and routed.token_valid(token, TENANT)
    assert list(stored(secret_file)) == ["TESSALY_USERNAME", "TESSALY_PASSWORD", "TESSALY_TOKEN", "TESSALY_TENANT"]


def test_refused_typed_credentials_raise_and_leave_the_file(wardlock, secret_file, typed, routed, capsys):
    secret_file.write_text('{"TESSALY_SECRET": "app", "TESSALY_TENANT": "acme"}')
    typed(USER, "wrong", TENANT)
    with pytest.raises(PermissionError, match="^Invalid username and password, program will exit now$"):
        wardlock.authenticate_credentials()
    assert secret_file.read_text() == '{"TESSALY_SECRET": "app", "TESSALY_TENANT": "acme"}'


@pytest.mark.parametrize("route, error, cause", [
    ("refused", requests.exceptions.ConnectionError, re.escape("[Errno 111] Connection refused")),
    ("untrusted certificate", requests.exceptions.SSLError,
     re.escape("[SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed")),
], ids=["refused", "untrusted certificate"])
def test_unreachable_service_is_one_error_and_asks_nobody(wardlock, secret_file, typed, service, capsys, route, error, cause):
    wardlock._update_credentials(USER, PASSWORD, service.issue_token(TENANT, USER), TENANT)
    before = secret_file.read_bytes()
    answers = typed(USER, PASSWORD, TENANT)
    # Nothing listens, or the service answers with a certificate nobody here trusts.
    unreachable = refused_route() if route == "refused" else Route(service.port, None)
    host = re.escape(TENANT + SERVICE_DOMAIN)
    with unreachable, pytest.raises(error, match=f"^The service at {host} could not be reached for the token check: {cause}"):
        wardlock.authenticate_credentials()
    assert printed(capsys) == [] and answers.prompts == [] and secret_file.read_bytes() == before


@pytest.mark.parametrize("content, error", [
    ("", json.JSONDecodeError), ("{not json", json.JSONDecodeError), ("[1, 2]", AttributeError),
])
def test_unreadable_file_raises_before_anything_is_asked(wardlock, secret_file, typed, routed, capsys, content, error):
    secret_file.write_text(content)
    answers = typed(USER, PASSWORD, TENANT)
    with pytest.raises(error):
        wardlock.authenticate_credentials()
    assert printed(capsys) == [] and answers.prompts == [] and routed.requests == []
    assert secret_file.read_text() == content


def test_empty_values_count_as_present(wardlock, secret_file, typed, routed, capsys):
    token = routed.issue_token(TENANT, USER)
    secret_file.write_text(json.dumps({"TESSALY_USERNAME": "", "TESSALY_PASSWORD": "",
                                       "TESSALY_TOKEN": token, "TESSALY_TENANT": TENANT}))
    assert wardlock.authenticate_credentials() == (token, TENANT)
    assert printed(capsys) == []


def test_plain_text_password_is_stored_encoded_after_a_relogin(wardlock, secret_file, typed, routed, capsys):
    secret_file.write_text(json.dumps({"TESSALY_USERNAME": USER, "TESSALY_PASSWORD": PASSWORD,
                                       "TESSALY_TOKEN": "stale", "TESSALY_TENANT": TENANT}))
    typed()
    token, _ = wardlock.authenticate_credentials()
    assert stored(secret_file)["TESSALY_PASSWORD"] == base64.b64encode(PASSWORD.encode()).decode()
    assert stored(secret_file)["TESSALY_TOKEN"] == token


def test_interrupt_at_a_prompt_passes_through(wardlock, secret_file, monkeypatch, routed):
    class Interrupting:
        def getpass(self, prompt):
            raise KeyboardInterrupt

    monkeypatch.setattr(wardlock, "getpass", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        wardlock.authenticate_credentials()
    assert not secret_file.exists()


NEEDED = "^Credentials are needed: none are stored that the service accepts, and there is nobody to ask for them "


def test_a_front_end_without_input_gets_told_credentials_are_needed(wardlock, secret_file, monkeypatch, capsys):
    from IPython.core.error import StdinNotImplementedError

    class KernelWithoutInput:  # what a kernel's getpass does when its front end takes no input
        def __init__(self):
            self.prompts: list[str] = []

        def getpass(self, prompt):
            self.prompts.append(prompt)
            raise StdinNotImplementedError("getpass was called, but this frontend does not support input requests.")

    kernel = KernelWithoutInput()
    monkeypatch.setattr(wardlock, "getpass", kernel)
    with pytest.raises(StdinNotImplementedError, match=NEEDED + r"\(getpass was called") as raised:
        wardlock.authenticate_credentials()
    assert raised.value.__suppress_context__ and kernel.prompts == PROMPTS[:1]
    assert printed(capsys) == [NOT_PROVIDED] and not secret_file.exists()


def test_with_input_at_its_end_and_no_terminal_the_login_says_credentials_are_needed(tmp_path):
    code = "import sys, korvane.validation.wardlock as w; w.secret_file_path = sys.argv[1]; w.authenticate_credentials()"
    # A new session has no controlling terminal, as under cron or nohup: getpass falls back to stdin.
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "secret.json")], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, start_new_session=True, timeout=60)
    assert done.returncode == 1 and done.stderr.count("Traceback") == 1
    assert re.match(NEEDED.replace("^", "^EOFError: ") + r"\(the input is at its end\)", done.stderr.splitlines()[-1])
    assert list(tmp_path.iterdir()) == []


# ---- single requests --------------------------------------------------------------------


@pytest.mark.parametrize("fault, printed_lines", [
    (dict(status=401), []), (dict(status=201), []), (dict(status=500), []),
    (dict(kind="not_json"), [CREDENTIALS_ERROR]), (dict(kind="json_array"), [CREDENTIALS_ERROR]),
    # A 200 without a usable token is a failed login, not a success with no token.
    (dict(kind="no_token"), []), (dict(kind="null_token"), []),
    (dict(kind="token_not_str"), []), (dict(kind="empty_token"), []),
])
def test_failed_logins(wardlock, routed, capsys, fault, printed_lines):
    routed.fail("login", **fault)
    assert wardlock._validate_credentials(USER, PASSWORD, TENANT) == (False, None)
    assert printed(capsys) == printed_lines


def test_login_without_a_usable_token_writes_nothing(wardlock, secret_file, typed, routed, capsys):
    routed.fail("login", kind="no_token")
    typed(USER, PASSWORD, TENANT)
    with pytest.raises(PermissionError):
        wardlock.authenticate_credentials()
    assert not secret_file.exists()


def test_successful_login(wardlock, routed):
    ok, token = wardlock._validate_credentials(USER, PASSWORD, TENANT)
    assert ok is True and routed.token_valid(token, TENANT)
    assert routed.requests[-1].host.startswith(TENANT + ".")


@pytest.mark.parametrize("fault, expected, lines", [
    (None, True, []), (dict(status=401), False, []), (dict(status=204), False, []),
])
def test_token_check(wardlock, routed, logged_in, capsys, fault, expected, lines):
    if fault:
        routed.fail("token_check", **fault)
    assert wardlock.validate_token(logged_in, TENANT) is expected
    assert printed(capsys) == lines


def test_token_is_sent_as_text(wardlock, routed):
    assert wardlock.validate_token(None, TENANT) is False
    assert routed.requests[-1].headers["Authorization"] == "Bearer None"


@pytest.mark.parametrize("tenant", ["evil.example/x", "acme:8443", "alice@evil", "a..b", ".acme", "acme.", "",
                                    "ac me", "acme?x=1", "ácme", "\ud800"])
def test_tenants_that_would_leave_the_service_are_refused(wardlock, secret_file, typed, routed, tenant):
    with pytest.raises(ValueError, match="tenant"):
        wardlock.validate_token("t", tenant)
    with pytest.raises(ValueError, match="tenant"):
        wardlock._validate_credentials(USER, PASSWORD, tenant)
    typed(USER, PASSWORD, tenant)
    with pytest.raises(ValueError, match="tenant"):
        wardlock.authenticate_credentials()
    assert routed.requests == [] and not secret_file.exists()


def test_multi_label_tenant_stays_under_the_service_domain(wardlock, routed):
    routed.add_hostnames("eu.acme" + SERVICE_DOMAIN)
    wardlock.validate_token("t", "eu.acme")
    assert routed.requests[-1].host.startswith("eu.acme.")


def test_interrupt_during_a_request_passes_through(wardlock, monkeypatch):
    class Interrupting:
        @staticmethod
        def get(url, **options):
            raise KeyboardInterrupt

    monkeypatch.setattr(wardlock, "requests", Interrupting)
    with pytest.raises(KeyboardInterrupt):
        wardlock.validate_token("t", TENANT)


def test_signature_as_a_user_sees_it():
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import inspect, korvane.validation.wardlock as w
            print(inspect.signature(w._update_credentials))""")],
        capture_output=True, text=True, check=True, timeout=60).stdout
    assert out == "(username, password, token, tenant)\n"
