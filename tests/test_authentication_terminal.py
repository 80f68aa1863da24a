"""authenticate_secret() as a person uses it: a script in a terminal answering its prompts."""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

import pytest

pexpect = pytest.importorskip("pexpect", reason="pexpect is needed to drive a script in a pseudo-terminal")

import korvane  # noqa: E402

PACKAGE_PARENT = str(Path(korvane.__file__).resolve().parent.parent)
# From 3.12 on, forking while the local service's threads run warns; the child execs at once.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")

SCRIPT = """
import sys
from korvane.testing import connect
connect(sys.argv[1])
import korvane.validation.authentication as auth
auth.secret_file_path = sys.argv[2]
print("PAIR", auth.authenticate_secret())
"""


@pytest.fixture
def run_script(service, tmp_path):
    info = tmp_path / "service.json"
    info.write_text(json.dumps(service.connection_info()))
    secret = tmp_path / "secret.json"
    # The child imports korvane from where this process does (installed, or a source tree).
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])),
           "PYTHON_COLORS": "0"}  # 3.13 colours tracebacks on a terminal

    children = []

    def spawn():
        child = pexpect.spawn(sys.executable, ["-c", SCRIPT, str(info), str(secret)],
                              env=env, encoding="utf-8", timeout=30)
        children.append(child)
        return child, secret

    yield spawn
    for child in children:
        child.close(force=True)  # a child that a failed expectation left waiting


def answer_prompts(child, token: str, tenant: str) -> None:
    child.expect_exact("TESSALY_SECRET is not provided please add it manually")
    child.expect_exact("Please enter the token: ")
    child.sendline(token)
    child.expect_exact(token)  # typed in clear: the terminal echoes it
    child.expect_exact("Please enter the tenant: ")
    child.sendline(tenant)


def finish(child) -> int:
    child.expect(pexpect.EOF)
    child.close()
    return child.exitstatus


def test_entered_pair_is_returned_and_kept(run_script, account):
    child, secret = run_script()
    answer_prompts(child, account.app_token, account.tenant)
    child.expect_exact(f"PAIR ('{account.app_token}', '{account.tenant}')")
    assert finish(child) == 0
    assert json.loads(secret.read_text()) == {"TESSALY_SECRET": account.app_token, "TESSALY_TENANT": account.tenant}


def test_a_wrong_token_ends_the_script_with_permission_error(run_script, account):
    child, secret = run_script()
    answer_prompts(child, "not-the-token", account.tenant)
    child.expect_exact("Provided token is invalid. Please provide a valid token")
    child.expect_exact("Traceback (most recent call last):")
    child.expect_exact("PermissionError: Invalid token, program will exit now")
    assert finish(child) == 1
    assert not secret.exists()
