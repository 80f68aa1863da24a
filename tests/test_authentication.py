"""App-token authentication against the local tenant service over HTTPS."""

from __future__ import annotations

import builtins
import importlib
import io
import json
import os
import re
import stat
import sys
import warnings
from urllib.parse import quote

import pytest
import requests

APP, TENANT = "acme-app-token", "acme"
PAIR = json.dumps({"TESSALY_SECRET": APP, "TESSALY_TENANT": TENANT})
PROMPTS = "Please enter the token: Please enter the tenant: "
MISSING = "TESSALY_SECRET is not provided please add it manually\n"
REJECTED = "Provided token is invalid. Please provide a valid token\n"
EXCEPTION_LINE = re.compile(r"Exception Occurred:  \S.*\n")


@pytest.fixture
def answer(monkeypatch):
    """Types the given lines at the prompts."""
    def type_lines(*lines: str) -> io.StringIO:
        stdin = io.StringIO("".join(line + "\n" for line in lines))
        monkeypatch.setattr(sys, "stdin", stdin)
        return stdin
    return type_lines


def app_checks(service) -> list:
    return [r for r in service.requests if r.operation == "app_token"]


def content(path) -> bytes | None:
    return path.read_bytes() if path.exists() else None


@pytest.mark.parametrize(
    "stored, before_prompts",
    [
        (None, MISSING),
        ({"TESSALY_TENANT": TENANT}, ""),
        ({"TESSALY_SECRET": None, "TESSALY_TENANT": TENANT}, ""),
        ({"TESSALY_SECRET": APP}, ""),
        ({"TESSALY_SECRET": APP, "TESSALY_TENANT": None}, ""),
        ({"TESSALY_SECRET": "revoked", "TESSALY_TENANT": TENANT, "OTHER": 1}, REJECTED),
        ({"TESSALY_SECRET": "", "TESSALY_TENANT": TENANT}, REJECTED),
    ],
    ids=["absent", "no secret", "null secret", "no tenant", "null tenant", "rejected", "empty secret"],
)
def test_without_an_accepted_pair_the_entered_pair_is_kept(auth, routed, answer, secret_file, capsys, stored, before_prompts):
    if stored is not None:
        secret_file.write_text(json.dumps(stored))
    answer(APP, TENANT)
    assert auth.authenticate_secret() == (APP, TENANT)
    assert capsys.readouterr().out == before_prompts + PROMPTS
    assert secret_file.read_text() == PAIR
    assert stat.S_IMODE(secret_file.stat().st_mode) == 0o600
    assert len(app_checks(routed)) == (2 if before_prompts == REJECTED else 1)


def test_an_accepted_stored_pair_is_returned_silently(auth, routed, answer, secret_file, capsys):
    secret_file.write_text(PAIR)
    stdin = answer("unread")
    assert auth.authenticate_secret() == (APP, TENANT)
    assert capsys.readouterr().out == "" and stdin.read() == "unread\n"
    assert len(app_checks(routed)) == 1


def test_a_file_written_by_the_credential_login_is_replaced(auth, logged_in, answer, secret_file, capsys):
    assert "TESSALY_TOKEN" in json.loads(secret_file.read_text())
    answer(APP, TENANT)
    assert auth.authenticate_secret() == (APP, TENANT)
    assert capsys.readouterr().out == PROMPTS
    assert secret_file.read_text() == PAIR


@pytest.mark.parametrize("stored", [None, {"TESSALY_SECRET": "revoked", "TESSALY_TENANT": TENANT}])
@pytest.mark.parametrize("entered_fails", [False, True], ids=["rejected", "request failed"])
def test_a_rejected_entered_pair_raises_and_leaves_the_file(auth, routed, answer, secret_file, capsys, stored, entered_fails):
    if stored is not None:
        secret_file.write_text(json.dumps(stored))
    before = content(secret_file)
    if entered_fails:  # the stored pair is still judged by the service, the entered one never is
        if stored is not None:
            routed.fail("app_token", status=401)
        routed.fail("app_token", kind="drop")
    stdin = answer(APP if entered_fails else "wrong", TENANT, "second try")
    error, message = (requests.exceptions.ConnectionError, "could not be reached") if entered_fails else \
        (PermissionError, r"^Invalid token, program will exit now$")
    with pytest.raises(error, match=message):
        auth.authenticate_secret()
    out = capsys.readouterr().out
    assert out == (MISSING if stored is None else REJECTED) + PROMPTS + ("" if entered_fails else REJECTED)
    assert content(secret_file) == before and stdin.read() == "second try\n"


@pytest.mark.parametrize("status, valid", [(200, True), (201, False), (204, False), (401, False), (500, False)])
def test_only_status_200_counts(auth, routed, capsys, status, valid):
    routed.fail("app_token", status=status)
    assert auth._validate_secret("unregistered", TENANT) is valid
    assert capsys.readouterr().out == ("" if valid else REJECTED)


@pytest.mark.parametrize("token", [APP, "tök/.."])
def test_a_failed_request_is_printed_with_two_blanks_and_the_token_masked(auth, monkeypatch, capsys, token):
    class QuotingTheUrl:  # an error of the HTTP stack that quotes the URL, as its own often do
        @staticmethod
        def request(method, url, **options):
            raise RuntimeError(f"cannot send {method} {url}")

    monkeypatch.setattr(auth, "requests", QuotingTheUrl)
    assert auth._validate_secret(token, TENANT) is False
    line, rejected = capsys.readouterr().out.splitlines()
    assert EXCEPTION_LINE.fullmatch(line + "\n") and rejected + "\n" == REJECTED
    assert line.endswith("/validate-app-token/***?api_key=***") and token not in line and quote(token) not in line


@pytest.mark.parametrize("token", [APP, "A.b_c~9-z", "a/b", "x?api_key=y", "p&q=r", "h#frag", "with blank", "50%", "tök",
                                   ".", ".."])
def test_the_token_reaches_the_service_as_one_path_segment_and_one_key(auth, routed, token):
    routed.add_app_token(token, tenant=TENANT)
    assert auth._validate_secret(token, TENANT) is True
    [request] = app_checks(routed)
    assert (request.tenant, request.path, request.query) == (
        TENANT, "/validate-app-token/" + quote(token, safe=""), "api_key=" + quote(token, safe=""))


@pytest.mark.parametrize("tenant", ["", "acme/x", "evil.example/", "acme?", "acme#", "a..b", "acme ", "u@acme"])
def test_a_bad_tenant_is_refused_before_any_request_or_write(auth, routed, answer, secret_file, capsys, tenant):
    secret_file.write_text(PAIR)
    with pytest.raises(ValueError, match=re.escape(repr(tenant))):
        auth._validate_secret(APP, tenant)
    with pytest.raises(ValueError, match=re.escape(repr(tenant))):
        auth.update_secret("other", tenant)
    assert secret_file.read_text() == PAIR
    secret_file.unlink()
    answer(APP, tenant)
    with pytest.raises(ValueError, match=re.escape(repr(tenant))):
        auth.authenticate_secret()
    assert capsys.readouterr().out == MISSING + PROMPTS
    assert not secret_file.exists() and app_checks(routed) == []


def test_update_secret_writes_the_whole_file_in_one_step(auth, secret_file):
    secret_file.write_text(json.dumps({"TESSALY_USERNAME": "alice", "TESSALY_TENANT": "old"}))
    assert auth.update_secret("tök", TENANT) is None
    assert secret_file.read_text() == '{"TESSALY_SECRET": "t\\u00f6k", "TESSALY_TENANT": "acme"}'
    before = secret_file.read_bytes()
    with pytest.raises(TypeError):
        auth.update_secret(object(), TENANT)  # not JSON: the old file stays whole
    assert secret_file.read_bytes() == before
    assert sorted(os.listdir(secret_file.parent)) == ["secret.json"]


@pytest.mark.parametrize(
    "stored, expected",
    [(None, None), ({"TESSALY_SECRET": APP}, (None, None)), ({"TESSALY_SECRET": "", "TESSALY_TENANT": TENANT, "X": 1}, ("", TENANT))],
)
def test_get_secret_reads_the_pair_as_stored(auth, secret_file, stored, expected):
    if stored is not None:
        secret_file.write_text(json.dumps(stored))
    assert auth._get_secret() == expected


@pytest.mark.parametrize("text, error", [("{not json", json.JSONDecodeError), ("[1, 2]", AttributeError)])
def test_an_unreadable_file_fails_before_any_prompt(auth, routed, answer, secret_file, text, error):
    secret_file.write_text(text)
    stdin = answer(APP, TENANT)
    with pytest.raises(error):
        auth.authenticate_secret()
    assert stdin.read() == f"{APP}\n{TENANT}\n" and secret_file.read_text() == text


def test_end_of_input_at_a_prompt_propagates(auth, routed, answer, secret_file):
    answer(APP)
    with pytest.raises(EOFError):
        auth.authenticate_secret()
    assert not secret_file.exists()


def test_a_new_secret_file_path_is_used_from_the_next_call(auth, tmp_path, monkeypatch):
    first, second = tmp_path / "first.json", tmp_path / "second.json"
    monkeypatch.setattr(auth, "secret_file_path", str(first))
    auth.update_secret(APP, TENANT)
    monkeypatch.setattr(auth, "secret_file_path", str(second))
    assert auth._get_secret() is None
    auth.update_secret("other", TENANT)
    assert (first.read_text(), auth._get_secret()) == (PAIR, ("other", TENANT))


def test_print_and_open_are_those_of_the_import_and_the_rest_is_looked_up_per_call(auth, routed, secret_file, monkeypatch, capsys):
    def refuse(*args, **kwargs):
        raise AssertionError("a builtin rebound after import was used")

    for name in ("print", "open"):
        monkeypatch.setattr(builtins, name, refuse)
        monkeypatch.setattr(auth, name, refuse, raising=False)
    # A kernel started after the import (an IPython startup file imported the module)
    # installs its own input among the builtins: only that one can ask in the notebook.
    asked, answers = [], ["wrong", TENANT]
    monkeypatch.setattr(builtins, "input", lambda prompt: asked.append(prompt) or answers.pop(0))
    monkeypatch.setattr(auth, "PermissionError", LookupError, raising=False)
    with pytest.raises(LookupError, match="Invalid token"):
        auth.authenticate_secret()
    assert capsys.readouterr().out == MISSING + REJECTED
    assert "".join(asked) == PROMPTS
    monkeypatch.setattr(auth, "_validate_secret", lambda secret, tenant: (secret, tenant))
    secret_file.write_text(PAIR)
    assert auth._check_secret() == (APP, TENANT)


def test_import_binds_the_names_in_order_and_keeps_its_builtins(tmp_path, monkeypatch):
    name = "korvane.validation.authentication"
    loaded = sys.modules.pop(name, None)
    printed, real_print = [], builtins.print
    with warnings.catch_warnings():
        monkeypatch.setattr(builtins, "print", lambda *args: printed.append(args))
        try:
            module = importlib.import_module(name)
        finally:
            if loaded is not None:
                sys.modules[name] = loaded
                monkeypatch.setattr(sys.modules["korvane.validation"], "authentication", loaded)
        first_filter = warnings.filters[0]
    builtins.print = real_print  # for everything but the fresh module
    assert first_filter[:3] == ("ignore", None, Warning)
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["os", "json", "requests", "warnings", "getpass", "HTTPException", "datetime",
                     "secret_file_path", "REQUEST_TIMEOUT", "_check_secret", "_get_secret", "update_secret",
                     "authenticate_secret", "_validate_secret"]
    package_root = os.path.dirname(os.path.dirname(os.path.realpath(module.__file__)))
    assert module.secret_file_path == os.path.join(package_root, "secret.json")
    module.secret_file_path = str(tmp_path / "absent.json")
    assert module._check_secret() is False  # prints through the print of the import
    assert printed == [("TESSALY_SECRET is not provided please add it manually",)]
