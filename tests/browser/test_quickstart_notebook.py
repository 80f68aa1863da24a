"""The quickstart notebook, run cell by cell in the classic notebook as a new user would."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

pytestmark = pytest.mark.browser

QUICKSTART = Path(__file__).resolve().parents[2] / "examples" / "quickstart.ipynb"
LOGIN = [("Please enter the username:", "alice"), ("Please enter the password:", "wonderland"),
         ("Please enter the tenant:", "demo")]


def test_the_quickstart_runs_from_top_to_bottom_with_a_typed_login(open_notebook):
    cells = json.loads(QUICKSTART.read_text(encoding="utf-8"))["cells"]
    assert all(not c.get("outputs") for c in cells if c["cell_type"] == "code"), "keep the outputs cleared"
    nb = open_notebook(cells)
    page = nb.page
    count = page.evaluate("""() => {
        window.__walk = Jupyter.notebook.get_cells().filter(c => c.cell_type === 'code');
        return window.__walk.length;
    }""")
    last_lines = []
    for k in range(count):
        index = page.evaluate("k => Jupyter.notebook.find_cell_index(window.__walk[k])", k)
        source = nb.cells()[index][1]
        last_lines.append(source.splitlines()[-1])
        nb.start(index)
        if "cellwright import" in source:
            for prompt, answer in LOGIN:
                nb.answer_input(prompt, answer)
        nb.wait_done(timeout=60_000)

    final = nb.cells()
    where = dict(zip(last_lines, page.evaluate(
        "() => window.__walk.map(c => Jupyter.notebook.find_cell_index(c))")))
    assert len(final) == len(cells) + 3
    for command in ('generate_code_completion("plot the total amount by region", globals())',
                    "plot the average amount per region as a bar chart"):  # the function, then %%korvane
        below = final[where[command] + 1]
        assert below[0] == "code" and below[1].strip()
    above = final[where['""")'] - 1]  # the end of the generate_markdown call
    assert above[0] == "markdown" and above[1].strip()
    login = where["from korvane.tessaly_gpt_sdk.cellwright import generate_code, generate_code_completion, "
                  "generate_markdown"]
    assert nb.stream_text(login).startswith("USERNAME and PASSWORD are not provided please add it manually\n")
    assert nb.stream_text(where["print(answer)"]).strip()
    assert nb.stream_text(where["generate_code_completion(error, debug_mode=True)"]).startswith("You can try this:\n ")
    form = nb.cell_locator(where["generate_code(globals())"])
    assert form.locator(".widget-button").inner_text() == "Submit"
