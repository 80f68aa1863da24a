"""The %%korvane cell magic in the classic notebook: the answer arrives as a new cell below."""

from __future__ import annotations

import pytest

from korvane.testing import default_engine

pytestmark = pytest.mark.browser


def test_a_korvane_cell_describes_the_notebooks_dataframe_and_inserts_the_code_below(notebook, logged_in,
                                                                                     secret_file, service):
    nb = notebook
    nb.run(f"import korvane.validation.wardlock as wardlock\nwardlock.secret_file_path = {str(secret_file)!r}")
    nb.run('import pandas as pd\nsales = pd.DataFrame({"region": ["north", "south"], "amount": [3.5, 4.0]})')
    nb.run("%load_ext korvane")
    command = nb.add_cell("%%korvane\nplot amount by region")
    nb.add_cell("# the cell after")
    before = nb.cells()
    nb.start(command)
    nb.wait_done()

    (prompt,) = [r.json["query"] for r in service.requests if r.operation == "completion"]
    assert prompt.endswith("Use them as context and Write python code for: : plot amount by region")
    assert "name: sales, type: DataFrame\n\t column: region, dtype:" in prompt
    assert "\t column: amount, dtype:float64\n" in prompt
    answer = default_engine(prompt, 1000)
    assert "sales" in answer and "amount" in answer  # the engine used the columns it was told about
    assert nb.cells() == before[: command + 1] + [("code", answer)] + before[command + 1:]
    assert not nb.executed(command + 1), "the new cell must wait for the user to run it"
