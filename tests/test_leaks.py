"""Every entry point, called many times, leaves the interpreter's memory as it found it.

The modules live in a notebook kernel for hours; one object kept per call would grow
the kernel with every request. Each case warms up, then counts the interpreter's live
memory blocks (``sys.getallocatedblocks()``), the bytes in use on the C heap and the
process's resident memory before and after a long run of calls, with garbage collected
and caches emptied at both ends. A case cycles
through the paths of one entry point (success and each way of failing), so every path
gets its share of the calls; each call also checks its own result.

Calls that send nothing run 100,000 times; calls that reach the tenant service run
1,000 times (each costs a TLS handshake or more). The service runs in a child process,
driven over a pipe, so that only the client's memory is measured: the service's own
request log and the tokens it issues do not count against the modules.

Arguments are made anew for each call, so a reference released once too often frees an
object its caller still holds. Under the sanitizer run (PYTHONMALLOC=malloc, where the
block count is not kept) the same calls run fewer times, without the count: there
AddressSanitizer watches each one.
"""

from __future__ import annotations

import abc
import contextlib
import ctypes
import fnmatch
import gc
import json
import linecache
import re
import os
import shutil
import subprocess
import sys
import tempfile
import time
import typing
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any
from collections.abc import Callable

import pandas
import pytest
import requests
from requests.exceptions import HTTPError

import korvane
from korvane.testing import connect
from korvane_fixtures import PASSWORD, TENANT, USER, end_process, plain_env

pytestmark = pytest.mark.leaks

MEASURED = sys.getallocatedblocks() > 0
LOCAL_CALLS = 100_000 if MEASURED else 2_000
SERVICE_CALLS = 1_000 if MEASURED else 40
# Each durable replacement of the credential file (create, write, fsync, rename,
# directory fsync) takes some 150 microseconds even on a memory file system.
FILE_WRITES = 20_000 if MEASURED else 500

# Bounds on growth per call. Three counts are kept: the interpreter's memory blocks
# (every object of up to 512 bytes), the bytes in use on the C heap (larger objects and
# all native memory), and, as a backstop, the resident size of the process.
#
# One object kept per call is at least one block per call, and a case's paths share its
# calls, so a leak on one path of seven still grows by a seventh of a block per call.
# With the caches emptied at both ends (see `settle`), a run of calls that keeps nothing
# measures within a few blocks and a few hundred heap bytes of zero; over 1,000 requests
# the HTTP stack's own heap use moves by up to about a hundred kilobytes (OpenSSL, the
# allocator's per-thread caches), hence the looser heap bound there.
LOCAL_BOUNDS = (0.001, 1.0)  # blocks, heap bytes per call
SERVICE_BOUNDS = (0.01, 256.0)
RESIDENT_BOUND = 8 * 1024 * 1024  # bytes, over a whole run

CELLWRIGHT = "korvane.tessaly_gpt_sdk.cellwright"
ENDPOINTS = "korvane.tessaly_gpt_sdk.endpoints"
APP_TOKEN = "acme-app-token"
BAD_TENANT = "acme.korvane.example/x?"  # refused by the tenant check before any request


# ---- calls and their measurement -------------------------------------------------------------


def renewed(value: Any) -> Any:
    """An equal but new str, so that the callee gets the only reference its caller holds."""
    if type(value) is str and len(value) > 1:
        return value[:1] + value[1:]
    return value


def returns(expected: Any, function: Callable[..., Any], *args: Any, **kwargs: Any) -> Callable[[], None]:
    def step() -> None:
        result = function(*map(renewed, args), **{k: renewed(v) for k, v in kwargs.items()})
        assert result == expected, f"{function.__name__} returned {result!r}, expected {expected!r}"

    return step


def raises(error: type[BaseException], function: Callable[..., Any], *args: Any, **kwargs: Any) -> Callable[[], None]:
    def step() -> None:
        try:
            function(*map(renewed, args), **{k: renewed(v) for k, v in kwargs.items()})
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")

    return step


def then(*steps: Callable[[], None]) -> Callable[[], None]:
    def step() -> None:
        for s in steps:
            s()

    return step


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):  # not glibc 2.33 or later: no heap count
    _mallinfo2 = None


def heap_bytes() -> int:
    """Bytes in use on the C heap, as the allocator counts them (0 where it cannot tell)."""
    return _mallinfo2().uordblks if _mallinfo2 else 0


def abstract_classes() -> list[abc.ABCMeta]:
    return [obj for obj in gc.get_objects() if isinstance(obj, abc.ABCMeta)]


def settle(abstract: list[abc.ABCMeta]) -> None:
    """Collects garbage and empties the interpreter's caches.

    Caches fill and drain with whatever ran last: the subclass caches of the abstract base
    classes (the HTTP stack's isinstance checks fill them), compiled patterns, typing's
    and fnmatch's memo tables, source lines, the method cache. Emptied at both ends of a
    run, they no longer stand between the two block counts.
    """
    gc.collect()
    for cls in abstract:
        cls._abc_caches_clear()
    re.purge()
    fnmatch._compile_pattern.cache_clear()  # type: ignore[attr-defined]
    for clear in typing._cleanups:  # type: ignore[attr-defined]
        clear()
    linecache.clearcache()
    sys._clear_type_cache()
    gc.collect()


class Discard:
    """Standard output that keeps nothing (a buffered file would hold the last lines)."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


@dataclass
class Growth:
    calls: int
    blocks: int
    heap: int
    resident: int
    seconds: float

    def __str__(self) -> str:
        return (f"{self.calls} calls: {self.blocks:+d} blocks ({self.blocks / self.calls:+.5f}/call), "
                f"heap {self.heap:+d} bytes ({self.heap / self.calls:+.2f}/call), "
                f"resident {self.resident / 1024:+.0f} KiB, {self.seconds:.1f} s")


class Cycle:
    """Runs the steps in turn, so that every path of an entry point gets its share."""

    def __init__(self, steps: list[Callable[[], None]]) -> None:
        self.steps = steps

    def __call__(self, count: int) -> None:
        steps, n = self.steps, len(self.steps)
        for i in range(count):
            steps[i % n]()

    def rounded(self, calls: int) -> int:
        return -(-calls // len(self.steps)) * len(self.steps)

    def measure(self, calls: int, abstract: list[abc.ABCMeta]) -> Growth:
        settle(abstract)
        blocks, heap, resident = sys.getallocatedblocks(), heap_bytes(), resident_bytes()
        started = time.perf_counter()
        self(calls)
        seconds = time.perf_counter() - started
        settle(abstract)
        return Growth(calls, sys.getallocatedblocks() - blocks, heap_bytes() - heap, resident_bytes() - resident,
                      seconds)


def assert_flat(steps: list[Callable[[], None]], calls: int, bounds: tuple[float, float], warmup: int) -> None:
    """Runs `calls` calls after `warmup`; memory must not grow with them."""
    cycle = Cycle(steps)
    calls, warmup = cycle.rounded(calls), cycle.rounded(warmup)
    with contextlib.redirect_stdout(Discard()):
        cycle(warmup)
        if not MEASURED:
            cycle(calls)
            return
        # Found before the run: the search's large temporary list would move the
        # resident size by itself. Warmed up again after a first settle: some caches
        # only fill again once emptied.
        abstract = abstract_classes()
        settle(abstract)
        cycle(warmup)
        growth = cycle.measure(calls, abstract)
    print(growth)
    blocks_per_call, heap_per_call = bounds
    assert growth.blocks < blocks_per_call * calls, f"memory blocks grow with the calls: {growth}"
    assert growth.heap < heap_per_call * calls, f"heap memory grows with the calls: {growth}"
    assert growth.resident < RESIDENT_BOUND, f"resident memory grows with the calls: {growth}"


class DictSubclass(dict):
    pass


class Answers:
    """Standard input that answers the prompts with these lines in turn, endlessly."""

    def __init__(self, *lines: str) -> None:
        self.lines, self.next = lines, 0

    def readline(self) -> str:
        line = self.lines[self.next % len(self.lines)]
        self.next += 1
        return line + "\n"


@pytest.fixture
def secret_file():
    """The credential file on a memory file system where there is one: writes fsync."""
    shm = Path("/dev/shm")
    directory = Path(tempfile.mkdtemp(prefix="korvane-leaks-", dir=shm if shm.is_dir() else None))
    yield directory / "secret.json"
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def authentication(secret_file, monkeypatch) -> ModuleType:
    import korvane.validation.authentication as module

    monkeypatch.setattr(module, "secret_file_path", str(secret_file))
    return module


def pointing(module: ModuleType, path: Path, step: Callable[[], None]) -> Callable[[], None]:
    """`step`, with the module's credential file at `path`."""

    def run() -> None:
        module.secret_file_path = str(path)
        step()

    return run


# ---- the service, in a child process -----------------------------------------------------------

_SERVICE = r"""
import json, sys
from korvane.testing import TenantService

service = TenantService().start()
print(json.dumps(service.connection_info()), flush=True)
for line in sys.stdin:
    name, args, kwargs = json.loads(line)
    try:
        reply = {"result": getattr(service, name)(*args, **kwargs)}
    except Exception as error:
        reply = {"error": repr(error)}
    print(json.dumps(reply), flush=True)
service.stop()
"""


class RemoteService:
    """The local tenant service in a child process; its methods are called over a pipe."""

    def __init__(self) -> None:
        path = [str(Path(korvane.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]
        env = plain_env({**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))})
        self.process = subprocess.Popen([sys.executable, "-c", _SERVICE], env=env, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.process.stdout.readline()  # type: ignore[union-attr]
        if not line:
            raise RuntimeError("the tenant service did not start")
        self.info = json.loads(line)

    def __getattr__(self, name: str) -> Callable[..., Any]:
        def call(*args: Any, **kwargs: Any) -> Any:
            self.process.stdin.write(json.dumps([name, args, kwargs]) + "\n")  # type: ignore[union-attr]
            self.process.stdin.flush()  # type: ignore[union-attr]
            reply = json.loads(self.process.stdout.readline())  # type: ignore[union-attr]
            if "error" in reply:
                raise RuntimeError(f"service.{name}: {reply['error']}")
            return reply["result"]

        return call

    def close(self) -> None:
        self.process.stdin.close()  # type: ignore[union-attr]
        end_process(self.process)


@pytest.fixture(scope="module")
def remote():
    """The service process, with this process routed to it.

    The run trusts the service's CA alone: requests reads its CA bundle on every call,
    and, asked not to verify, still loads OpenSSL's default store; reading the full
    public store costs more than the request itself.
    """
    service = RemoteService()
    try:
        with pytest.MonkeyPatch.context() as patch, tempfile.TemporaryDirectory() as no_certificates:
            for variable in ("REQUESTS_CA_BUNDLE", "SSL_CERT_FILE"):
                patch.setenv(variable, service.info["ca_path"])
            patch.setenv("SSL_CERT_DIR", no_certificates)
            with connect(service.info):
                yield service
    finally:
        service.close()


@pytest.fixture
def remote_account(remote):
    remote.reset()
    remote.add_user(USER, PASSWORD, tenant=TENANT)
    remote.add_app_token(APP_TOKEN, tenant=TENANT)
    return remote


@pytest.fixture
def remote_login(wardlock, remote_account) -> str:
    """A credential file holding alice's password and a token the service accepts."""
    token = remote_account.issue_token(TENANT, USER)
    wardlock._update_credentials(USER, PASSWORD, token, TENANT)
    return token


# ---- calls that send nothing: 100,000 each -------------------------------------------------------


def wardlock_cases(wardlock: ModuleType, secret_file: Path, monkeypatch: pytest.MonkeyPatch) -> dict:
    folder = secret_file.parent
    (folder / "unusable.json").write_text("{not json")
    (folder / "foreign.json").write_text(json.dumps({"TESSALY_SECRET": APP_TOKEN, "TESSALY_TENANT": TENANT}))
    # Asked for credentials, the user gives a tenant that the URL check refuses.
    monkeypatch.setattr(wardlock, "getpass", SimpleNamespace(getpass=lambda prompt: BAD_TENANT))
    return {
        "encrypt": [returns("cMOkc3N3w7ZyZA==", wardlock._encrypt, "pässwörd"),
                    raises(AttributeError, wardlock._encrypt, None)],
        "decrypt": [returns("pässwörd", wardlock._decrypt, "cMOkc3N3w7ZyZA=="),
                    returns("abcde", wardlock._decrypt, "abcde"),
                    returns(None, wardlock._decrypt, None),
                    returns("\udcff\udcfe", wardlock._decrypt, "\udcff\udcfe")],
        "argument binding": [raises(TypeError, wardlock.validate_token),
                             raises(TypeError, wardlock.validate_token, "t", TENANT, "x"),
                             raises(TypeError, wardlock.validate_token, "t", tenant=TENANT, token="t"),
                             raises(TypeError, wardlock._validate_credentials, USER, PASSWORD, tenant=TENANT, x=1),
                             raises(TypeError, wardlock._update_credentials, USER),
                             raises(TypeError, wardlock.authenticate_credentials, 1)],
        "bad tenant": [raises(ValueError, wardlock.validate_token, "t", BAD_TENANT),
                       raises(ValueError, wardlock._validate_credentials, USER, PASSWORD, BAD_TENANT)],
        "credential file": [
            pointing(wardlock, folder / "absent.json", returns((False, None, None), wardlock._check_credentials)),
            pointing(wardlock, folder / "foreign.json", returns((False, None, None), wardlock._check_credentials)),
            pointing(wardlock, folder / "unusable.json", raises(json.JSONDecodeError, wardlock.authenticate_credentials)),
            pointing(wardlock, folder / "absent.json", raises(ValueError, wardlock.authenticate_credentials)),
            pointing(wardlock, folder / "missing" / "secret.json",
                     raises(FileNotFoundError, wardlock._update_credentials, USER, PASSWORD, "t", TENANT)),
        ],
    }


@pytest.mark.parametrize("case", ["encrypt", "decrypt", "argument binding", "bad tenant", "credential file"])
def test_wardlock_calls_that_send_nothing(case, wardlock, secret_file, monkeypatch):
    assert_flat(wardlock_cases(wardlock, secret_file, monkeypatch)[case], LOCAL_CALLS, LOCAL_BOUNDS,
                warmup=2_000)


def authentication_cases(auth: ModuleType, secret_file: Path, monkeypatch: pytest.MonkeyPatch) -> dict:
    folder = secret_file.parent
    (folder / "held.json").write_text(json.dumps({"TESSALY_SECRET": APP_TOKEN, "TESSALY_TENANT": TENANT}))
    (folder / "half.json").write_text(json.dumps({"TESSALY_SECRET": APP_TOKEN}))
    (folder / "unusable.json").write_text("[]")
    # Asked for a token, the user gives a tenant that the URL check refuses.
    monkeypatch.setattr(sys, "stdin", Answers(APP_TOKEN, BAD_TENANT))
    return {
        "argument binding": [raises(TypeError, auth.update_secret, "s"),
                             raises(TypeError, auth._validate_secret, "s", TENANT, "x"),
                             raises(TypeError, auth._validate_secret, "s", secret="s"),
                             raises(TypeError, auth._check_secret, 1),
                             raises(TypeError, auth.authenticate_secret, x=1)],
        "bad tenant": [raises(ValueError, auth._validate_secret, "s", BAD_TENANT),
                       raises(ValueError, auth.update_secret, "s", BAD_TENANT)],
        "credential file": [
            pointing(auth, folder / "absent.json", returns(False, auth._check_secret)),
            pointing(auth, folder / "absent.json", returns(None, auth._get_secret)),
            pointing(auth, folder / "held.json", returns((APP_TOKEN, TENANT), auth._get_secret)),
            pointing(auth, folder / "half.json", returns(False, auth._check_secret)),
            pointing(auth, folder / "half.json", returns((None, None), auth._get_secret)),
            pointing(auth, folder / "unusable.json", raises(AttributeError, auth._check_secret)),
            pointing(auth, folder / "absent.json", raises(ValueError, auth.authenticate_secret)),
        ],
    }


@pytest.mark.parametrize("case", ["argument binding", "bad tenant", "credential file"])
def test_authentication_calls_that_send_nothing(case, authentication, secret_file, monkeypatch):
    assert_flat(authentication_cases(authentication, secret_file, monkeypatch)[case], LOCAL_CALLS,
                LOCAL_BOUNDS, warmup=2_000)


def test_credential_file_writes(wardlock, authentication, secret_file):
    token = "t" * 300
    assert_flat([returns(None, wardlock._update_credentials, USER, "pässwörd", token, TENANT),
                 returns(None, authentication.update_secret, APP_TOKEN, TENANT)],
                FILE_WRITES, LOCAL_BOUNDS, warmup=500)
    assert json.loads(secret_file.read_text()) == {"TESSALY_SECRET": APP_TOKEN, "TESSALY_TENANT": TENANT}
    assert [p.name for p in secret_file.parent.iterdir() if p.name.endswith(".tmp")] == []


def test_engine_client_calls_that_send_nothing(remote_login, fresh_import):
    endpoints = fresh_import(ENDPOINTS)
    assert_flat([raises(TypeError, endpoints.get_completion, b"prompt"),
                 raises(TypeError, endpoints.get_completion, "prompt", True),
                 raises(TypeError, endpoints._invoke_completion, "prompt"),
                 raises(TypeError, endpoints._invoke_gpt_engine, 1),
                 raises(TypeError, endpoints._invoke_gpt_engine, "/x", files=[]),
                 raises(TypeError, endpoints._invoke_gpt_engine, "/x", body=DictSubclass()),
                 raises(TypeError, endpoints._invoke_gpt_engine, "/x", request_type=b"POST"),
                 raises(TypeError, endpoints._invoke_gpt_engine, "/x", streaming=False, stream=True),
                 raises(ValueError, endpoints._invoke_gpt_engine, "/x", request_type="GET"),
                 raises(ValueError, endpoints._invoke_gpt_engine, "@elsewhere.example/x")],
                LOCAL_CALLS, LOCAL_BOUNDS, warmup=2_000)


@pytest.fixture
def cellwright(remote_login, fresh_import, monkeypatch) -> ModuleType:
    """The assistant, freshly imported; `display` keeps only the last object it was given."""
    module = fresh_import(CELLWRIGHT)
    module.shown = [None]
    monkeypatch.setattr(module, "display", lambda shown: module.shown.__setitem__(0, shown))
    return module


def notebook_globals(cellwright: ModuleType) -> dict:
    frame = pandas.DataFrame({"price": [1.5, 2.0], "name": ["a", "b"]})
    return {"__name__": "__main__", "os": os, "pd": pandas, "In": [""], "Out": {}, "count": 5,
            "sales": frame, "my_frame": frame, "empty": pandas.DataFrame(), "exit": None,
            "Exit": "kept", "fn": notebook_globals}


def assistant_cases(cellwright: ModuleType, monkeypatch: pytest.MonkeyPatch) -> dict:
    names = notebook_globals(cellwright)
    composed = cellwright._generate_prompt("plot price", "Write python code for: ", names)
    assert "\t column: price, dtype:float64" in composed and "my_frame" not in composed
    # The commands' engine answers come from a stand-in: these calls are about what the
    # commands do with an answer; get_completion's requests are measured further down.
    monkeypatch.setattr(cellwright, "get_completion", lambda prompt: {"completion": "total = sum(prices)"})
    cellwright.generate_code(names)
    drop_down, _, _, button = cellwright.shown[0].children

    def choose(title: str) -> Callable[[], None]:
        def step() -> None:
            drop_down.value = title

        return step

    display = cellwright.display_next_cell
    return {
        "prompts": [returns(composed, cellwright._generate_prompt, "plot price", "Write python code for: ", names),
                    returns("Write python code for: plot", cellwright._generate_prompt, "plot",
                            "Write python code for: "),
                    returns(list(cellwright.prompt_sample_list.values()), cellwright.get_prompts),
                    raises(TypeError, cellwright._generate_prompt, "q", b"base"),
                    raises(TypeError, cellwright._generate_prompt, 1, "base", {}),
                    raises(TypeError, cellwright._generate_prompt, "q", "base", {1: 2})],
        "cell insertion": [returns(None, display, "answer with `ticks`, \\ and ${x}"),
                           returns(None, cellwright.display_previous_cell, "# Heading\n```python\nx = 1\n```"),
                           returns(None, display, 42),
                           raises(TypeError, display)],
        "commands": [returns("total = sum(prices)", cellwright.optimize_code, "s = 0", names, False),
                     returns(None, cellwright.generate_markdown, "s = 0", names),
                     returns(None, cellwright.generate_code_completion, "sum it", names),
                     returns(None, cellwright.generate_code_completion, "NameError: s", debug_mode=True),
                     raises(TypeError, cellwright.optimize_code, 5),
                     raises(TypeError, cellwright.optimize_code, "code", global_variables=[]),
                     raises(TypeError, cellwright.generate_markdown, "code", DictSubclass()),
                     raises(TypeError, cellwright.generate_code_completion, "q", global_variables="names")],
        # The form's handlers, as the front end triggers them: a new choice, a click.
        "query form": [choose("Debug Code"), button.click, choose(next(iter(cellwright.prompt_sample_list))),
                       button.click, choose("Select the prompt"), button.click],
    }


# Each choice in the form goes through the widgets' change notifications, some 170
# microseconds; each new form is ten widgets (with their layouts and styles), some 3 ms.
FORM_EVENTS = 20_000 if MEASURED else 500
FORMS = 2_000 if MEASURED else 50


@pytest.mark.parametrize("case", ["prompts", "cell insertion", "commands", "query form"])
def test_assistant_calls_that_send_nothing(case, cellwright, monkeypatch):
    calls = FORM_EVENTS if case == "query form" else LOCAL_CALLS
    assert_flat(assistant_cases(cellwright, monkeypatch)[case], calls, LOCAL_BOUNDS, warmup=2_000)


def test_query_forms(cellwright):
    import ipywidgets

    def form() -> None:
        cellwright.generate_code(None)
        assert type(cellwright.shown[0]) is ipywidgets.VBox
        ipywidgets.Widget.close_all()  # as the front end does when the output is cleared

    assert_flat([form], FORMS, SERVICE_BOUNDS, warmup=100)


# ---- calls that reach the tenant service: 1,000 each ----------------------------------------------


def test_validate_token(wardlock, remote_account):
    good = remote_account.issue_token(TENANT, USER)
    dropped = then(lambda: remote_account.fail("token_check", kind="drop"),
                   raises(requests.ConnectionError, wardlock.validate_token, good, TENANT))
    assert_flat([returns(True, wardlock.validate_token, good, TENANT),
                 returns(False, wardlock.validate_token, "never-issued", TENANT),
                 dropped],
                SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


def test_validate_credentials(wardlock, remote_account):
    def accepted() -> None:
        ok, token = wardlock._validate_credentials(USER, renewed(PASSWORD), TENANT)
        assert ok is True and type(token) is str

    assert_flat([accepted,
                 returns((False, None), wardlock._validate_credentials, USER, "wrong", TENANT),
                 then(lambda: remote_account.fail("login", kind="drop"),
                      raises(requests.ConnectionError, wardlock._validate_credentials, USER, PASSWORD, TENANT)),
                 then(lambda: remote_account.fail("login", kind="not_json"),
                      returns((False, None), wardlock._validate_credentials, USER, PASSWORD, TENANT))],
                SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


def test_authenticate_credentials(wardlock, remote_login):
    def logged_in() -> None:
        token, tenant = wardlock.authenticate_credentials()
        assert type(token) is str and tenant == TENANT

    # A refused token in the file: the call logs in again and stores the new token.
    stale = returns(None, wardlock._update_credentials, USER, PASSWORD, "stale-token", TENANT)
    assert_flat([logged_in, then(stale, logged_in)], SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


def test_validate_secret(authentication, remote_account):
    dropped = then(lambda: remote_account.fail("app_token", kind="drop"),
                   raises(requests.ConnectionError, authentication._validate_secret, APP_TOKEN, TENANT))
    assert_flat([returns(True, authentication._validate_secret, APP_TOKEN, TENANT),
                 returns(False, authentication._validate_secret, "unknown/token?", TENANT),
                 dropped],
                SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


def test_authenticate_secret(authentication, remote_account, monkeypatch):
    # A refused token in the file: the user is asked, and gives the registered one.
    monkeypatch.setattr(sys, "stdin", Answers(APP_TOKEN, TENANT))
    refused = returns(None, authentication.update_secret, "refused-token", TENANT)
    held = returns((APP_TOKEN, TENANT), authentication.authenticate_secret)
    assert_flat([then(refused, held), held], SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


@pytest.fixture
def endpoints(remote_login, fresh_import) -> ModuleType:
    return fresh_import(ENDPOINTS)


def test_get_completion(endpoints, remote_account):
    def answered() -> None:
        assert type(endpoints.get_completion(renewed("write a loop"), 50)["completion"]) is str

    failing = then(lambda: remote_account.fail("completion", 500), raises(HTTPError, endpoints.get_completion, "x"))
    # The module's token is revoked: the call logs in again first.
    revoked = then(lambda: remote_account.revoke(endpoints.auth_token), answered)
    assert_flat([answered, failing, revoked], SERVICE_CALLS, SERVICE_BOUNDS, warmup=30)


def test_invoke_gpt_engine(endpoints, remote_account):
    invoke = endpoints._invoke_gpt_engine

    def echoed(method: str, **options: Any) -> Callable[[], None]:
        def step() -> None:
            answer = invoke(renewed("/jobs/7"), **options)
            assert answer["method"] == method and answer["path"] == "/jobs/7"

        return step

    def streamed() -> None:
        response = invoke("/jobs/7", streaming=True, body={"n": 1})
        assert type(response) is requests.Response and response.status_code == 200

    body = {"name": "report", "rows": [1, 2, 3]}
    files = {"upload": ("data.csv", b"a,b\n1,2\n", "text/csv")}
    assert_flat([echoed("POST", body=body),
                 echoed("POST", body={"field": "value"}, data_as_json=False),
                 echoed("POST", body={"field": "value"}, files=files, data_as_json=False),
                 echoed("DELETE", body=body, request_type="DELETE"),
                 streamed,
                 then(lambda: remote_account.fail("engine", 503), raises(HTTPError, invoke, "/jobs/7")),
                 then(lambda: remote_account.fail("engine", kind="drop"),
                      raises(requests.ConnectionError, invoke, "/jobs/7", request_type="DELETE"))],
                SERVICE_CALLS, SERVICE_BOUNDS, warmup=35)

