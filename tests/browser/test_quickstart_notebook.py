"""The quickstart notebook, run cell by cell in each front end as a new user would."""

from __future__ import annotations

import json
import tempfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.browser

QUICKSTART = Path(__file__).resolve().parents[2] / "examples" / "quickstart.ipynb"
LOGIN = [("Please enter the username:", "alice"), ("Please enter the password:", "wonderland"),
         ("Please enter the tenant:", "demo")]


def test_the_quickstart_runs_from_top_to_bottom_with_a_typed_login(open_notebook, front_end):
    left_in_temp = set(Path(tempfile.gettempdir()).glob("korvane-quickstart-*"))
    cells = json.loads(QUICKSTART.read_text(encoding="utf-8"))["cells"]
    assert all(not c.get("outputs") for c in cells if c["cell_type"] == "code"), "keep the outputs cleared"
    nb = open_notebook(cells, front_end=front_end)
    count = nb.mark_code_cells()
    last_lines = []
    for k in range(count):
        index = nb.marked_index(k)
        source = nb.cells()[index][1]
        last_lines.append(source.splitlines()[-1])
        nb.start(index)
        if "cellwright import" in source:
            for prompt, answer in LOGIN:
                nb.answer_input(prompt, answer)
        nb.wait_done(timeout=60_000)

    final = nb.cells()
    where = dict(zip(last_lines, (nb.marked_index(k) for k in range(count))))
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
    assert set(Path(tempfile.gettempdir()).glob("korvane-quickstart-*")) == left_in_temp
