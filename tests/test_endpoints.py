"""The engine client, against the local tenant service over real HTTPS."""

from __future__ import annotations

import contextlib
import inspect
import json
import mimetypes
import re
import sys
import typing
from types import SimpleNamespace

import pytest
import requests
from requests.exceptions import HTTPError

from korvane.testing import SERVICE_DOMAIN
from korvane_fixtures import PASSWORD, TENANT, USER

ENDPOINTS = "korvane.tessaly_gpt_sdk.endpoints"
ACME_URL = "https://" + TENANT + SERVICE_DOMAIN


@pytest.fixture
def endpoints(logged_in, fresh_import, service):
    """The engine client, freshly imported (logged in as alice on acme), log emptied."""
    module = fresh_import(ENDPOINTS)
    service.clear_requests()
    return module


def operations(service) -> list[str | None]:
    return [r.operation for r in service.requests]


def answering(*answers: str) -> SimpleNamespace:
    """Stands in for the getpass module: answers the prompts in order, then hits end of input."""
    queue = list(answers)

    def getpass(prompt: str) -> str:
        if not queue:
            raise EOFError
        return queue.pop(0)

    return SimpleNamespace(getpass=getpass)


# ---- import ---------------------------------------------------------------------------


def test_import_logs_in_once_and_binds_its_names_in_order(logged_in, fresh_import, service, wardlock):
    module = fresh_import(ENDPOINTS)

    assert operations(service) == ["token_check"]
    assert (module.auth_token, module.tenant) == (logged_in, TENANT)
    assert module.KORVANE_ENGINE_URL == ACME_URL
    bound = {
        "requests": requests,
        "HTTPError": HTTPError,
        "mimetypes": mimetypes,
        "List": typing.List,
        "Optional": typing.Optional,
        "Dict": typing.Dict,
        "json": json,
        "authenticate_credentials": wardlock.authenticate_credentials,
        "validate_token": wardlock.validate_token,
    }
    for name, value in bound.items():
        assert getattr(module, name) is value, name
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [*bound, "auth_token", "tenant", "KORVANE_ENGINE_URL", "REQUEST_TIMEOUT",
                     "_invoke_gpt_engine", "_invoke_completion", "get_completion"]


@pytest.mark.parametrize("typed, error", [((USER, "wrong", TENANT), PermissionError), ((), EOFError)])
def test_failed_import_leaves_nothing_and_the_next_import_logs_in_again(
    logged_in, fresh_import, service, wardlock, monkeypatch, secret_file, typed, error
):
    service.revoke(logged_in)
    service.fail("login", 401)  # the stored password is refused once, so the user is asked
    monkeypatch.setattr(wardlock, "getpass", answering(*typed))

    with pytest.raises(error):
        fresh_import(ENDPOINTS)
    assert ENDPOINTS not in sys.modules

    service.clear_requests()
    module = fresh_import(ENDPOINTS)
    assert operations(service) == ["token_check", "login"]
    stored = json.loads(secret_file.read_text())
    assert (module.auth_token, module.tenant) == (stored["TESSALY_TOKEN"], TENANT)
    assert service.token_valid(module.auth_token, TENANT)


# ---- the completion request ----------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, prompt, limit",
    [
        (("write a loop",), {}, "write a loop", 1000),
        (("write a loop", 50), {}, "write a loop", 50),
        (("write a loop",), {"max_tokens": 50}, "write a loop", 50),
        ((), {"prompt": "", "max_tokens": 0}, "", 0),
    ],
)
def test_completion_is_one_checked_json_post(endpoints, service, logged_in, args, kwargs, prompt, limit):
    service.engine = lambda query, max_tokens: f"{max_tokens}:{query}"

    assert endpoints.get_completion(*args, **kwargs) == {"completion": f"{limit}:{prompt}"}

    check, completion = service.requests
    assert check.operation == "token_check"
    assert check.headers["Authorization"] == "Bearer " + logged_in
    assert (completion.method, completion.host, completion.path) == ("POST", TENANT + SERVICE_DOMAIN, "/get-completion")
    assert completion.headers["Authorization"] == "Bearer " + logged_in
    assert completion.headers["Content-Type"] == "application/json"
    assert completion.body == json.dumps({"query": prompt, "max_tokens": limit}).encode()


@pytest.mark.parametrize("kind, expected", [("json_array", [1, 2]), ("no_token", {})])
def test_any_json_answer_comes_back_unchanged(endpoints, service, kind, expected):
    service.fail("completion", kind=kind)
    assert endpoints.get_completion("q") == expected


def test_completion_layers_pass_keywords_through_the_module_namespace(endpoints, monkeypatch):
    calls = []
    monkeypatch.setattr(endpoints, "_invoke_gpt_engine", lambda **kw: calls.append(kw) or "engine answer")
    assert endpoints.get_completion("q", 7) == "engine answer"
    assert [list(kw.items()) for kw in calls] == [
        [("path", "/get-completion"), ("body", {"query": "q", "max_tokens": 7}),
         ("data_as_json", True), ("request_type", "POST")]
    ]


# ---- other engine requests -----------------------------------------------------------

UPLOAD = {"doc": ("notes.txt", b"hello", "text/plain")}
UPLOADED = {"doc": {"filename": "notes.txt", "content_type": "text/plain", "size": 5, "text": "hello"}}


@pytest.mark.parametrize(
    "options, method, content_type, sent",
    [
        ({"body": {"n": 1, "s": "x"}}, "POST", "application/json", {"json": {"n": 1, "s": "x"}}),
        ({"body": {"n": "1", "s": "a b"}, "data_as_json": False}, "POST",
         "application/x-www-form-urlencoded", {"form": {"n": "1", "s": "a b"}}),
        ({"body": {"k": "v"}, "files": UPLOAD, "data_as_json": False}, "POST",
         "multipart/form-data", {"form": {"k": "v"}, "files": UPLOADED}),
        ({"body": {"id": 7}, "files": UPLOAD, "data_as_json": False, "request_type": "DELETE"}, "DELETE",
         "application/json", {"json": {"id": 7}}),
        ({}, "POST", None, {}),
    ],
)
def test_engine_request_shapes(endpoints, service, logged_in, options, method, content_type, sent):
    answer = endpoints._invoke_gpt_engine("/jobs/run", **options)

    check, request = service.requests
    assert check.operation == "token_check"
    assert (request.method, request.path, request.tenant) == (method, "/jobs/run", TENANT)
    assert request.headers["Authorization"] == "Bearer " + logged_in
    media = request.headers.get("Content-Type", "").partition(";")[0] or None
    assert media == content_type
    received = {"json": request.json, "form": request.form, "files": request.files and {
        name: f.summary() for name, f in request.files.items()}}
    assert {k: v for k, v in received.items() if v is not None} == sent
    assert answer == {"method": method, "path": "/jobs/run", "json": request.json, "form": request.form,
                      "files": sent.get("files", {})}


@pytest.mark.parametrize(
    "path, sent_path, sent_query", [("/jobs/7?force=1", "/jobs/7", "force=1"), ("", "/", ""), ("?force=1", "/", "force=1")]
)
def test_url_is_the_base_url_followed_by_the_path(endpoints, service, path, sent_path, sent_query):
    with contextlib.suppress(HTTPError):  # "/" answers 405 to anything but the token check
        endpoints._invoke_gpt_engine(path, request_type="DELETE")
    request = service.requests[-1]
    assert (request.method, request.host, request.path, request.query) == (
        "DELETE", TENANT + SERVICE_DOMAIN, sent_path, sent_query)


def test_streaming_hands_back_the_response_without_decoding_it(endpoints, service):
    service.fail("engine", kind="not_json")
    response = endpoints._invoke_gpt_engine("/stream", streaming=True)
    assert isinstance(response, requests.Response)
    assert (response.status_code, response.text) == (200, "<html>not json</html>")

    service.fail("engine", kind="not_json")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        endpoints._invoke_gpt_engine("/stream")


# ---- failures --------------------------------------------------------------------------


@pytest.mark.parametrize("streaming", [False, True])
@pytest.mark.parametrize("status", [201, 204, 404, 500])
def test_any_status_but_200_prints_the_body_and_raises(endpoints, service, capsys, status, streaming):
    text = "" if status == 204 else f'{{"error": "engine answered {status}"}}'
    service.fail("engine", status, body=text)
    state = (endpoints.auth_token, endpoints.tenant)

    with pytest.raises(HTTPError) as raised:
        endpoints._invoke_gpt_engine("/jobs", streaming=streaming, body={"a": 1})

    assert type(raised.value) is HTTPError
    assert raised.value.args == () and raised.value.response is None
    assert capsys.readouterr().out == text + "\n"
    assert (endpoints.auth_token, endpoints.tenant) == state


def test_completion_failure_raises_the_module_s_http_error(endpoints, service, capsys, monkeypatch):
    class EngineRefused(Exception):
        pass

    monkeypatch.setattr(endpoints, "HTTPError", EngineRefused)
    service.fail("completion", 503, body="engine is down")
    with pytest.raises(EngineRefused):
        endpoints.get_completion("q")
    assert capsys.readouterr().out == "engine is down\n"


# ---- token check and re-login ----------------------------------------------------------


def test_refused_token_is_replaced_by_one_login_that_this_request_already_uses(
    endpoints, service, logged_in, secret_file, capsys
):
    service.revoke(logged_in)

    endpoints.get_completion("q")

    assert operations(service) == ["token_check", "token_check", "login", "completion"]
    token = endpoints.auth_token
    assert token != logged_in and service.token_valid(token, TENANT)
    assert service.requests[-1].headers["Authorization"] == "Bearer " + token
    assert (endpoints.tenant, endpoints.KORVANE_ENGINE_URL) == (TENANT, ACME_URL)
    assert json.loads(secret_file.read_text())["TESSALY_TOKEN"] == token
    capsys.readouterr()

    service.clear_requests()
    endpoints.get_completion("q")
    assert operations(service) == ["token_check", "completion"]
    assert endpoints.auth_token is token


def test_relogin_to_another_tenant_keeps_the_import_time_base_url_and_sends_it_no_token(
    endpoints, service, logged_in, wardlock, capsys
):
    service.add_user(USER, PASSWORD, tenant="beta")
    beta_token = service.issue_token("beta", USER)
    wardlock._update_credentials(USER, PASSWORD, beta_token, "beta")
    service.revoke(logged_in)
    refused = (f"The login is now for tenant 'beta', but this session's engine is tenant 'acme' ({ACME_URL}): that tenant's"
               " token is not sent there. Restart the kernel (or import korvane.tessaly_gpt_sdk.endpoints anew) to"
               " switch tenants.")

    for _ in range(2):  # the first call logs in to beta, the next finds beta's token still good
        with pytest.raises(PermissionError) as raised:
            endpoints.get_completion("q")
        assert str(raised.value) == refused

    assert (endpoints.auth_token, endpoints.tenant) == (beta_token, "beta")
    assert endpoints.KORVANE_ENGINE_URL == ACME_URL
    assert "completion" not in operations(service)
    assert all(r.headers.get("Authorization") != "Bearer " + beta_token for r in service.requests if r.tenant == TENANT)


def test_failed_relogin_sends_nothing_and_keeps_the_old_pair(endpoints, service, logged_in, wardlock, monkeypatch):
    service.revoke(logged_in)
    service.fail("login", 401, times=2)
    monkeypatch.setattr(wardlock, "getpass", answering(USER, PASSWORD, TENANT))

    with pytest.raises(PermissionError):
        endpoints.get_completion("q")

    assert "completion" not in operations(service)
    assert (endpoints.auth_token, endpoints.tenant) == (logged_in, TENANT)


@pytest.mark.parametrize(
    "pair, message",
    [(("t", TENANT, "x"), "too many values to unpack (expected 2)"), (("t",), "not enough values to unpack (expected 2, got 1)")],
)
def test_login_result_must_be_a_pair(endpoints, service, logged_in, monkeypatch, pair, message):
    service.revoke(logged_in)
    monkeypatch.setattr(endpoints, "authenticate_credentials", lambda: pair)

    with pytest.raises(ValueError, match=re.escape(message)):
        endpoints.get_completion("q")

    assert operations(service) == ["token_check"]
    assert (endpoints.auth_token, endpoints.tenant) == (logged_in, TENANT)


# ---- arguments -------------------------------------------------------------------------


class Text(str):
    pass


class Mapping(dict):
    pass


def wrong_type(name: str, expected: str, got: str) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def unsupported(value: str) -> str:
    return f"Unsupported request_type {value!r}: expected 'POST' or 'DELETE'"


def bad_path(value: str) -> str:
    return f"Invalid path {value!r}: an engine path starts with '/', '?' or '#'"


@pytest.mark.parametrize(
    "function, args, kwargs, error, message",
    [
        ("get_completion", (Text("q"),), {}, TypeError, wrong_type("prompt", "str", "Text")),
        ("get_completion", (b"q",), {}, TypeError, wrong_type("prompt", "str", "bytes")),
        ("get_completion", (None, True), {}, TypeError, wrong_type("prompt", "str", "NoneType")),
        ("get_completion", ("q", True), {}, TypeError, wrong_type("max_tokens", "int", "bool")),
        ("get_completion", ("q",), {"max_tokens": None}, TypeError, wrong_type("max_tokens", "int", "NoneType")),
        ("get_completion", ("q", 1000.0), {}, TypeError, wrong_type("max_tokens", "int", "float")),
        ("_invoke_completion", ("q",), {}, TypeError,
         "_invoke_completion() missing 1 required positional argument: 'max_tokens'"),
        ("_invoke_completion", ("q", True), {}, TypeError, wrong_type("max_tokens", "int", "bool")),
        ("_invoke_gpt_engine", (Text("/x"),), {}, TypeError, wrong_type("path", "str", "Text")),
        ("_invoke_gpt_engine", (1,), {"files": 1}, TypeError, wrong_type("path", "str", "int")),
        ("_invoke_gpt_engine", ("/x",), {"body": Mapping()}, TypeError, wrong_type("body", "dict", "Mapping")),
        ("_invoke_gpt_engine", ("/x",), {"files": [("f", b"")]}, TypeError, wrong_type("files", "dict", "list")),
        ("_invoke_gpt_engine", ("/x",), {"request_type": Text("POST")}, TypeError,
         wrong_type("request_type", "str", "Text")),
        ("_invoke_gpt_engine", ("/x",), {"body": [], "request_type": "PUT"}, TypeError,
         wrong_type("body", "dict", "list")),
        ("_invoke_gpt_engine", ("/x",), {"request_type": "post"}, ValueError, unsupported("post")),
        ("_invoke_gpt_engine", ("/x",), {"request_type": "PUT"}, ValueError, unsupported("PUT")),
        ("_invoke_gpt_engine", ("/x", True, None, None, ""), {}, ValueError, unsupported("")),
        # A path that would extend the host name never carries the token anywhere.
        ("_invoke_gpt_engine", (".evil.example/steal",), {}, ValueError, bad_path(".evil.example/steal")),
        ("_invoke_gpt_engine", ("@evil.example",), {}, ValueError, bad_path("@evil.example")),
        ("_invoke_gpt_engine", ("get-completion",), {}, ValueError, bad_path("get-completion")),
        # With files the HTTP package would drop a JSON body without a word.
        ("_invoke_gpt_engine", ("/x",), {"files": UPLOAD, "body": {"k": "v"}}, ValueError,
         "A JSON body cannot be sent with files: pass data_as_json=False to send the body as form fields beside "
         "the files"),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_sent(
    endpoints, service, logged_in, function, args, kwargs, error, message
):
    service.revoke(logged_in)  # a token check, had one been made, would also log in again

    with pytest.raises(error) as raised:
        getattr(endpoints, function)(*args, **kwargs)

    assert str(raised.value) == message
    assert service.requests == []
    assert endpoints.auth_token == logged_in


# ---- the Python face -------------------------------------------------------------------

ENGINE_DOC = (
    "\n    Invokes the Korvane Engine with the given path and body\n    Parameters\n"
    "        path(str): The path to invoke the engine with\n"
    "        streaming(bool): Whether to stream the response or not\n"
    "        files(Dict): The files to upload\n        body(Dict): The body to send\n"
    "        request_type(str): The type of request to send, defaults to POST\n    \n"
    "    Returns\n        The response from the engine\n    "
)
COMPLETION_DOC = (
    "\n    Get the completion for the given prompt\n    Parameters\n"
    "        prompt(str): The prompt to get the completion for\n"
    "        max_tokens(int): The maximum number of tokens to generate\n    \n"
    "    Returns\n        The completion for the given prompt\n    "
)


@pytest.mark.parametrize(
    "name, signature, defaults, annotations, doc",
    [
        (
            "_invoke_gpt_engine",
            "(path: 'str', streaming: 'bool' = False, files: 'Dict' = None, body: 'Dict' = None, "
            "request_type: 'str' = 'POST', data_as_json: 'bool' = True)",
            (False, None, None, "POST", True),
            {"path": "str", "streaming": "bool", "files": "Dict", "body": "Dict", "request_type": "str",
             "data_as_json": "bool"},
            ENGINE_DOC,
        ),
        ("_invoke_completion", "(prompt: 'str', max_tokens: 'int')", None,
         {"prompt": "str", "max_tokens": "int"}, None),
        ("get_completion", "(prompt: 'str', max_tokens: 'int' = 1000)", (1000,),
         {"prompt": "str", "max_tokens": "int"}, COMPLETION_DOC),
    ],
)
def test_function_faces(endpoints, name, signature, defaults, annotations, doc):
    function = getattr(endpoints, name)
    assert str(inspect.signature(function)) == signature
    assert function.__defaults__ == defaults
    assert function.__annotations__ == annotations
    assert function.__doc__ == doc
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, ENDPOINTS)


@pytest.mark.parametrize("typed", ["ACME", "Acme"])
def test_a_tenant_typed_in_other_letter_case_is_the_same_host(endpoints, service, logged_in, monkeypatch, typed):
    # As after a re-login where the tenant was typed "Acme" once and "acme" the next time.
    monkeypatch.setattr(endpoints, "tenant", typed)
    endpoints.get_completion("q")
    assert operations(service)[-1] == "completion"
