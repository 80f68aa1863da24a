"""Hostile and odd arguments at the Python boundary of all four modules.

Every call raises the error the described behaviour gives (or, where that behaviour is
"whatever Python's own operation raises", exactly what the plain-Python operation
raises), sends and writes nothing it should not, and leaves the interpreter working.
Requests go only to the local tenant service; a test that tries to reach anything else
fails.
"""

from __future__ import annotations

import base64
import inspect
import io
import ipaddress
import json
import re
import socket
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
import requests
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from korvane_fixtures import PASSWORD, TENANT, USER

# The fuzz harnesses' oracles and input builder (tools/fuzz, on the path from conftest.py)
# serve here as well.
import fuzz_prompt
import plain_oracles as plain


CELLWRIGHT, ENDPOINTS = "korvane.tessaly_gpt_sdk.cellwright", "korvane.tessaly_gpt_sdk.endpoints"
TOKEN_ERROR = "Error occurred while validating the token\n"
CREDENTIALS_ERROR = "Error occurred while validating the credentials\n"
REJECTED = "Provided token is invalid. Please provide a valid token\n"
MB = 1 << 20
FUNCTION_SCOPED = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


# ---- odd objects ------------------------------------------------------------------------


class Refusal(Exception):
    """What the odd objects raise, so that a test can tell their error from any other."""


class Unformattable:
    def __format__(self, spec):
        raise Refusal("no format")


class Unprintable:
    """Formats through object.__format__, which calls the failing __str__."""

    def __str__(self):
        raise Refusal("no str")


class Uncomparable:
    def __eq__(self, other):
        raise Refusal("no ==")

    __hash__ = object.__hash__


class Unhashable:
    def __hash__(self):
        raise Refusal("no hash")


class Truthless:
    def __bool__(self):
        raise Refusal("no truth")


class Text(str):
    pass


class Table(dict):
    pass


class Grudging(str):
    """A keyword name that refuses to be compared with the parameter names."""

    def __eq__(self, other):
        raise Refusal(f"no comparing {str.__str__(self)}")

    __hash__ = str.__hash__


def failure(call):
    """(type, message) of what *call* raises, or ("returned", value)."""
    try:
        return ("returned", call())
    except Exception as error:
        return (type(error), str(error))


# ---- fixtures ---------------------------------------------------------------------------


def _is_local(host) -> bool:
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    if host in ("localhost", None):
        return True
    try:
        return ipaddress.ip_address(str(host).split("%")[0]).is_loopback
    except ValueError:
        return False


@pytest.fixture(autouse=True)
def loopback_only(monkeypatch):
    """Refuses, and fails the test for, any connection or name lookup that would leave the
    machine. Routed service names never get here: routing resolves them itself."""
    attempts = []
    real_connect, real_lookup = socket.socket.connect, socket.getaddrinfo

    def connect(sock, address):
        if sock.family in (socket.AF_INET, socket.AF_INET6) and not _is_local(address[0]):
            attempts.append(address[0])
            raise ConnectionRefusedError(f"the test refuses a connection to {address[0]}")
        return real_connect(sock, address)

    def lookup(host, *args, **kwargs):
        if not _is_local(host):
            attempts.append(host)
            raise socket.gaierror(socket.EAI_NONAME, f"the test refuses to look up {host}")
        return real_lookup(host, *args, **kwargs)

    monkeypatch.setattr(socket.socket, "connect", connect)
    monkeypatch.setattr(socket, "getaddrinfo", lookup)
    yield
    assert attempts == [], f"tried to reach {attempts}"


@pytest.fixture
def kit(logged_in, fresh_import, service, monkeypatch):
    """The assistant and the engine client, freshly imported and logged in; what the
    assistant hands to `display` is collected in `.shown`, the service log is empty."""
    cellwright = fresh_import(CELLWRIGHT)
    shown: list = []
    monkeypatch.setattr(cellwright, "display", shown.append)
    service.clear_requests()
    return SimpleNamespace(cellwright=cellwright, endpoints=sys.modules[ENDPOINTS], shown=shown, service=service)


def sent(service) -> list:
    return [r.operation for r in service.requests]


# ---- exact-type checks ------------------------------------------------------------------

# (module, function, valid arguments, parameter, expected type, None admitted)
CHECKED = [
    ("endpoints", "_invoke_gpt_engine", {"path": "/x"}, "path", str, False),
    ("endpoints", "_invoke_gpt_engine", {"path": "/x"}, "files", dict, True),
    ("endpoints", "_invoke_gpt_engine", {"path": "/x"}, "body", dict, True),
    ("endpoints", "_invoke_gpt_engine", {"path": "/x"}, "request_type", str, False),
    ("endpoints", "_invoke_completion", {"prompt": "q", "max_tokens": 1}, "prompt", str, False),
    ("endpoints", "_invoke_completion", {"prompt": "q", "max_tokens": 1}, "max_tokens", int, False),
    ("endpoints", "get_completion", {"prompt": "q"}, "prompt", str, False),
    ("endpoints", "get_completion", {"prompt": "q"}, "max_tokens", int, False),
    ("cellwright", "optimize_code", {"code": "c"}, "code", str, False),
    ("cellwright", "optimize_code", {"code": "c"}, "global_variables", dict, True),
    ("cellwright", "generate_markdown", {"code": "c"}, "code", str, False),
    ("cellwright", "generate_markdown", {"code": "c"}, "global_variables", dict, True),
    ("cellwright", "generate_code_completion", {"query": "q"}, "global_variables", dict, True),
    ("cellwright", "_generate_prompt", {"query": "q", "base_prompt": "B"}, "base_prompt", str, False),
]

class_names = st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters="\x00"), min_size=1, max_size=260)
# Made afresh for each example: hypothesis compares and hashes what it draws, which
# some of these objects refuse.
WRONG_VALUES = [lambda: None, lambda: 0, lambda: True, lambda: 1.5, lambda: float("nan"), lambda: 2**100,
                lambda: b"x", lambda: bytearray(b"x"), list, tuple, dict, str, frozenset, object, Truthless,
                Unformattable, Unprintable, Uncomparable, Unhashable, lambda: int, lambda: sys, lambda: print,
                lambda: Text("x"), Table, pd.DataFrame]
wrong_values = st.one_of(
    st.sampled_from(WRONG_VALUES).map(lambda make: make()),
    st.builds(lambda name, base: type(name, (base,), {})(), class_names, st.sampled_from([str, dict, int, object])),
)


@settings(max_examples=300, **FUNCTION_SCOPED)
@given(entry=st.sampled_from(CHECKED), value=wrong_values, positional=st.booleans())
def test_annotated_parameters_refuse_any_other_type_before_anything_runs(kit, entry, value, positional):
    module, name, valid, parameter, expected, none_admitted = entry
    assume(type(value) is not expected and not (value is None and none_admitted))
    function = getattr(getattr(kit, module), name)
    arguments = {**valid, parameter: value}
    kit.service.clear_requests()
    names = list(inspect.signature(function).parameters)
    if positional:
        count = max(names.index(key) for key in arguments) + 1
        defaults = {p: v.default for p, v in inspect.signature(function).parameters.items()}
        call = lambda: function(*[arguments.get(p, defaults[p]) for p in names[:count]])  # noqa: E731
    else:
        call = lambda: function(**arguments)  # noqa: E731
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == str(plain.incorrect_type(parameter, expected, value))
    assert kit.service.requests == [] and kit.shown == []


@pytest.mark.parametrize("name, message", [
    ("N" * 300, "N" * 200),
    ("é" * 150, "é" * 100),            # 200 bytes of UTF-8: whole characters
    ("x" + "é" * 150, "x" + "é" * 99 + "\ufffd"),  # the cut falls inside a character
])
def test_type_names_in_messages_are_cut_at_200_bytes_as_the_interpreter_cuts_them(kit, name, message):
    odd = type(name, (str,), {})("q")
    with pytest.raises(TypeError) as raised:
        kit.endpoints.get_completion(odd)
    assert str(raised.value) == f"Argument 'prompt' has incorrect type (expected str, got {message})"
    assert kit.service.requests == []


def test_the_first_refused_parameter_is_named(kit):
    with pytest.raises(TypeError, match="Argument 'path'"):
        kit.endpoints._invoke_gpt_engine(b"/x", files=[], body=Table(), request_type=None)
    with pytest.raises(TypeError, match="Argument 'body'"):
        kit.endpoints._invoke_gpt_engine("/x", body=Table(), request_type=None)
    assert kit.service.requests == []


# ---- binding odd keywords ---------------------------------------------------------------

ALL_FUNCTIONS = [
    ("wardlock", n) for n in ("_check_credentials", "_update_credentials", "_encrypt", "_decrypt",
                              "authenticate_credentials", "_validate_credentials", "validate_token")
] + [
    ("authentication", n) for n in ("_check_secret", "_get_secret", "update_secret", "authenticate_secret",
                                    "_validate_secret")
] + [("endpoints", n) for n in ("_invoke_gpt_engine", "_invoke_completion", "get_completion")] + [
    ("cellwright", n) for n in ("get_prompts", "optimize_code", "generate_markdown", "generate_code_completion",
                                "display_previous_cell", "display_next_cell", "generate_code", "_generate_prompt")
]


def twin(function):
    """A plain Python function with the same name and parameters, that only binds."""
    parameters = [p.name if p.default is p.empty else f"{p.name}=None"
                  for p in inspect.signature(function).parameters.values()]
    namespace: dict = {}
    exec(f"def {function.__name__}({', '.join(parameters)}): return 'bound'", namespace)
    return namespace[function.__name__]


@pytest.mark.parametrize("module, name", ALL_FUNCTIONS)
def test_odd_keywords_fail_binding_as_they_fail_for_a_python_function(kit, auth, module, name):
    owner = {"wardlock": sys.modules["korvane.validation.wardlock"], "authentication": auth,
             "endpoints": kit.endpoints, "cellwright": kit.cellwright}[module]
    function = getattr(owner, name)
    parameters = list(inspect.signature(function).parameters)
    first = parameters[0] if parameters else "x"
    for args, keywords in [
        ((), {Grudging(first): 1}),                                # a name that cannot be compared
        ((), {1: 1}),                                              # a name that is no str
        (("positional",) * len(parameters), {Grudging(first): 1}),  # compared after the positionals
    ]:
        ours = failure(lambda: function(*args, **keywords))
        assert ours[0] != "returned" and ours == failure(lambda: twin(function)(*args, **keywords))
    assert kit.service.requests == []


@pytest.mark.parametrize("args, keywords", [(("t", TENANT, "extra"), {"bogus": 1}), (("t", TENANT, "extra"), {"token": 1})])
def test_a_bad_keyword_is_reported_before_too_many_positionals(wardlock, args, keywords):
    # The interpreter binds keywords first: "got an unexpected keyword argument 'bogus'" and
    # "got multiple values for argument 'token'", not "takes 2 positional arguments but 3 were given".
    function = wardlock.validate_token
    assert failure(lambda: function(*args, **keywords)) == failure(lambda: twin(function)(*args, **keywords))


# ---- values whose text, comparison or hash fails ----------------------------------------


class OddName(str):
    """A global's name whose text comes from another object."""

    def __new__(cls, text, shown):
        name = super().__new__(cls, text)
        name.shown = shown
        return name

    def __format__(self, spec):
        return format(self.shown, spec)


@pytest.mark.parametrize("call", [
    lambda m, odd: m.wardlock.validate_token(odd, TENANT),
    lambda m, odd: m.wardlock.validate_token("t", odd),
    lambda m, odd: m.wardlock._validate_credentials(USER, PASSWORD, odd),
    lambda m, odd: m.auth._validate_secret(odd, TENANT),
    lambda m, odd: m.auth._validate_secret("k", odd),
    lambda m, odd: m.auth.update_secret("k", odd),
    lambda m, odd: m.cellwright.display_next_cell(odd),
    lambda m, odd: m.cellwright.display_previous_cell(odd),
    lambda m, odd: m.cellwright._generate_prompt("q", "B", {"x": 1, OddName("y", odd): 2}),
    lambda m, odd: m.cellwright.optimize_code("c", {OddName("y", odd): 2}),
], ids=["token", "tenant", "login tenant", "app token", "app tenant", "stored tenant", "next cell", "previous cell",
        "prompt name", "command name"])
def test_a_text_that_cannot_be_made_fails_the_call_with_its_own_error(kit, auth, wardlock, secret_file, capsys, call):
    before = secret_file.read_bytes()
    modules = SimpleNamespace(wardlock=wardlock, auth=auth, cellwright=kit.cellwright)
    for odd in (Unformattable(), Unprintable()):  # failing in __format__, or in the __str__ it calls
        with pytest.raises(Refusal) as raised:
            call(modules, odd)
        assert str(raised.value) == failure(lambda: format(odd, ""))[1]
    assert kit.service.requests == [] and kit.shown == [] and capsys.readouterr().out == ""
    assert secret_file.read_bytes() == before


@pytest.mark.parametrize("odd", [Unformattable(), Uncomparable(), Unhashable(), object(), {1: Unprintable()}])
@pytest.mark.parametrize("field", ["username", "password"])
def test_a_login_value_json_cannot_write_is_a_failed_login(wardlock, routed, capsys, odd, field):
    values = {"username": USER, "password": PASSWORD, field: odd}
    assert wardlock._validate_credentials(values["username"], values["password"], TENANT) == (False, None)
    assert capsys.readouterr().out == CREDENTIALS_ERROR and routed.requests == []


@pytest.mark.parametrize("arguments, error", [
    ((Unformattable(), PASSWORD, "t", TENANT), TypeError),   # not JSON
    ((USER, PASSWORD, Uncomparable(), TENANT), TypeError),
    ((USER, 42, "t", TENANT), AttributeError),               # the password has no encode
    ((USER, "\ud800", "t", TENANT), UnicodeEncodeError),     # nor a UTF-8 form
])
def test_credentials_that_cannot_be_stored_leave_the_file_as_it_was(wardlock, secret_file, arguments, error):
    secret_file.write_text("previous")
    with pytest.raises(error):
        wardlock._update_credentials(*arguments)
    assert secret_file.read_text() == "previous"
    assert [p.name for p in secret_file.parent.iterdir()] == ["secret.json"]


# ---- truth values that cannot be told ----------------------------------------------------


@pytest.mark.parametrize("call, requests, displayed", [
    # Each flag is judged where the described steps first need it, and not before.
    (lambda k: k.endpoints._invoke_gpt_engine("/x", data_as_json=Truthless()), ["token_check"], 0),
    (lambda k: k.endpoints._invoke_gpt_engine("/x", streaming=Truthless()), ["token_check", "engine"], 0),
    (lambda k: k.cellwright.generate_code_completion("q", debug_mode=Truthless()), [], 0),
    (lambda k: k.cellwright.generate_code_completion("q", jupyter_mode=Truthless()), ["token_check", "completion"], 0),
    (lambda k: k.cellwright.optimize_code("c", jupyter_mode=Truthless()), ["token_check", "completion"], 0),
    (lambda k: k.cellwright.generate_markdown("c", jupyter_mode=Truthless()), ["token_check", "completion"], 0),
])
def test_a_flag_without_a_truth_value_fails_where_it_is_first_judged(kit, call, requests, displayed):
    with pytest.raises(Refusal, match="no truth"):
        call(kit)
    assert sent(kit.service) == requests and len(kit.shown) == displayed


def test_a_delete_never_judges_data_as_json(kit):
    kit.endpoints._invoke_gpt_engine("/x", request_type="DELETE", data_as_json=Truthless())
    assert sent(kit.service) == ["token_check", "engine"]


def test_debug_mode_is_judged_twice(kit, capsys):
    class TrueOnce:
        calls = 0

        def __bool__(self):
            TrueOnce.calls += 1
            return TrueOnce.calls == 1

    kit.service.engine = lambda query, max_tokens: "answer"
    assert kit.cellwright.generate_code_completion("q", None, TrueOnce()) is None
    # The first judgement chose the debug prompt, the second found no debug mode: inserted (and,
    # with no IPython here, printed as the answer alone), not printed as an explanation.
    assert kit.service.requests[-1].json["query"].startswith("Debug the below given error")
    assert len(kit.shown) == 1 and capsys.readouterr().out == "answer\n"


@pytest.mark.parametrize("module, attribute, call", [
    ("endpoints", "validate_token", lambda k, m: k.endpoints.get_completion("q")),
    ("wardlock", "validate_token", lambda k, m: m.authenticate_credentials()),
    ("authentication", "_validate_secret", lambda k, m: m.authenticate_secret()),
])
def test_a_check_whose_answer_has_no_truth_fails_the_caller(kit, auth, wardlock, monkeypatch, secret_file, module, attribute, call):
    if module == "authentication":
        auth.update_secret("acme-app-token", TENANT)
    owner = {"endpoints": kit.endpoints, "wardlock": wardlock, "authentication": auth}[module]
    monkeypatch.setattr(owner, attribute, lambda *args: Truthless())
    before = secret_file.read_bytes()
    with pytest.raises(Refusal):
        call(kit, owner)
    assert kit.service.requests == [] and secret_file.read_bytes() == before


# ---- global_variables that change or fail while the prompt is built ----------------------


@settings(max_examples=250, **FUNCTION_SCOPED)
@given(data=st.binary(max_size=600))
def test_any_globals_built_from_bytes_compose_as_the_plain_algorithm_does(kit, data):
    # The fuzz harness's worlds: mappings that mutate or fail in __getitem__/__iter__, names
    # whose __format__/__ne__/__hash__ run code, metaclasses, DataFrames with odd labels.
    extension, oracle = fuzz_prompt.run_one(kit.cellwright, data)
    assert fuzz_prompt.same(extension, oracle), (extension, oracle)


class Interrupting(dict):
    def __getitem__(self, key):
        raise KeyboardInterrupt


def test_an_interrupt_in_a_lookup_passes_through(kit):
    with pytest.raises(KeyboardInterrupt):
        kit.cellwright._generate_prompt("q", "B", Interrupting(x=1))


@pytest.mark.parametrize("dtypes", [
    property(lambda df: (_ for _ in ()).throw(Refusal("dtypes failed"))),
    property(lambda df: pd.Series({"a": np.dtype("int64"), "b": Unprintable()}, dtype=object)),
    property(lambda df: pd.Series({"a": np.dtype("int64"), Unformattable(): np.dtype("int8")}, dtype=object)),
], ids=["dtypes raises", "a dtype without text", "a label without text"])
def test_a_dataframe_that_cannot_describe_itself_fails_the_prompt_and_sends_nothing(kit, monkeypatch, dtypes):
    monkeypatch.setattr(pd.DataFrame, "dtypes", dtypes)
    names = {"n": 1, "df": pd.DataFrame({"a": [1]})}
    expected = failure(lambda: plain.generate_prompt(kit.cellwright, "q", "B", names))
    assert expected[0] is Refusal
    assert failure(lambda: kit.cellwright._generate_prompt("q", "B", names)) == expected
    assert failure(lambda: kit.cellwright.generate_code_completion("q", names)) == expected
    assert kit.service.requests == [] and kit.shown == []


def test_a_dict_changed_by_a_name_while_a_command_composes_sends_nothing(kit):
    class Grabby(str):
        def __contains__(self, item):
            names["more"] = 1
            return False

        __hash__ = str.__hash__

    names = {Grabby("a"): 1, "b": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        kit.cellwright.optimize_code("c", names)
    assert kit.service.requests == [] and kit.shown == []


# ---- very long texts ----------------------------------------------------------------------


def test_megabytes_of_prompt_compose_and_travel_whole(kit):
    query, base, name = "q" * (6 * MB), "b" * (2 * MB), "n" * MB
    names = {name: 1, "df": pd.DataFrame({"c" * MB: [1]})}
    prompt = kit.cellwright._generate_prompt(query, base, names)
    assert prompt == plain.generate_prompt(kit.cellwright, query, base, names)
    kit.service.engine = lambda q, max_tokens: str(len(q))
    assert kit.endpoints.get_completion(prompt) == {"completion": str(len(prompt))}
    assert kit.service.requests[-1].json["query"] == prompt


@pytest.mark.parametrize("function", sorted(plain.CELL_PREFIXES))
def test_megabytes_of_special_characters_reach_the_cell_unchanged(kit, function):
    answer = "`${\\\r\ud800</x<!" * (MB // 10)
    getattr(kit.cellwright, function)(answer)
    (shown,) = kit.shown
    body = shown.data[len(plain.CELL_PREFIXES[function]):-len(plain.CELL_SUFFIX)]
    assert plain.template_literal_value(body) == answer and "</" not in body and "<!" not in body


def test_megabytes_of_password_encode_and_decode(wardlock):
    text = "pässwörd" * MB
    encoded = wardlock._encrypt(text)
    assert encoded == plain.encrypt(text) and wardlock._decrypt(encoded) == text
    damaged = encoded[:-1]
    assert wardlock._decrypt(damaged) is damaged


def refused_or_cut_off(call, refused):
    """A megabyte request is answered with a refusal, or the service closes the connection
    while it is still being sent: then it is reported as a connection that broke off."""
    try:
        assert call() == refused
    except requests.exceptions.ConnectionError as error:
        assert re.match(f"The service at {re.escape(TENANT)}\\S+ could not be reached for the ", str(error))


def test_megabyte_values_are_refused_by_the_service_not_crashed_on(wardlock, auth, routed, capsys):
    big = "t" * MB
    refused_or_cut_off(lambda: wardlock.validate_token(big, TENANT), False)
    assert capsys.readouterr().out == ""
    refused_or_cut_off(lambda: wardlock._validate_credentials(big, big, TENANT), (False, None))
    assert capsys.readouterr().out == ""
    refused_or_cut_off(lambda: auth._validate_secret(big, TENANT), False)
    assert capsys.readouterr().out in ("", REJECTED)


def test_megabyte_values_are_stored_and_read_back_whole(wardlock, auth, secret_file):
    big = "k" * (4 * MB)
    auth.update_secret(big, TENANT)
    assert auth._get_secret() == (big, TENANT)
    wardlock._update_credentials(big, big, big, TENANT)
    stored = json.loads(secret_file.read_text())
    assert stored["TESSALY_USERNAME"] == stored["TESSALY_TOKEN"] == big
    assert wardlock._decrypt(stored["TESSALY_PASSWORD"]) == big


# ---- control characters and lone surrogates -------------------------------------------------


@pytest.mark.parametrize("tenant", ["ac\x00me", "acme\x00", "\x00", "acme\r\nX-Injected: 1", "acme\t"])
def test_tenants_with_control_characters_are_refused_by_name(wardlock, auth, routed, secret_file, tenant):
    for call in (lambda: wardlock.validate_token("t", tenant), lambda: wardlock._validate_credentials(USER, PASSWORD, tenant),
                 lambda: auth._validate_secret("k", tenant), lambda: auth.update_secret("k", tenant)):
        with pytest.raises(ValueError) as raised:
            call()
        assert repr(tenant) in str(raised.value)
    assert routed.requests == [] and not secret_file.exists()


HOST_LABELS = re.compile(r"[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)*")
tenants = st.one_of(
    st.text(st.sampled_from("aZ09-._/:@?#% \t\x00é\ud800"), max_size=10),
    st.integers(), st.floats(), st.booleans(), st.none(), st.builds(Text, st.text("ab.-", max_size=5)),
)


@settings(max_examples=150, **FUNCTION_SCOPED)  # each accepted tenant costs a synced write
@given(tenant=tenants)
def test_only_host_labels_are_taken_as_tenants(auth, secret_file, tenant):
    # What the tenant formats to decides, whatever its type.
    text = format(tenant, "")
    secret_file.write_text("previous")
    if HOST_LABELS.fullmatch(text):
        auth.update_secret("k", tenant)
        assert list(json.loads(secret_file.read_text())) == ["TESSALY_SECRET", "TESSALY_TENANT"]
    else:
        with pytest.raises(ValueError) as raised:
            auth.update_secret("k", tenant)
        assert repr(text) in str(raised.value) and secret_file.read_text() == "previous"


def injected(service) -> list:
    return [r for r in service.requests if "X-Injected" in r.headers]


def test_line_breaks_never_split_a_request(wardlock, auth, kit, capsys):
    evil = "t\r\nX-Injected: 1"
    assert wardlock.validate_token(evil, TENANT) is False  # the HTTP package refuses the header
    assert capsys.readouterr().out == TOKEN_ERROR
    assert auth._validate_secret(evil, TENANT) is False    # one percent-encoded segment
    assert capsys.readouterr().out == REJECTED
    kit.endpoints._invoke_gpt_engine("/x" + evil)           # the HTTP package quotes the path
    assert injected(kit.service) == []
    assert [r.path for r in kit.service.requests if r.operation in ("app_token", "engine")] == [
        "/validate-app-token/t%0D%0AX-Injected%3A%201", "/xt%0D%0AX-Injected:%201"]


def test_lone_surrogates_and_nul_travel_escaped_in_json(kit, auth, secret_file):
    prompt = "a\x00b\ud800c\udfff"
    kit.service.engine = lambda q, max_tokens: q
    assert kit.endpoints.get_completion(prompt) == {"completion": prompt}
    assert kit.service.requests[-1].json["query"] == prompt
    auth.update_secret(prompt, TENANT)
    assert secret_file.read_text().isascii() and auth._get_secret() == (prompt, TENANT)


# ---- the password decoding never raises ---------------------------------------------------


class Recoding(str):
    def encode(self, *args, **kwargs):
        return self.encoded


def recoding(encoded):
    text = Recoding("x")
    text.encoded = encoded
    return text


ciphertexts = st.one_of(
    st.none(), st.integers(), st.floats(), st.binary(max_size=40), st.text(max_size=40),
    st.binary(max_size=40).map(base64.b64encode), st.binary(max_size=40).map(lambda b: base64.b64encode(b).decode()),
    st.binary(max_size=40).map(lambda b: bytearray(base64.b64encode(b))),
    st.binary(max_size=40).map(lambda b: memoryview(base64.b64encode(b))),
    st.binary(max_size=40).map(lambda b: Text(base64.b64encode(b).decode())),
    st.sampled_from([lambda: b"aGk=", lambda: "aGk=", lambda: Refusal("x"), Truthless, Unhashable, list, dict])
    .map(lambda make: recoding(make())),
    st.sampled_from([object, Unformattable, Truthless, lambda: [b"aGk="], lambda: {"aGk=": 1}]).map(lambda make: make()),
)


@settings(max_examples=400, deadline=None)
@given(ciphertexts)
def test_decrypt_returns_the_decoded_text_or_its_argument_itself(value):
    import korvane.validation.wardlock as wardlock

    expected = plain.decrypt(value)
    got = wardlock._decrypt(value)
    assert got is value if expected is value else (type(got) is str and got == expected)
    assert failure(lambda: wardlock._encrypt(value)) == failure(lambda: plain.encrypt(value))


def test_an_interrupt_while_decoding_passes_through(wardlock):
    class Interrupting(str):
        def encode(self, *args, **kwargs):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        wardlock._decrypt(Interrupting("aGk="))


# ---- credential files of the wrong shape ----------------------------------------------------


def plain_read(path):
    """What reading the file as the described steps do raises: open, json.load, .get."""
    with open(path) as file:
        return json.load(file).get("TESSALY_TENANT")


@pytest.mark.parametrize("content", [b"null", b"5", b'"text"', b"true", b"\xff\xfe{}", b"{" * 100_000, None],
                         ids=["null", "number", "string", "true", "not UTF-8", "too deep", "directory"])
def test_unreadable_credential_files_fail_before_any_prompt_or_request(wardlock, auth, routed, secret_file, monkeypatch, content):
    if content is None:
        secret_file.mkdir()
    else:
        secret_file.write_bytes(content)
    expected = failure(lambda: plain_read(secret_file))
    asked = []
    monkeypatch.setattr(wardlock, "getpass", SimpleNamespace(getpass=lambda prompt: asked.append(prompt)))
    monkeypatch.setattr(sys, "stdin", io.StringIO("k\nacme\n"))
    assert failure(wardlock.authenticate_credentials) == expected
    assert failure(auth.authenticate_secret) == expected
    assert asked == [] and sys.stdin.read() == "k\nacme\n" and routed.requests == []


@pytest.mark.parametrize("tenant", [["acme"], {"t": 1}, "evil.example/x", "acme ", ""])
def test_a_stored_tenant_that_names_no_host_is_refused_before_any_request(wardlock, auth, routed, secret_file, tenant):
    secret_file.write_text(json.dumps({"TESSALY_USERNAME": USER, "TESSALY_PASSWORD": "cGFzc3dvcmQ=",
                                       "TESSALY_TOKEN": "t", "TESSALY_SECRET": "k", "TESSALY_TENANT": tenant}))
    before = secret_file.read_bytes()
    for call in (wardlock.authenticate_credentials, auth.authenticate_secret):
        with pytest.raises(ValueError) as raised:
            call()
        assert repr(format(tenant, "")) in str(raised.value)
    assert routed.requests == [] and secret_file.read_bytes() == before


# ---- faults found here and mended ----------------------------------------------------------


def test_storing_credentials_refuses_a_tenant_that_names_no_host(wardlock, secret_file):
    secret_file.write_text("previous")
    with pytest.raises(ValueError, match="evil.example/x"):
        wardlock._update_credentials(USER, PASSWORD, "t", "evil.example/x")
    assert secret_file.read_text() == "previous"


def test_an_app_token_that_cannot_be_sent_is_a_failed_check(auth, routed, capsys):
    assert auth._validate_secret("k\ud800", TENANT) is False
    out = capsys.readouterr().out
    assert out.startswith("Exception Occurred:  ") and out.endswith(REJECTED)


def test_a_credential_path_with_a_nul_is_refused_as_open_refuses_it(auth, wardlock, tmp_path, monkeypatch):
    path = str(tmp_path / "secret.json") + "\x00.bak"
    monkeypatch.setattr(auth, "secret_file_path", path)
    monkeypatch.setattr(wardlock, "secret_file_path", path)
    for store in (lambda: auth.update_secret("k", TENANT), lambda: wardlock._update_credentials(USER, PASSWORD, "t", TENANT)):
        with pytest.raises(ValueError, match="embedded null byte"):
            store()
    assert list(tmp_path.iterdir()) == []
