"""The kernel's side of the front-end parts' cell actions, asked as the parts ask: a silent
request whose code their own actions.js writes. Each answer comes as the magic's answer data
for the part to place; each failure as one line, never as an exception of the kernel's, so
that %korvane --error and %tb still see the user's last error."""

from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path

import pytest

from korvane.cell_actions import ACTION_MIME_TYPE, NOT_LOADED
from korvane_fixtures import plain_env
from test_magics import ANSWER_MIME_TYPE, completions, kernel  # noqa: F401  (fixture)

ACTIONS_JS = Path(__file__).resolve().parents[1] / "jupyter/labextensions/korvane/static/actions.js"
# Code a cell may hold: quotes, a backslash, and characters that Python's str.splitlines takes
# for line ends although JSON leaves them as they are.
CODE = 'label = "it\'s \\"x\\" \\\\ n"  # \u2028 \u0085 \u2029 \U0001f40d'
SILENT = {"silent": True, "store_history": False, "stop_on_error": False}


def programs(*asked: tuple[str, dict]) -> list[str]:
    """The code the parts send for each (action, extra), about a cell holding CODE."""
    if shutil.which("node") is None:
        pytest.skip("node is not installed: the parts' own code for the requests cannot be made")
    script = """
        const actions = require(process.argv[1]);
        const asked = JSON.parse(process.argv[2]);
        const cell = {type: 'code', source: process.argv[3]};
        console.log(JSON.stringify(asked.map(([action, extra]) => actions.program(actions.prepare(action, cell, extra).request))));
    """
    made = subprocess.run(["node", "-e", script, str(ACTIONS_JS), json.dumps(asked), CODE],
                          capture_output=True, text=True, timeout=60, check=True, env=plain_env())
    return json.loads(made.stdout)


def act(kernel, program: str):  # noqa: F811
    ran = kernel.run(program, **SILENT)
    assert ran.failure is None, ran.failure  # the kit never fails the request itself
    answers = [d[ANSWER_MIME_TYPE] for d in ran.displays if ANSWER_MIME_TYPE in d]
    failures = [d[ACTION_MIME_TYPE]["failed"] for d in ran.displays if ACTION_MIME_TYPE in d]
    return answers, failures


def test_each_action_asks_what_it_says_and_hands_back_data(kernel, logged_in, service):  # noqa: F811
    service.engine = lambda query, max_tokens: "the answer"
    explain, optimise, ask = programs(("explain", {}), ("optimise", {}), ("ask", {"question": "  plot it "}))
    assert act(kernel, explain) == ([], [NOT_LOADED]) and completions(service) == []  # before %load_ext korvane
    kernel.run_ok("%load_ext korvane")
    failing = kernel.run("1 / 0")
    traceback = failing.tracebacks[0]
    kernel.run_ok("%korvane --error")
    (error,) = programs(("error", {"traceback": traceback}))

    # (the action's code, where its answer goes, what its query must hold)
    cases = [
        (explain, ("markdown", "above"), CODE),
        (optimise, ("code", "below"), CODE),
        (ask, ("code", "below"), "plot it\n\nThe code this is about:\n" + CODE),
        # as the debug mode sends it: the very prompt of %korvane --error for the same error
        (error, ("markdown", "below"), completions(service)[-1]),
    ]
    for program, (cell_type, where), held in cases:
        assert act(kernel, program) == ([{"answer": "the answer", "cell_type": cell_type, "where": where}], [])
        assert held in completions(service)[-1], (held, completions(service)[-1])
    assert "\x1b[" not in completions(service)[-1] and "ZeroDivisionError" in completions(service)[-1]

    # A failure: one line, nothing raised in the kernel, and the user's last error is still
    # the one --error explains.
    service.fail("completion", 500)
    answers, (failure,) = act(kernel, explain)
    assert answers == [] and "answered with an error" in failure
    kernel.run_ok("%korvane --error")
    assert "ZeroDivisionError" in completions(service)[-1]
