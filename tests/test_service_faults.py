"""Every service operation of the kit against every fault the local tenant service can
inject, in one place: one table per operation, each row a fault and what the caller must
see (result or exception, printed lines), what is sent, and whether the credential file
changes (only after a login or an app-token check that succeeded).

A redirect is never followed: it is an answer other than 200 like any other. A service
that cannot be reached (connection dropped or refused, no answer in time) ends the call
with one error naming the host and the cause: nothing else is printed, nobody is asked
for credentials, and no app token appears in it.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import json
import re
import signal
import socket
import sys
import threading
from types import SimpleNamespace

import pytest
import requests

from korvane.testing import SERVICE_DOMAIN
from korvane_fixtures import PASSWORD, TENANT, USER


APP = "acme-app-token"
NOT_PROVIDED = "USERNAME and PASSWORD are not provided please add it manually"
EXPIRED = "Token is expired using the username and password to generate a new token"
INVALID = "Invalid username and password, program will exit now"
CREDENTIALS_ERROR = "Error occurred while validating the credentials"
REJECTED = "Provided token is invalid. Please provide a valid token"
APP_PROMPTS = "Please enter the token: Please enter the tenant: "
HOST = re.escape(TENANT + SERVICE_DOMAIN)
ELSEWHERE = "https://mallory" + SERVICE_DOMAIN + "/"
READ_TIMEOUT = 0.3  # seconds; the modules' own read time-outs are much longer

# The faults, by name: keyword arguments of TenantService.fail, or None for the refused
# route (nothing listens; every connection to the service domain is refused).
FAULTS = {
    "201": dict(status=201, body='{"error": "injected 201"}'),
    "204": dict(status=204, body=""),
    "401": dict(status=401, body='{"error": "injected 401"}'),
    "403": dict(status=403, body='{"error": "injected 403"}'),
    "500": dict(status=500, body="internal error, not JSON"),
    "not JSON": dict(kind="not_json"),
    "JSON not an object": dict(kind="json_array"),
    "empty body": dict(kind="empty_body"),
    "307 elsewhere": dict(status=307, body="", headers={"Location": ELSEWHERE}),
    "dropped": dict(kind="drop"),
    "stalled": dict(kind="stall"),
    "refused": None,
}
STATUS = ["201", "204", "307 elsewhere", "401", "403", "500"]
MALFORMED_200 = ["not JSON", "JSON not an object", "empty body"]
UNREACHABLE = ["dropped", "stalled", "refused"]
ONCE = [name for name in FAULTS if name != "refused"]  # faults that can hit one request only

# How a service that cannot be reached is reported: the error's class and its cause.
UNREACHABLE_ERRORS = {
    "dropped": (requests.exceptions.ConnectionError, "Remote end closed connection without response"),
    "stalled": (requests.exceptions.ReadTimeout, f"no answer within {READ_TIMEOUT} seconds \\(the read timeout\\)"),
    "refused": (requests.exceptions.ConnectionError, re.escape("[Errno 111] Connection refused")),
}


@contextlib.contextmanager
def unreachable(fault: str, what: str):
    """Expects the one error of a request that could not reach the service."""
    error, cause = UNREACHABLE_ERRORS[fault]
    with pytest.raises(error, match=f"^The service at {HOST} could not be reached for the {what}: {cause}$") as raised:
        yield raised
    assert raised.value.__cause__ is None and raised.value.__suppress_context__


@pytest.fixture(autouse=True)
def short_read_timeouts(monkeypatch):
    for name in ("korvane.validation.wardlock", "korvane.validation.authentication"):
        monkeypatch.setattr(importlib.import_module(name), "REQUEST_TIMEOUT", (10, READ_TIMEOUT))


@contextlib.contextmanager
def injected(service, operation: str, fault: str, times: int | None = None):
    """The fault for *operation*: the next *times* requests (None: all) answer with it."""
    options = FAULTS[fault]
    if options is None:
        with service.routed(refuse=True):
            yield
        return
    service.fail(operation, times=times, **options)
    try:
        yield
    finally:
        service.clear_faults()


def lines(capsys) -> list[str]:
    return capsys.readouterr().out.splitlines()


def contents(path) -> bytes | None:
    return path.read_bytes() if path.exists() else None


def typing_answers(wardlock, monkeypatch, *answers: str) -> list[str]:
    """Answers the credential login's prompts in order; returns the prompts asked."""
    asked: list[str] = []
    queue = list(answers)

    def getpass(prompt):
        asked.append(prompt)
        if not queue:
            raise EOFError
        return queue.pop(0)

    monkeypatch.setattr(wardlock, "getpass", SimpleNamespace(getpass=getpass))
    return asked


@pytest.fixture
def stdin(monkeypatch):
    """Types lines at the app-token prompts."""
    def type_lines(*typed: str):
        monkeypatch.setattr(sys, "stdin", io.StringIO("".join(t + "\n" for t in typed)))
    return type_lines


# ---- login ------------------------------------------------------------------------------

LOGIN = {  # fault: printed lines of _validate_credentials (which gives (False, None)), or None: unreachable
    **{name: [] for name in STATUS},
    **{name: [CREDENTIALS_ERROR] for name in MALFORMED_200},
    **{name: None for name in UNREACHABLE},
}


@pytest.mark.parametrize("fault", LOGIN)
def test_login(wardlock, routed, logged_in, secret_file, capsys, fault):
    before = secret_file.read_bytes()
    with injected(routed, "login", fault):
        if LOGIN[fault] is None:
            with unreachable(fault, "login"):
                wardlock._validate_credentials(USER, PASSWORD, TENANT)
        else:
            assert wardlock._validate_credentials(USER, PASSWORD, TENANT) == (False, None)
    assert lines(capsys) == (LOGIN[fault] or [])
    assert [r.operation for r in routed.requests] == ([] if fault == "refused" else ["login"])
    assert secret_file.read_bytes() == before


@pytest.mark.parametrize("fault", LOGIN)
def test_login_of_typed_credentials(wardlock, routed, secret_file, monkeypatch, capsys, fault):
    asked = typing_answers(wardlock, monkeypatch, USER, PASSWORD, TENANT)
    with injected(routed, "login", fault):
        failure = pytest.raises(PermissionError, match=f"^{INVALID}$") if LOGIN[fault] is not None \
            else unreachable(fault, "login")
        with failure:
            wardlock.authenticate_credentials()
    assert lines(capsys) == [NOT_PROVIDED, *(LOGIN[fault] or [])]
    assert len(asked) == 3 and not secret_file.exists()


@pytest.mark.parametrize("fault", ONCE)
def test_login_of_stored_credentials_falls_back_to_the_typed_ones(wardlock, routed, logged_in, secret_file, monkeypatch, capsys, fault):
    routed.revoke(logged_in)
    before = secret_file.read_bytes()
    asked = typing_answers(wardlock, monkeypatch, USER, PASSWORD, TENANT)
    with injected(routed, "login", fault, times=1):  # the stored login fails, the typed one succeeds
        if LOGIN[fault] is None:  # unless the service could not be reached: nobody is asked
            with unreachable(fault, "login"):
                wardlock.authenticate_credentials()
            assert (lines(capsys), asked, secret_file.read_bytes()) == ([EXPIRED], [], before)
            return
        token, tenant = wardlock.authenticate_credentials()
    assert lines(capsys) == [EXPIRED, *LOGIN[fault], INVALID]
    assert len(asked) == 3 and tenant == TENANT and routed.token_valid(token, TENANT)
    assert json.loads(secret_file.read_text())["TESSALY_TOKEN"] == token != logged_in


# ---- token check ------------------------------------------------------------------------

TOKEN_CHECK = {  # fault: (result of validate_token, printed lines), or None: unreachable
    **{name: (False, []) for name in STATUS},
    **{name: (True, []) for name in MALFORMED_200},  # only the status counts; the body is not read
    **{name: None for name in UNREACHABLE},
}


@pytest.mark.parametrize("fault", TOKEN_CHECK)
def test_token_check(wardlock, routed, logged_in, secret_file, capsys, fault):
    before = secret_file.read_bytes()
    with injected(routed, "token_check", fault):
        if TOKEN_CHECK[fault] is None:
            with unreachable(fault, "token check"):
                wardlock.validate_token(logged_in, TENANT)
            result = None
        else:
            result = wardlock.validate_token(logged_in, TENANT)
            assert type(result) is bool
    assert (result, lines(capsys)) == (TOKEN_CHECK[fault] or (None, []))
    assert [r.operation for r in routed.requests] == ([] if fault == "refused" else ["token_check"])
    assert secret_file.read_bytes() == before


@pytest.mark.parametrize("fault", ONCE)
def test_token_check_of_the_stored_token(wardlock, routed, logged_in, secret_file, monkeypatch, capsys, fault):
    before = secret_file.read_bytes()
    asked = typing_answers(wardlock, monkeypatch)
    with injected(routed, "token_check", fault, times=1):
        if TOKEN_CHECK[fault] is None:  # no login with the stored password, nobody asked
            with unreachable(fault, "token check"):
                wardlock.authenticate_credentials()
            assert (lines(capsys), asked, secret_file.read_bytes()) == ([], [], before)
            assert [r.operation for r in routed.requests] == ["token_check"]
            return
        token, tenant = wardlock.authenticate_credentials()
    accepted, printed = TOKEN_CHECK[fault]
    assert tenant == TENANT
    if accepted:  # no login: the stored token comes back and the file stays as it was
        assert (token, lines(capsys), secret_file.read_bytes()) == (logged_in, [], before)
    else:  # a login with the stored password succeeded and its token was stored
        assert lines(capsys) == [*printed, EXPIRED]
        assert token != logged_in and json.loads(secret_file.read_text())["TESSALY_TOKEN"] == token


# ---- app-token check ----------------------------------------------------------------------

APP_CHECK = {  # fault: (result of _validate_secret, printed lines), or None: unreachable
    **{name: (False, [REJECTED]) for name in STATUS},
    **{name: (True, []) for name in MALFORMED_200},  # only the status counts; the body is not read
    **{name: None for name in UNREACHABLE},
}


@contextlib.contextmanager
def unreachable_app_check(fault: str, capsys):
    """The app-token check's error: neither it nor anything printed shows the token."""
    with unreachable(fault, "app-token check") as raised:
        yield
    assert APP not in str(raised.value) and capsys.readouterr().out == ""


@pytest.mark.parametrize("fault", APP_CHECK)
def test_app_token_check(auth, routed, logged_in, secret_file, capsys, fault):
    before = secret_file.read_bytes()
    with injected(routed, "app_token", fault):
        if APP_CHECK[fault] is None:
            with unreachable_app_check(fault, capsys):
                auth._validate_secret(APP, TENANT)
        else:
            assert (auth._validate_secret(APP, TENANT), lines(capsys)) == APP_CHECK[fault]
    assert [r.operation for r in routed.requests] == ([] if fault == "refused" else ["app_token"])
    assert secret_file.read_bytes() == before


STORED_PAIR = json.dumps({"TESSALY_SECRET": APP, "TESSALY_TENANT": TENANT, "KEPT_UNTIL_REWRITTEN": 1})


@pytest.mark.parametrize("fault", APP_CHECK)
def test_app_token_check_that_keeps_failing(auth, routed, secret_file, stdin, capsys, fault):
    secret_file.write_text(STORED_PAIR)
    stdin(APP, TENANT)
    with injected(routed, "app_token", fault):
        if APP_CHECK[fault] is None:  # the stored pair's check fails: nobody is asked
            with unreachable_app_check(fault, capsys):
                auth.authenticate_secret()
        elif APP_CHECK[fault][0]:  # the stored pair was accepted: no prompt
            assert auth.authenticate_secret() == (APP, TENANT)
            assert capsys.readouterr().out == ""
        else:  # both the stored and the typed pair were judged, and failed alike
            with pytest.raises(PermissionError, match="^Invalid token, program will exit now$"):
                auth.authenticate_secret()
            first, _, second = capsys.readouterr().out.partition(APP_PROMPTS)
            assert first.splitlines() == second.splitlines() == APP_CHECK[fault][1]
    assert secret_file.read_text() == STORED_PAIR


@pytest.mark.parametrize("fault", ONCE)
def test_app_token_check_of_the_stored_pair_falls_back_to_the_typed_one(auth, routed, secret_file, stdin, capsys, fault):
    secret_file.write_text(STORED_PAIR)
    stdin(APP, TENANT)
    with injected(routed, "app_token", fault, times=1):
        if APP_CHECK[fault] is None:
            with unreachable_app_check(fault, capsys):
                auth.authenticate_secret()
            assert secret_file.read_text() == STORED_PAIR
            return
        assert auth.authenticate_secret() == (APP, TENANT)
    accepted, printed = APP_CHECK[fault]
    out = capsys.readouterr().out
    if accepted:
        assert out == "" and secret_file.read_text() == STORED_PAIR
    else:  # the typed pair was accepted and replaced the whole file
        assert out.endswith(APP_PROMPTS)
        assert out.removesuffix(APP_PROMPTS).splitlines() == printed
        assert json.loads(secret_file.read_text()) == {"TESSALY_SECRET": APP, "TESSALY_TENANT": TENANT}


# ---- completion ---------------------------------------------------------------------------

HTTP_ERROR = requests.exceptions.HTTPError
COMPLETION = {  # fault: (result or exception type, printed lines), or None: unreachable
    **{name: (HTTP_ERROR, [FAULTS[name]["body"]]) for name in STATUS},
    "not JSON": (requests.exceptions.JSONDecodeError, []),
    "JSON not an object": ([1, 2], []),
    "empty body": (requests.exceptions.JSONDecodeError, []),
    **{name: None for name in UNREACHABLE},
}


@pytest.fixture
def endpoints(logged_in, fresh_import, service, monkeypatch):
    module = fresh_import("korvane.tessaly_gpt_sdk.endpoints")
    monkeypatch.setattr(module, "REQUEST_TIMEOUT", (10, READ_TIMEOUT))
    service.clear_requests()
    return module


@pytest.mark.parametrize("fault", COMPLETION)
def test_completion(endpoints, wardlock, routed, logged_in, secret_file, monkeypatch, capsys, fault):
    before = secret_file.read_bytes()
    asked = typing_answers(wardlock, monkeypatch, USER, PASSWORD, TENANT)
    expected, printed = COMPLETION[fault] or (None, [])
    with injected(routed, "completion", fault):
        if expected is None:  # nothing answers at all: the token check is the request that fails
            with unreachable(fault, "engine request" if fault != "refused" else "token check"):
                endpoints.get_completion("q")
        elif isinstance(expected, type):
            with pytest.raises(expected) as raised:
                endpoints.get_completion("q")
            if expected is HTTP_ERROR:  # raised bare, after the answer's text was printed
                assert type(raised.value) is HTTP_ERROR and raised.value.args == () and raised.value.response is None
        else:
            assert endpoints.get_completion("q") == expected
    assert lines(capsys) == printed
    assert asked == []
    assert [r.operation for r in routed.requests] == ([] if fault == "refused" else ["token_check", "completion"])
    assert (endpoints.auth_token, endpoints.tenant) == (logged_in, TENANT)
    assert secret_file.read_bytes() == before


# ---- a time-out setting the HTTP stack refuses ------------------------------------------------

# Past threading.TIMEOUT_MAX (about 9.2e9 seconds) the sockets fail mid-request.
BAD_TIMEOUTS = [0, -1, "10", float("inf"), float("nan"), True, (10, 0), (10,), [10, 30], 10**400,
                (10, 1e10), 9.3e9, 2**63]


@pytest.mark.parametrize("value", BAD_TIMEOUTS, ids=lambda value: repr(value)[:12])
def test_a_time_out_setting_the_http_stack_refuses_is_its_own_error_not_a_verdict_on_credentials(
    endpoints, wardlock, auth, routed, logged_in, secret_file, monkeypatch, capsys, value
):
    asked = typing_answers(wardlock, monkeypatch, USER, PASSWORD, TENANT)
    before = secret_file.read_bytes()
    setting = re.escape(f"REQUEST_TIMEOUT must be seconds above 0 and at most {threading.TIMEOUT_MAX!r}, the longest"
                        f" wait this platform allows (or None for no limit), or a (connect, read) pair of them;"
                        f" it is {value!r}")
    calls = {
        "login": (wardlock, wardlock.authenticate_credentials),
        "credentials check": (wardlock, lambda: wardlock._validate_credentials(USER, PASSWORD, TENANT)),
        "app-token check": (auth, lambda: auth._validate_secret(APP, TENANT)),
        "engine request": (endpoints, lambda: endpoints.get_completion("q")),
    }
    for what, (module, call) in calls.items():
        with monkeypatch.context() as setting_only_here:
            setting_only_here.setattr(module, "REQUEST_TIMEOUT", value)
            with pytest.raises(ValueError, match=f"^{setting}$"):
                call()
        assert lines(capsys) == [], what
    assert asked == [] and routed.requests == [] and secret_file.read_bytes() == before


@pytest.mark.parametrize("timeout, said", [
    ((0.3, 5), "no connection within 0.3 seconds (the connect timeout)"),
    (0.3, "no answer within 0.3 seconds (the read timeout)"),
])
def test_a_host_that_never_completes_the_handshake_names_the_timeout_that_ran_out(wardlock, monkeypatch, timeout, said):
    # It accepts the connection and then says nothing: the TLS handshake stalls on the connect time-out.
    from korvane.testing import Route

    listener = socket.create_server(("127.0.0.1", 0))
    monkeypatch.setattr(wardlock, "REQUEST_TIMEOUT", timeout)
    try:
        with Route(listener.getsockname()[1], None), pytest.raises(requests.exceptions.ReadTimeout) as raised:
            wardlock.validate_token("token", TENANT)
    finally:
        listener.close()
    assert str(raised.value) == f"The service at {TENANT}{SERVICE_DOMAIN} could not be reached for the token check: {said}"


# ---- what a traceback of an interrupted request shows ------------------------------------------


def test_an_interrupted_request_leaves_no_credential_in_any_frame_a_traceback_shows(
    endpoints, wardlock, auth, routed, logged_in, monkeypatch
):
    # %xmode Verbose shows every frame's locals, and %tb shows them again after a Ctrl-C;
    # the notebook saves what they show.
    from IPython.core.ultratb import VerboseTB

    for module in (wardlock, auth, endpoints):
        monkeypatch.setattr(module, "REQUEST_TIMEOUT", (10, 5))
    calls = {  # what is asked, the operation that stalls, and what must not show
        "login": (lambda: wardlock._validate_credentials(USER, PASSWORD, TENANT), "login", PASSWORD),
        "token check": (lambda: wardlock.validate_token(logged_in, TENANT), "token_check", logged_in),
        "app-token check": (lambda: auth._validate_secret(APP, TENANT), "app_token", APP),
        "engine request": (lambda: endpoints.get_completion("q"), "completion", logged_in),
    }
    for what, (call, operation, secret) in calls.items():
        routed.fail(operation, kind="stall", times=1)
        timer = threading.Timer(0.5, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt) as raised:
                call()
        finally:
            timer.cancel()
            routed.clear_faults()
        below_this_test = raised.value.__traceback__
        while below_this_test.tb_frame.f_code.co_filename == __file__:  # this test's frames hold it
            below_this_test = below_this_test.tb_next
        shown = "\n".join(VerboseTB(color_scheme="nocolor").structured_traceback(
            KeyboardInterrupt, raised.value, below_this_test))
        assert "urllib3" in shown, what  # the HTTP stack's frames are still there, only emptied
        assert secret not in shown, what
