"""Fixtures for the korvane modules: a private credential file and fresh imports.

The modules keep their credential file in the package root. Tests never touch that
file: `wardlock` points the login at a file under tmp_path, and the modules that log
in while they are imported read it through wardlock's `secret_file_path` at call time.
"""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator
from types import ModuleType, SimpleNamespace

import pytest

#: The account every test starts with (see the ``service`` fixture), and the stub check's.
ACCOUNT = SimpleNamespace(tenant="acme", username="alice", password="wonderland", app_token="acme-app-token")
USER, PASSWORD, TENANT = ACCOUNT.username, ACCOUNT.password, ACCOUNT.tenant

KORVANE_MODULES = (
    "korvane.tessaly_gpt_sdk.cellwright",
    "korvane.tessaly_gpt_sdk.endpoints",
    "korvane.validation.authentication",
    "korvane.validation.wardlock",
)


def plain_env(base: dict[str, str] | None = None) -> dict[str, str]:
    """The environment for a child that runs none of korvane's modules (the service, node).

    The sanitizer run preloads its runtime into every process it starts; only the code
    under test is meant to run with it.
    """
    env = dict(os.environ if base is None else base)
    if env.get("LD_PRELOAD") and env.get("LD_PRELOAD") == env.get("KORVANE_SANITIZER_PRELOAD"):
        del env["LD_PRELOAD"]
    return env


def end_process(process: subprocess.Popen, timeout: float = 10) -> None:
    """Waits up to *timeout* seconds for *process* to end, then kills it: never left running."""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=timeout)
        raise


@pytest.fixture
def secret_file(tmp_path):
    """Where the tests keep the credential file (absent until something writes it)."""
    return tmp_path / "secret.json"


@pytest.fixture
def wardlock(secret_file, monkeypatch) -> ModuleType:
    """The credential login, reading and writing the test's own credential file."""
    module = importlib.import_module("korvane.validation.wardlock")
    monkeypatch.setattr(module, "secret_file_path", str(secret_file))
    return module


@pytest.fixture
def auth(secret_file, monkeypatch) -> ModuleType:
    """The app-token module, reading and writing the test's own credential file."""
    module = importlib.import_module("korvane.validation.authentication")
    monkeypatch.setattr(module, "secret_file_path", str(secret_file))
    return module


@pytest.fixture
def logged_in(wardlock, service, routed) -> str:
    """A credential file holding alice's password and a token the service accepts."""
    token = service.issue_token(TENANT, USER)
    wardlock._update_credentials(USER, PASSWORD, token, TENANT)
    return token


@pytest.fixture
def fresh_import(wardlock) -> Iterator[Callable[[str], ModuleType]]:
    """Imports a korvane module anew (running its import-time login again).

    wardlock itself stays loaded, so the fresh module logs in with the test's
    credential file. The modules loaded before the test are put back afterwards.
    """
    saved = {name: sys.modules.get(name) for name in KORVANE_MODULES}

    def load(name: str) -> ModuleType:
        for other in KORVANE_MODULES:
            if other != "korvane.validation.wardlock":
                sys.modules.pop(other, None)
        return importlib.import_module(name)

    yield load
    for name, module in saved.items():
        parent, _, child = name.rpartition(".")
        if module is None:
            sys.modules.pop(name, None)
            if hasattr(sys.modules.get(parent), child):
                delattr(sys.modules[parent], child)
        else:
            sys.modules[name] = module
            setattr(sys.modules[parent], child, module)


#: Puts in front of a script for run_isolated: importing the notebook assistant then logs
#: in without a request (the credential login answers a fixed token and tenant).
OFFLINE_LOGIN = """
import korvane.validation.wardlock
korvane.validation.wardlock.authenticate_credentials = lambda: ("token", "acme")
"""


def run_isolated(script: str, timeout: float = 120) -> None:
    """Runs *script* in a fresh interpreter with this one's import path and fails the test
    if it does not end well, so that a crash fails the test that caused it instead of the
    whole run. The child is killed when the timeout passes."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}\n{done.stderr}"
