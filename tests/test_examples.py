"""The README's and the examples' instructions, run as written, answers included."""

from __future__ import annotations

import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from korvane.magics import ANSWER_MIME_TYPE
from korvane_fixtures import OFFLINE_LOGIN, run_isolated
from test_magics import kernel, started_kernel  # noqa: F401  (the kernel fixture)

ROOT = Path(__file__).resolve().parents[1]
# An answer inserted by a cell program: the text of the template literal handed to set_text.
CELL_PROGRAM = re.compile(r"insert_cell_below\('code'\);\s*code_cell\.set_text\(`(.*)`\);", re.DOTALL)


def inserted_code(ran) -> list[str]:
    """The code answers a cell delivered, as they would land in new cells."""
    answers = []
    for shown in ran.displays:
        if shown.get(ANSWER_MIME_TYPE, {}).get("cell_type") == "code":
            answers.append(shown[ANSWER_MIME_TYPE]["answer"])
        elif (program := CELL_PROGRAM.search(shown.get("application/javascript", ""))) is not None:
            answers.append(re.sub(r"\\(u[0-9A-F]{4}|r|[\s\S])", lambda m: chr(int(m[1][1:], 16)) if len(m[1]) == 5
                                  else "\r" if m[1] == "r" else m[1], program[1]))
    return answers


def run_with_answers(kernel, source: str) -> list[str]:
    """Runs a cell, then every code answer it delivered; returns those answers."""
    answers = inserted_code(kernel.run_ok(source))
    for answer in answers:
        ran = kernel.run_ok(answer)
        assert ran.stdout.strip(), answer  # it shows something, as its comment promises
    return answers


def test_the_readmes_magic_example_runs_and_so_does_its_answer(kernel, logged_in, service):  # noqa: F811
    use = (ROOT / "README.md").read_text(encoding="utf-8").split("## Use", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```(?:python)?\n(.*?)```", use, re.DOTALL)
    setup, ask = next(b for b in blocks if "DataFrame(" in b), next(b for b in blocks if b.startswith("%%korvane"))
    kernel.run_ok("%load_ext korvane")
    kernel.run_ok(setup)
    (answer,) = run_with_answers(kernel, ask)
    assert not re.search(r"^\s*(import|from) ", answer, re.MULTILINE)  # nothing the notebook does not have


@pytest.fixture
def plain_kernel(tmp_path):
    """A new kernel in a temporary folder, routed nowhere: the quickstart sets up its own service."""
    with started_kernel(tmp_path) as kernel:
        yield kernel


def test_the_quickstart_runs_end_to_end_and_so_do_the_answers_it_inserts(plain_kernel):
    notebook = json.loads((ROOT / "examples" / "quickstart.ipynb").read_text(encoding="utf-8"))
    cells = ["".join(c["source"]) for c in notebook["cells"] if c["cell_type"] == "code"]
    answers = [answer for source in cells for answer in run_with_answers(plain_kernel, source)]
    assert len(answers) == 2  # the command's and the magic's
    assert all("sales" in answer for answer in answers)


def test_the_examples_docstring_commands_work_as_written():
    example = ROOT / "examples" / "completion.py"
    (command,) = re.findall(r"^    (python .+)$", example.read_text(encoding="utf-8"), re.MULTILINE)
    argv = [sys.executable, *shlex.split(command)[1:]]
    done = subprocess.run(argv, cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "read_csv('sales.csv')" in done.stdout


def test_the_local_service_without_its_extra_says_how_to_install_it():
    run_isolated(OFFLINE_LOGIN + """
import sys
sys.modules["trustme"] = None  # as if the extra were not installed
try:
    import korvane.testing
except ImportError as error:
    assert "pip install 'korvane[testing]'" in str(error), error
else:
    raise AssertionError("imported without trustme")
""")
