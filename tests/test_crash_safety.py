"""The credential file survives its writer being killed at any moment.

A kernel that dies (killed by the user, out of memory, a crash in other code) while it
writes secret.json must not leave a torn or emptied file: that would lock its user out.
Here a process rewrites the file in a tight loop, through both modules in turn, with
large and distinct contents, and is killed with SIGKILL at a random moment; after each
kill the file is absent (never written yet) or exactly one of the contents written,
never anything else, and a temporary file left behind by the dead writer is removed by
the next write from another process.
"""

from __future__ import annotations

import base64
import json
import os
import random
import re
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

import korvane
from korvane_fixtures import end_process

KILLS = 200
TIME_BUDGET = 60.0  # seconds; the kills stop early rather than run over
TENANT = "acme"
FILLER = 40_000  # characters of each content's distinct filler


def content(i: int) -> dict[str, str]:
    """The i-th content the writer stores: credentials for even i, an app token for odd i."""
    filler = f"{i:08d}" * (FILLER // 8)
    if i % 2 == 0:
        return {"username": f"user-{i}", "password": f"pässwörd-{i}", "token": f"token-{i}-{filler}"}
    return {"secret": f"app-token-{i}-{filler}"}


def stored_text(i: int) -> str:
    """The file's text after the i-th write, as each module lays it out."""
    c = content(i)
    if i % 2 == 0:
        password = base64.b64encode(c["password"].encode("utf-8")).decode("ascii")
        return json.dumps({"TESSALY_USERNAME": c["username"], "TESSALY_PASSWORD": password,
                           "TESSALY_TOKEN": c["token"], "TESSALY_TENANT": TENANT})
    return json.dumps({"TESSALY_SECRET": c["secret"], "TESSALY_TENANT": TENANT})


# Forks one writer per command: forking from a process that has imported the modules
# costs milliseconds where starting an interpreter costs most of a second.
_WRITERS = r"""
import os, sys
sys.path.insert(0, sys.argv[1])
from test_crash_safety import TENANT, content
import korvane.validation.authentication as authentication
import korvane.validation.wardlock as wardlock

def write_forever(path):
    wardlock.secret_file_path = authentication.secret_file_path = path
    parent = os.getppid()
    i = 0
    while os.getppid() == parent:  # stop if the test has gone away
        c = content(i)
        if i % 2 == 0:
            wardlock._update_credentials(c["username"], c["password"], c["token"], TENANT)
        else:
            authentication.update_secret(c["secret"], TENANT)
        i += 1
    os._exit(0)

for line in sys.stdin:
    command, argument = line.rstrip("\n").split(" ", 1)
    if command == "spawn":
        pid = os.fork()
        if pid == 0:
            write_forever(argument)
        print(pid, flush=True)
    elif command == "reap":
        print(os.waitpid(int(argument), 0)[1], flush=True)
"""


class Writers:
    """A process that forks writers on demand and reaps them once they are killed."""

    def __init__(self) -> None:
        path = [str(Path(korvane.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, path))}
        self.process = subprocess.Popen([sys.executable, "-c", _WRITERS, str(Path(__file__).parent)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def ask(self, command: str) -> int:
        self.process.stdin.write(command + "\n")  # type: ignore[union-attr]
        self.process.stdin.flush()  # type: ignore[union-attr]
        answer = self.process.stdout.readline()  # type: ignore[union-attr]
        assert answer, "the writers' process ended"
        return int(answer)

    def close(self) -> None:
        self.process.stdin.close()  # type: ignore[union-attr]
        end_process(self.process, timeout=30)


@pytest.fixture
def writers():
    w = Writers()
    yield w
    w.close()


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name != "secret.json")


def test_killed_writers_leave_a_whole_file_or_none(writers, tmp_path, monkeypatch):
    import korvane.validation.authentication as authentication
    import korvane.validation.wardlock as wardlock

    rng = random.Random(20240607)
    seen = {"absent": 0, "whole": 0, "temporary left": 0, "temporary beside a whole file": 0}
    started = time.monotonic()
    kills = 0
    while kills < KILLS and time.monotonic() - started < TIME_BUDGET:
        directory = tmp_path / f"kill-{kills}"
        directory.mkdir()
        secret = directory / "secret.json"
        pid = writers.ask(f"spawn {secret}")
        # A write takes some milliseconds (mostly the fsync): the moments land before the
        # first write (every eighth kill is at once), inside it, and inside and between
        # later ones.
        time.sleep(0 if kills % 8 == 0 else rng.uniform(0, 0.06))
        os.kill(pid, signal.SIGKILL)
        status = writers.ask(f"reap {pid}")
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, f"writer ended with {status}"
        kills += 1

        temporary = leftovers(directory)
        assert all(re.fullmatch(rf"\.secret\.json\.{pid}\.\d+\.tmp", name) for name in temporary), temporary
        seen["temporary left"] += bool(temporary)
        if not secret.exists():
            seen["absent"] += 1
        else:
            seen["whole"] += 1
            text = secret.read_text()
            written = re.search(r'"(?:user|app-token)-(\d+)', text)
            assert written and text == stored_text(int(written.group(1))), (
                f"torn content after kill {kills}: {len(text)} characters, starting {text[:40]!r}")
            assert stat.S_IMODE(secret.stat().st_mode) == 0o600
            seen["temporary beside a whole file"] += bool(temporary)

        # The next write, from this process, replaces the file and clears what the dead
        # writer left.
        monkeypatch.setattr(wardlock, "secret_file_path", str(secret))
        monkeypatch.setattr(authentication, "secret_file_path", str(secret))
        if kills % 2:
            wardlock._update_credentials("alice", "wonderland", "token", TENANT)
        else:
            authentication.update_secret("app-token", TENANT)
        assert leftovers(directory) == []

    print(f"{kills} kills survived in {time.monotonic() - started:.1f} s: {seen}")
    assert kills >= KILLS // 4, f"only {kills} kills fitted in the time budget"
    # The moments must have covered the case that matters: killed while replacing a
    # file that was already there.
    assert seen["temporary beside a whole file"], seen
