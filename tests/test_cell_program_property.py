"""The cell-insertion programs, run by a JavaScript engine: the new cell's text is the answer, exactly.

The programs go to the browser through display(Javascript(...)). Here one node
process runs them all against a small stand-in for the notebook front end, which
records the kind and place of the inserted cell and the text it was given.
"""

from __future__ import annotations

import json
import os
import subprocess
from typing import Any

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from korvane_fixtures import end_process, plain_env

NODE = "/usr/bin/node"

pytestmark = pytest.mark.skipif(not os.access(NODE, os.X_OK), reason=f"{NODE} is not installed")

# Reads one JSON line per program, runs the program with `Jupyter` bound to a
# recording stand-in, and answers one JSON line with what the program did.
_RUNNER = r"""
const vm = require('vm');
const readline = require('readline');
const lines = readline.createInterface({input: process.stdin, crlfDelay: Infinity});
lines.on('line', line => {
    const calls = [];
    const cell = {
        set_text: text => calls.push(['set_text', text]),
        focus_cell: () => calls.push(['focus_cell']),
    };
    const notebook = {
        insert_cell_below: type => { calls.push(['insert_cell_below', type]); return cell; },
        insert_cell_above: type => { calls.push(['insert_cell_above', type]); return cell; },
    };
    let error = null;
    try {
        vm.runInNewContext(JSON.parse(line), {Jupyter: {notebook}}, {timeout: 2000});
    } catch (e) {
        error = String(e);
    }
    process.stdout.write(JSON.stringify({calls, error}) + '\n');
});
"""

INSERTIONS = {
    "display_next_cell": ("insert_cell_below", "code"),
    "display_previous_cell": ("insert_cell_above", "markdown"),
}
PREFIX = "\n        var code_cell = Jupyter.notebook.{}('{}');\n        code_cell.set_text(`"
SUFFIX = "`);\n        code_cell.focus_cell();\n    "


class NodeRunner:
    """One node process that runs programs one after another."""

    def __init__(self) -> None:
        self.proc = subprocess.Popen([NODE, "-e", _RUNNER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=plain_env())

    def run(self, program: str) -> dict[str, Any]:
        assert self.proc.stdin and self.proc.stdout
        # The program crosses to the browser as UTF-8 text; so it does here.
        self.proc.stdin.write(json.dumps(program, ensure_ascii=False).encode("utf-8") + b"\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, "node ended without answering"
        return json.loads(line.decode("utf-8"))

    def close(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        end_process(self.proc)


@pytest.fixture(scope="module")
def node():
    runner = NodeRunner()
    yield runner
    runner.close()


@pytest.fixture
def cellwright(logged_in, fresh_import, monkeypatch):
    """The assistant, with the objects it hands to `display` collected in `.shown`."""
    module = fresh_import("korvane.tessaly_gpt_sdk.cellwright")
    shown: list[Any] = []
    monkeypatch.setattr(module, "display", shown.append)
    module.shown = shown
    return module


def inserted_text(cellwright, node, function: str, text: str) -> str:
    """Build the program for *text* with *function*, run it in node, and return the text the cell got."""
    cellwright.shown.clear()
    getattr(cellwright, function)(text)
    (shown,) = cellwright.shown
    program = shown.data
    method, cell_type = INSERTIONS[function]
    assert program.startswith(PREFIX.format(method, cell_type)) and program.endswith(SUFFIX)
    result = node.run(program)
    assert result["error"] is None, f"the program does not run: {result['error']}\n{program}"
    calls = result["calls"]
    assert [c[0] for c in calls] == [method, "set_text", "focus_cell"]
    assert calls[0][1] == cell_type
    return calls[1][1]


# Text that is special to a template literal or to an HTML page, mixed with any other text.
_FRAGMENTS = ["`", "${", "$", "{", "}", "\\", "\\`", "\\${", "$${", "\n", "\r", "\r\n", "\t",
              "</script>", "<!--", "\u2028", "\u2029", "\x00", "\\u0041", "\\x41", "\\0", "```python\n"]
answers = st.lists(
    st.one_of(st.sampled_from(_FRAGMENTS), st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)),
    max_size=12,
).map("".join)


@pytest.mark.parametrize("function", sorted(INSERTIONS))
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(answer=answers)
@example(answer="")
@example(answer="```python\nprint(f'${x} costs \\\\$5')\n```\n</script><script>alert(1)</script>")
def test_the_new_cell_holds_the_answer_exactly(cellwright, node, function, answer):
    assert inserted_text(cellwright, node, function, answer) == answer


@pytest.mark.parametrize("function", sorted(INSERTIONS))
@pytest.mark.parametrize("answer", ["\ud800", "a\udfffb", "\udc00\udbff", "`\ud83d${"])
def test_lone_surrogates_reach_the_cell_unchanged(cellwright, node, function, answer):
    # A lone surrogate has no UTF-8 form, so it must travel escaped; JavaScript strings can hold it.
    assert inserted_text(cellwright, node, function, answer) == answer
