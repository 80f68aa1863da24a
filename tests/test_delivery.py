"""Answers land where no korvane front-end part runs: through the kernel protocol's
set_next_input payload, at a terminal's next prompt, and as copyable text everywhere."""

from __future__ import annotations

import contextlib
import json
import os
import re
import subprocess
import sys
import textwrap
import time

import nbformat
import pexpect
from korvane_fixtures import OFFLINE_LOGIN
from test_magics import ANSWER, ANSWER_MIME_TYPE, FROM_THE_PART, answering, kernel  # noqa: F401  (fixtures)

VSCODE = {"cellId": "vscode-notebook-cell:/home/u/analysis.ipynb#W1sZmlsZQ%3D%3D"}
LAB = {"cellId": "7d6b0c4e-5b1f-4a55-9f0e-0a3f1c2b9d11"}  # JupyterLab, Notebook 7 without the part
COLAB = {"colab": {"cell_id": "x1"}}
NO_CELL_ID = {}  # the classic notebook without the part, a console, nbclient
COMMAND = "from korvane.tessaly_gpt_sdk import cellwright\ncellwright.generate_code_completion('plot', globals())"
ESCAPES = re.compile(r"\x1b(?:\[[0-9;?]*[A-Za-z]|\][^\x07]*\x07)")  # a terminal's colours, cursor moves, title
INSERTED = [{"source": "set_next_input", "text": ANSWER, "replace": False}]

# (who asks, the cell, the payloads of its reply, a word of the copyable text's heading or
# None where korvane's part inserts and nothing else shows)
ASKS = [
    ("JupyterLab, magic", LAB, "%korvane plot", INSERTED, "below:"),
    ("JupyterLab, command", LAB, COMMAND, INSERTED, "below:"),
    ("VS Code, magic", VSCODE, "%korvane plot", INSERTED, "below:"),
    ("VS Code, command", VSCODE, COMMAND, INSERTED, "below:"),
    # The classic notebook runs the command's program itself: a payload would insert twice.
    ("no cell id, magic", NO_CELL_ID, "%korvane plot", INSERTED, "below:"),
    ("no cell id, command", NO_CELL_ID, COMMAND, [], "below:"),
    ("Colab, magic", COLAB, "%korvane plot", [], "Colab inserts no cell"),
    ("Colab, command", COLAB, COMMAND, [], "Colab inserts no cell"),
    ("markdown, no part", LAB, "%korvane --markdown x = 1", [], "above:"),  # a payload inserts code cells only
    ("the part", FROM_THE_PART, "%korvane plot", [], None),
    ("the part, command", FROM_THE_PART, COMMAND, [], None),
]


def copyable_heading(displays) -> str | None:
    texts = [d["text/markdown"] for d in displays if "text/markdown" in d and ANSWER_MIME_TYPE not in d]
    return texts[0].split("\n", 1)[0] if texts else None


def test_each_front_end_gets_the_answer_inserted_once_or_as_text(kernel, logged_in, answering):  # noqa: F811
    kernel.run_ok("%load_ext korvane")
    for case, metadata, cell, payloads, heading in ASKS:
        ran = kernel.run(cell, metadata=metadata)
        assert ran.failure is None, (case, ran.failure)
        assert ran.reply["payload"] == payloads, case
        shown = copyable_heading(ran.displays)
        assert (shown is None) if heading is None else (heading in shown), (case, shown)
        # The same cell with the same question again: the cell below already holds the answer.
        again = kernel.run(cell, metadata=metadata)
        assert again.reply["payload"] == [], case
        if payloads:
            assert "earlier run" in copyable_heading(again.displays), case


def test_a_terminal_gets_the_code_answer_at_its_next_prompt(tmp_path, routed, logged_in, secret_file, service):
    service.engine = lambda query, max_tokens: ANSWER
    info = tmp_path / "service.json"
    info.write_text(json.dumps(service.connection_info()))
    setup = (f"import korvane.testing, korvane.validation.wardlock as w; korvane.testing.connect({str(info)!r}); "
             f"w.secret_file_path = {str(secret_file)!r}")
    env = {k: v for k, v in os.environ.items() if "korvane-route-" not in v}
    # The shell is killed at the end: what its routing keeps in TMPDIR stays in the test's folder.
    env.update(IPYTHONDIR=str(tmp_path / "ipython"), TMPDIR=str(tmp_path))
    shell = pexpect.spawn(sys.executable, ["-m", "IPython", "--no-banner", "--colors=NoColor", "-c", setup, "-i"],
                          env=env, encoding="utf-8", timeout=60, dimensions=(40, 200))
    screen = ""

    def until(pattern: str) -> None:
        nonlocal screen
        deadline = time.monotonic() + 60
        while not re.search(pattern, ESCAPES.sub("", screen)):
            assert time.monotonic() < deadline, ESCAPES.sub("", screen)[-2000:]
            with contextlib.suppress(pexpect.TIMEOUT):
                screen += shell.read_nonblocking(10000, timeout=1)

    try:
        until(r"In \[1\]:")
        shell.sendline("%load_ext korvane")
        until(r"In \[2\]:")
        shell.sendline("%korvane plot the sales")
        # The next prompt holds the answer, ready to edit and run.
        until(r"In \[3\]: " + re.escape(ANSWER.strip()))
    finally:
        shell.terminate(force=True)


def test_a_script_and_an_export_show_the_commands_answer(tmp_path):
    # A script prints the answer it would have inserted: before, it printed only the repr of
    # the Javascript object and the answer was lost.
    script = OFFLINE_LOGIN + textwrap.dedent("""
        import korvane.tessaly_gpt_sdk.endpoints as endpoints
        endpoints.get_completion = lambda prompt: {"completion": "print('from the engine')"}
        from korvane.tessaly_gpt_sdk import cellwright
        cellwright.get_completion = endpoints.get_completion
        assert cellwright.generate_code_completion("say hi", {}) is None
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "print('from the engine')"

    # An HTML export of an executed notebook shows the answer in the asking cell's output.
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(script)])
    path = tmp_path / "asks.ipynb"
    nbformat.write(notebook, path)
    exported = subprocess.run([sys.executable, "-m", "nbconvert", "--to", "html", "--execute",
                               "--output-dir", str(tmp_path), str(path)], capture_output=True, text=True, timeout=180,
                              cwd=tmp_path, env={**os.environ, "JUPYTER_DATA_DIR": str(tmp_path / "data"),
                                                 "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    assert exported.returncode == 0, exported.stderr
    html = (tmp_path / "asks.html").read_text()
    assert "from the engine" in html.split("to go in a new code cell below", 1)[1]
