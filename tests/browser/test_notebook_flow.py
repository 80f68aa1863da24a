"""Answers in the everyday notebook flow, driven by keyboard in all three front ends: Run All again
updates answers instead of piling up copies, an edited answer is kept, the form answers under
itself, and the magic's answer survives where korvane's part does not run. (A Shift-Enter walk:
test_quickstart_notebook.py.)"""

from __future__ import annotations

import html
import json
import re
import subprocess
import sys
import time

import pytest

from test_front_ends import start_assistant

pytestmark = pytest.mark.browser


def answering_with_a_log(service) -> list[str]:
    """Has the engine answer each request with a new text naming it; returns the list of answers given."""
    given: list[str] = []

    def engine(query: str, max_tokens: int) -> str:
        given.append(f"answer_{len(given) + 1} = 1  # {query.splitlines()[-1]}")
        return given[-1]

    service.engine = engine
    return given


def next_to(cells: list[tuple[str, str]], source: str, above: bool) -> tuple[str, str]:
    index = [text for _, text in cells].index(source)
    return cells[index - 1 if above else index + 1]


def stale_answers(nb) -> list[int]:
    """Indexes of answer cells that show a run number or output, which came from code they no longer hold."""
    return [i for i, (kind, _) in enumerate(nb.cells())
            if kind == "code" and "asked_by" in nb.metadata(i).get("korvane", {}) and (nb.executed(i) or nb.outputs(i))]


def test_re_runs_leave_one_fresh_answer_per_question_and_keep_every_other(open_notebook, front_end, logged_in,
                                                                          secret_file, service):
    given = answering_with_a_log(service)
    nb = open_notebook(front_end=front_end)
    start_assistant(nb, secret_file)
    nb.run("%load_ext korvane")
    # (cell, answer above it as Markdown rather than below it as code)
    asking = [('generate_code_completion("one")', False), ('generate_markdown("two = 2")', True),
              ("%%korvane\nthree", False), ("%%korvane --markdown\nfour = 4", True)]
    for source, _ in asking:
        nb.add_cell(source)
    nb.add_cell("# the last cell")
    count = len(nb.cells()) + len(asking)

    # The second Run All also runs the answers' old text, queued before their new text arrives.
    for run, runs in ((nb.run_all_js, 1), (nb.run_all_js, 2), (nb.restart_run_all_js, 3)):
        nb.page.evaluate(run)
        nb.settle()
        cells = nb.cells()
        assert len(cells) == count and len(given) == 4 * runs, f"run number {runs}"
        for (source, above), answer in zip(asking, given[-4:]):
            assert next_to(cells, source, above) == ("markdown" if above else "code", answer), source
        assert stale_answers(nb) == [], f"run number {runs}"

    # The user changes the first answer; asking again keeps it and puts the new answer after it.
    command = [text for _, text in cells].index(asking[0][0])
    nb.page.evaluate(nb.command_mode_js, command + 1)
    nb.press("Enter")
    nb.page.keyboard.type("# mine\n")
    nb.page.evaluate(nb.command_mode_js, command)
    nb.press("Control+Enter")
    nb.settle()
    after = nb.cells()
    assert after[command + 1:command + 3] == [("code", "# mine\n" + given[-5]), ("code", given[-1])]
    # A changed question keeps the first question's answer and gets its own beside it.
    magic = [text for _, text in after].index(asking[2][0])
    nb.page.evaluate(nb.command_mode_js, magic)
    nb.press("Enter")
    nb.press("Control+End")
    nb.page.keyboard.type(" and four")
    nb.press("Escape")
    nb.press("Control+Enter")
    nb.settle()
    changed = nb.cells()
    assert changed[magic + 1:magic + 3] == [after[magic + 1], ("code", given[-1])]
    assert given[-1].endswith("three and four")
    assert len(changed) == count + 2

    nb.save_and_reload()
    assert nb.server.saved_cells(nb.name) == changed
    assert nb.metadata(command + 2)["korvane"]["answer"] == given[-2]


def test_without_korvanes_part_the_magic_and_the_commands_insert_once_below_the_asking_cell(
        open_notebook, front_end, logged_in, secret_file, service):
    # As where the kit is installed beside the kernel but not where the Jupyter server runs:
    # the kernel protocol's own payload inserts the answer, and its text shows in the output.
    answers = iter(["print('<b>not bold</b>')", "total = 2 + 2"])
    service.engine = lambda query, max_tokens: next(answers)
    nb = open_notebook(front_end=front_end, with_part=False)
    start_assistant(nb, secret_file)
    nb.run("%load_ext korvane\nfrom korvane.tessaly_gpt_sdk import cellwright")
    for source, answer in [("%%korvane\nsay hello", "print('<b>not bold</b>')"),
                           ("cellwright.generate_code_completion('add', globals())", "total = 2 + 2")]:
        asking = nb.add_cell(source)
        before = len(nb.cells())
        nb.start(asking)
        nb.wait_done(javascript_may_fail=True)  # the command's program finds no Jupyter here
        cells = nb.cells()
        assert len(cells) == before + 1, (source, cells)
        assert next_to(cells, source, above=False) == ("code", answer), source
        assert answer in nb.cell_locator(asking).inner_text(), source


def test_an_html_export_of_an_executed_notebook_shows_the_magics_answer(notebook_server, logged_in,
                                                                       secret_file, service, tmp_path):
    answer = "total = sales['amount'].sum()  # <b>not a tag</b>"
    service.engine = lambda query, max_tokens: answer
    source = tmp_path / "asks.ipynb"
    cells = [f"import korvane.validation.wardlock as wardlock\nwardlock.secret_file_path = {str(secret_file)!r}",
             "%load_ext korvane", "%%korvane\nsum the amounts"]
    source.write_text(json.dumps({"cells": [{"cell_type": "code", "source": c, "metadata": {}, "outputs": [],
                                             "execution_count": None} for c in cells],
                                  "metadata": {}, "nbformat": 4, "nbformat_minor": 5}))
    subprocess.run([sys.executable, "-m", "jupyter", "nbconvert", "--execute", "--to", "html", str(source)],
                   env=notebook_server._env(), check=True, capture_output=True, timeout=120)
    page = (tmp_path / "asks.html").read_text(encoding="utf-8")
    assert "<b>not a tag</b>" not in page
    assert answer in html.unescape(re.sub(r"<[^>]+>", "", page))


def test_an_answer_not_inserted_shows_its_text_and_links_survive_an_nbformat_4_4_notebook(
        open_notebook, front_end, notebook_server, logged_in, secret_file, service):
    service.engine = lambda query, max_tokens: f"total = 1  # {query.rsplit(': ', 1)[-1]}"
    name = f"headless-{front_end}.ipynb"
    asking = "%%korvane\nsum the amounts"
    # JupyterLab shows the first 50 outputs of a cell; the answer comes after them.
    crowded = "from IPython.display import display\nfor i in range(60):\n    display(i)\n%korvane count the amounts"
    sources = [f"import korvane.validation.wardlock as wardlock\nwardlock.secret_file_path = {str(secret_file)!r}",
               "%load_ext korvane", asking, crowded]
    # nbformat 4.4: no cell ids, as many tools still write.
    (notebook_server.notebooks / name).write_text(json.dumps({
        "cells": [{"cell_type": "code", "source": c, "metadata": {}, "outputs": [], "execution_count": None}
                  for c in sources],
        "metadata": {"kernelspec": {"name": "python3", "display_name": "Python 3", "language": "python"}},
        "nbformat": 4, "nbformat_minor": 4}))
    subprocess.run([sys.executable, "-m", "jupyter", "nbconvert", "--to", "notebook", "--execute", "--inplace",
                    str(notebook_server.notebooks / name)],
                   env=notebook_server._env(), check=True, capture_output=True, timeout=120)
    nb = open_notebook(front_end=front_end, name=name)
    headless = nb.cells()
    assert len(headless) == len(sources)
    magic = [text for _, text in headless].index(asking)
    assert "total = 1  # sum the amounts" in nb.cell_locator(magic).inner_text(), "the note hides the answer"

    nb.page.evaluate(nb.run_all_js)
    nb.settle()
    answered = nb.cells()
    assert answered[magic + 1] == ("code", "total = 1  # sum the amounts")
    assert answered[-1] == ("code", "total = 1  # count the amounts"), "the answer past the output limit is lost"
    assert "total = 1" not in nb.cell_locator(magic).inner_text()

    nb.save_and_reload()
    saved = notebook_server.api("GET", f"/api/contents/{name}?type=notebook&content=1")["content"]
    assert saved["nbformat_minor"] == 4 and not any("id" in cell for cell in saved["cells"])
    nb.page.evaluate(nb.run_all_js)
    nb.settle()
    assert nb.cells() == answered, "the re-run lost the link to its answers"


def test_the_form_refuses_an_empty_query_and_explains_errors_under_itself(open_notebook, front_end, logged_in,
                                                                        secret_file, service):
    service.engine = lambda query, max_tokens: 'Use **sales**, not <img src=x onerror="document.title=1">revenue.'
    nb = open_notebook(front_end=front_end)
    start_assistant(nb, secret_file)
    index = nb.run("generate_code(globals())")
    nb.add_cell("# the cell after the form")
    form = nb.cell_locator(index).locator(".korvane-form")
    form.wait_for()
    label, text_area, submit = (form.locator(s) for s in (".widget-dropdown .widget-label", "textarea",
                                                          ".widget-button"))
    assert label.evaluate("el => el.scrollWidth <= el.clientWidth"), "the label is cut"
    text_area.fill("\n".join(f"traceback line {n}" for n in range(8)))
    assert text_area.evaluate("el => el.scrollHeight <= el.clientHeight"), "eight lines do not fit the query box"
    text_area.fill("")
    box, area = form.bounding_box(), text_area.bounding_box()
    assert area["x"] + area["width"] >= box["x"] + box["width"] - 8, "the query box stops short of the form's edge"
    cells = nb.cells()

    submit.click()
    form.locator(".korvane-form-note").wait_for()
    nb.barrier()
    assert [r for r in service.requests if r.operation == "completion"] == [] and nb.cells() == cells

    form.locator(".widget-dropdown select").select_option("Debug Code")
    text_area.fill("KeyError: 'revenue'")
    submit.click()
    explanation = nb.cell_locator(index).locator("strong", has_text="sales")
    explanation.wait_for()
    nb.barrier()
    assert nb.cells() == cells and form.locator(".korvane-form-note").count() == 0
    assert nb.cell_locator(index).locator("[onerror]").count() == 0 and nb.page.title() != "1"
    # Notebook 7.0 has no log console; the ones that do must show nothing of the form.
    if front_end != "classic" and nb.page.evaluate("() => jupyterapp.commands.hasCommand('logconsole:open')"):
        nb.page.evaluate("() => jupyterapp.commands.execute('logconsole:open', {source: __panel.context.path})")
        nb.page.locator(".jp-LogConsolePanel").wait_for(state="attached")
        assert nb.page.locator(".jp-LogConsolePanel .jp-OutputArea-child").count() == 0
        nb.screenshot(f"{front_end}-form-debug", index, index)


def test_the_magic_says_it_is_asking_and_a_failure_takes_one_line(open_notebook, front_end, logged_in,
                                                                 secret_file, service):
    service.engine = lambda query, max_tokens: (time.sleep(3), "answer = 1")[1]
    nb = open_notebook(front_end=front_end)
    start_assistant(nb, secret_file)
    nb.run("%load_ext korvane")
    asking = nb.add_cell("%%korvane\nsum the amounts")
    nb.start(asking)
    waiting = nb.cell_locator(asking).get_by_text("Asking the engine at")
    waiting.wait_for()
    nb.screenshot(f"{front_end}-waiting", asking, asking)
    nb.settle()
    assert waiting.count() == 0
    assert "korvane: inserted below" in nb.cell_locator(asking).inner_text()
    assert nb.cells()[asking + 1] == ("code", "answer = 1")

    service.fail("completion", kind="drop")
    failing = nb.add_cell("%korvane sum them again")
    nb.start(failing)
    nb.settle()
    shown = nb.cell_locator(failing).inner_text()
    assert "could not be reached" in shown and "Traceback" not in shown and "Asking the engine" not in shown
    nb.screenshot(f"{front_end}-failure", failing, failing)
