"""The front-end parts' answer rules, checked by their Node table (tests/js/)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

TABLES = Path(__file__).resolve().parent / "js"


def test_the_answer_rules_hold_in_node():
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    done = subprocess.run([node, "--test", str(TABLES)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
