"""The notebook assistant in the classic notebook: login prompts, prompts with context, inserted cells and the query form.

Where answers land in all three front ends, and that reopening changes nothing: test_front_ends.py.
"""

from __future__ import annotations

import json

import pytest

from korvane.testing import default_engine

pytestmark = pytest.mark.browser

IMPORT = "from korvane.tessaly_gpt_sdk.cellwright import generate_code, generate_code_completion, generate_markdown"
SALES = 'import pandas as pd\nsales = pd.DataFrame({"region": ["north", "south"], "amount": [3.5, 4.0]})'


def use_credentials(nb, path) -> None:
    nb.run(f"import korvane.validation.wardlock as wardlock\nwardlock.secret_file_path = {str(path)!r}")


def last_completion(service):
    """The prompt of the last completion request, and the answer the default engine gave it."""
    request = [r for r in service.requests if r.operation == "completion"][-1]
    return request.json["query"], default_engine(request.json["query"], request.json["max_tokens"])


def test_importing_asks_for_the_credentials_in_input_boxes_and_logs_in(notebook, service, secret_file):
    nb = notebook
    use_credentials(nb, secret_file)
    index = nb.add_cell(IMPORT)
    nb.start(index)
    for prompt, answer in [("Please enter the username:", "alice"), ("Please enter the password:", "wonderland"),
                           ("Please enter the tenant:", "acme")]:
        assert nb.answer_input(prompt, answer)["type"] == "password", "a getpass answer must not show"
    nb.wait_done()

    # The front end echoes each prompt with the answer masked.
    assert nb.stream_text(index) == (
        "USERNAME and PASSWORD are not provided please add it manually\n"
        "Please enter the username:········\n"
        "Please enter the password:········\n"
        "Please enter the tenant:········\n"
    )
    stored = json.loads(secret_file.read_text())
    assert (stored["TESSALY_USERNAME"], stored["TESSALY_TENANT"]) == ("alice", "acme")
    assert service.token_valid(stored["TESSALY_TOKEN"], "acme")
    logins = [r.json for r in service.requests if r.operation == "login"]
    assert logins == [{"email": "alice", "password": "wonderland"}]


def test_code_completion_inserts_the_answer_as_a_code_cell_below(notebook, logged_in, secret_file, service):
    nb = notebook
    use_credentials(nb, secret_file)
    nb.run(SALES)
    nb.run(IMPORT)
    command = nb.add_cell('generate_code_completion("plot amount by region", globals())')
    nb.add_cell("# the cell after")
    before = nb.cells()
    nb.start(command)
    nb.wait_done()

    prompt, answer = last_completion(service)
    assert prompt.endswith("Use them as context and Write python code for: : plot amount by region")
    assert "name: sales, type: DataFrame\n\t column: region, dtype:" in prompt
    assert "\t column: amount, dtype:float64\n" in prompt
    assert nb.cells() == before[: command + 1] + [("code", answer)] + before[command + 1 :]
    assert not nb.executed(command + 1), "the new cell must wait for the user to run it"
    nb.screenshot("inserted-cell", command, command + 1)


def test_markdown_explanation_is_inserted_as_a_markdown_cell_above(notebook, logged_in, secret_file, service):
    nb = notebook
    use_credentials(nb, secret_file)
    nb.run(IMPORT)
    command = nb.add_cell('generate_markdown("total = 0\\nfor x in range(3):\\n    total += x")')
    before = nb.cells()
    nb.start(command)
    assert nb.wait_done() == command + 1  # moved down by the new cell

    prompt, answer = last_completion(service)
    assert prompt.startswith("Explain the below given code")
    assert "```" in answer  # the engine fences the code: backticks reach the cell intact
    assert nb.cells() == before[:command] + [("markdown", answer)] + before[command:]


@pytest.fixture
def sample_prompts():
    from korvane.tessaly_gpt_sdk.prompt_list import prompts_list

    if not prompts_list:
        pytest.skip("no sample prompts to choose from")
    return prompts_list


def show_form(nb, secret_file):
    use_credentials(nb, secret_file)
    nb.run(SALES)
    nb.run(IMPORT)
    index = nb.run("generate_code(globals())")
    form = nb.cell_locator(index).locator(".output_area")
    form.locator(".widget-button").wait_for()
    return index, form


def test_form_fills_in_a_sample_prompt_and_submit_inserts_the_code_below(notebook, logged_in, secret_file,
                                                                         service, sample_prompts):
    nb = notebook
    index, form = show_form(nb, secret_file)
    select, text_area = form.locator(".widget-dropdown select"), form.locator(".widget-textarea textarea")
    options = [o.replace("\xa0", " ") for o in select.locator("option").all_inner_texts()]  # shown with no-break spaces
    assert options == ["Select the prompt", "Debug Code", *sample_prompts]
    assert select.input_value() == "Select the prompt"
    assert form.locator(".widget-dropdown .widget-label").inner_text() == "Select Prompt:"
    assert form.locator(".widget-html strong").inner_text() == "OR"
    assert form.locator(".widget-textarea .widget-label").inner_text() == "Query:"
    assert text_area.input_value() == ""
    assert text_area.get_attribute("placeholder") == "Type your code generation query here"
    assert form.locator(".widget-button").inner_text() == "Submit"

    text = next(iter(sample_prompts.values()))
    select.select_option(index=2)
    nb.wait_until("([el, text]) => el.value === text", [text_area.element_handle(), text])
    assert text_area.get_attribute("placeholder") == "Type your code generation query here."
    nb.screenshot("form", index, index)

    cells = len(nb.cells())
    form.locator(".widget-button").click()
    nb.wait_until("n => Jupyter.notebook.ncells() > n", cells)
    nb.barrier()

    prompt, answer = last_completion(service)
    assert prompt.endswith("Write python code for: : " + text)
    assert "name: sales, type: DataFrame" in prompt
    assert nb.cells()[index + 1] == ("code", answer)
    assert len(nb.cells()) == cells + 1
    nb.assert_no_javascript_errors(index)


def test_form_in_debug_mode_prints_the_explanation_and_inserts_nothing(notebook, logged_in, secret_file, service):
    nb = notebook
    index, form = show_form(nb, secret_file)
    text_area = form.locator(".widget-textarea textarea")
    form.locator(".widget-dropdown select").select_option(index=1)  # "Debug Code"
    nb.wait_until("el => el.placeholder === 'Enter your error response here.'", text_area.element_handle())
    error = "NameError: name 'revenue' is not defined"
    text_area.fill(error)

    cells = nb.cells()
    form.locator(".widget-button").click()
    nb.wait_until("i => Jupyter.notebook.get_cell(i).output_area.outputs.length > 1", index)
    nb.barrier()

    prompt, answer = last_completion(service)
    assert prompt.endswith("Debug the below given error and tell me how I can resolve it: \n: " + error)
    # Shown as Markdown under the form, and kept as the printed text for front ends without korvane's part.
    explained = nb.outputs(index)[-1]["data"]
    assert explained["text/plain"] == f"You can try this:\n {answer}\n"
    assert explained["application/vnd.korvane.explanation+json"] == {"markdown": answer}
    assert nb.cells() == cells
