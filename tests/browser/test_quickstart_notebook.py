"""The quickstart notebook, walked from top to bottom with Shift-Enter in each front end, as it
tells a new user to: every asking cell asks once, and the login is typed into input boxes."""

from __future__ import annotations

import json
import tempfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.browser

QUICKSTART = Path(__file__).resolve().parents[2] / "examples" / "quickstart.ipynb"
LOGIN = [("Please enter the username:", "alice"), ("Please enter the password:", "wonderland"),
         ("Please enter the tenant:", "demo")]
IMPORT = "from korvane.tessaly_gpt_sdk.cellwright import generate_code, generate_code_completion, generate_markdown"


def walk(nb, answers: list[tuple[str, str]]) -> None:
    """Shift-Enter from the first cell to the last, as a person does, waiting for each cell."""
    nb.page.evaluate(nb.command_mode_js, 0)
    for _ in range(100):
        running = nb.active_index()
        was_last = running == len(nb.cells()) - 1
        nb.press("Shift+Enter")
        typed = len(answers)
        nb.settle(answers)
        if len(answers) != typed:  # the keyboard was in the input boxes: on to the next cell
            nb.page.evaluate(nb.command_mode_js, running + 1)
        if was_last:
            return
    pytest.fail("the walk never reached the last cell")


def test_a_shift_enter_walk_of_the_quickstart_asks_each_cell_once(open_notebook, front_end):
    left_in_temp = set(Path(tempfile.gettempdir()).glob("korvane-quickstart-*"))
    cells = json.loads(QUICKSTART.read_text(encoding="utf-8"))["cells"]
    assert all(not c.get("outputs") for c in cells if c["cell_type"] == "code"), "keep the outputs cleared"
    nb = open_notebook(cells, front_end=front_end)
    login = list(LOGIN)
    walk(nb, login)
    assert login == [], "the login did not ask for everything"

    final = [cell for cell in nb.cells() if cell[1].strip()]  # Shift-Enter on the last cell adds an empty one
    ends = [text.splitlines()[-1] if text else "" for _, text in final]
    # Two answers below (the function, then %%korvane), one above; one returned, one printed.
    assert len(final) == len(cells) + 3
    for command in ('generate_code_completion("plot the total amount by region", globals())',
                    "plot the average amount per region as a bar chart"):
        below = final[ends.index(command) + 1]
        assert below[0] == "code" and below[1].strip()
    above = ends.index('""")') - 1  # the end of the generate_markdown call
    assert final[above][0] == "markdown" and "```" in final[above][1]
    rendered = nb.cell_locator(above).locator(".jp-RenderedMarkdown pre, .text_cell_render pre")
    assert rendered.count(), "the explanation above is not rendered"
    nb.screenshot(f"walk-{front_end}", above, above + 1)
    # An answer never takes the selection, so the walk went past every answer unrun.
    answers = [i for i in range(len(nb.cells())) if "asked_by" in nb.metadata(i).get("korvane", {})]
    assert len(answers) == 3 and not any(nb.executed(i) for i in answers if nb.cells()[i][0] == "code")

    assert nb.stream_text(ends.index(IMPORT)).startswith(
        "USERNAME and PASSWORD are not provided please add it manually\n")
    assert nb.stream_text(ends.index("print(answer)")).strip()
    assert nb.stream_text(ends.index("generate_code_completion(error, debug_mode=True)")).startswith(
        "You can try this:\n ")
    assert nb.cell_locator(ends.index("generate_code(globals())")).locator(".widget-button").inner_text() == "Submit"
    asked = nb.run("print(sum(r.operation == 'completion' for r in service.requests))")
    assert nb.stream_text(asked) == "5\n"
    assert set(Path(tempfile.gettempdir()).glob("korvane-quickstart-*")) == left_in_temp
