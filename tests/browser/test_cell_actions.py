"""The cell actions in all three front ends, by keyboard and mouse: each answer goes in once, next
to its cell, a second use on the same cell updates it, and the cell and the kernel's history
stay as they were."""

from __future__ import annotations

import time

import pytest

from test_front_ends import start_assistant

pytestmark = pytest.mark.browser

TOTAL = "total = sum(range(10))"
STATUS = ".korvane-action-status"


# What the engine answers each kind of request, numbered by how many of that kind it had.
REPLIES = {"explain the below given code": "Adds up the numbers ({})", "optimize the following code": "total = 45",
           "debug the below given error": "Division by **zero**: check the divisor."}


def answering_by_kind(service) -> list[str]:
    """Has the engine answer by what it is asked; returns the list of queries it got."""
    asked: list[str] = []

    def engine(query: str, max_tokens: int) -> str:
        asked.append(query)
        kind = next((k for k in REPLIES if k in query.lower()), None)
        if kind is None:  # a question about a cell, slow enough to see the cell say that it is asking
            time.sleep(1.5)
            return "print(total)"
        return REPLIES[kind].format(sum(kind in q.lower() for q in asked))

    service.engine = engine
    return asked


def select(nb, index: int) -> None:
    """Cell *index* selected in command mode, the keyboard on the notebook, as after Esc."""
    nb.page.evaluate(nb.command_mode_js, index)


def index_of(nb, source: str) -> int:
    return [text for _, text in nb.cells()].index(source)


def wait_for_answer(nb, count: int) -> None:
    """Until the notebook holds *count* cells and no action is still asking."""
    nb.wait_until(f"""n => ({nb.cells_js})().length === n
                      && ![...document.querySelectorAll('{STATUS}')].some(el => !el.classList.contains('korvane-failed'))""",
                  count)
    nb.settle()


def failure_line(nb, index: int) -> str:
    """The line under cell *index* that says why its action brought nothing, once it says so."""
    line = nb.cell_locator(index).locator(f"{STATUS}.korvane-failed")
    line.wait_for()
    return line.inner_text()


def optimise_with_the_mouse(nb, index: int) -> None:
    if nb.front_end == "classic":
        select(nb, index)
        nb.page.locator("button[data-jupyter-action='korvane:optimise-cell']").click()
        return
    nb.cell_locator(index).locator(".jp-InputPrompt").click(button="right")
    nb.page.locator(".lm-Menu-itemLabel", has_text="korvane").click()
    submenu = nb.page.locator(".lm-Menu-itemLabel", has_text="Optimise Cell")
    submenu.wait_for()
    nb.screenshot(f"{nb.front_end}-cell-menu", index, index, also=(nb.page.locator(".lm-Menu"),))
    submenu.click()


def ask_from_the_palette(nb, index: int, question: str) -> None:
    select(nb, index)
    if nb.front_end == "classic":
        nb.press("p")
        search = nb.page.locator(".modal input[type=search], .modal input.form-control").first
    else:
        nb.press("Control+Shift+C")
        search = nb.page.locator(".lm-CommandPalette-input")
    search.wait_for()
    search.type("ask about cell")
    nb.page.locator(".typeahead__item, .lm-CommandPalette-item").first.wait_for()
    if nb.front_end == "classic":
        nb.screenshot("classic-cell-actions", index, index, also=(nb.page.locator("#maintoolbar, .modal-dialog"),))
        nb.press("ArrowDown")  # the classic palette runs only a chosen item
    nb.press("Enter")
    box = nb.page.locator("input.korvane-question" if nb.front_end == "classic" else ".jp-Dialog input")
    box.wait_for()
    box.type(question)
    nb.press("Enter")


def test_each_action_answers_once_next_to_its_cell(open_notebook, front_end, logged_in, secret_file, service):
    asked = answering_by_kind(service)
    nb = open_notebook(front_end=front_end)
    start_assistant(nb, secret_file)  # logs in, but %korvane is not loaded yet
    total = nb.run(TOTAL)
    cells, total_run = nb.cells(), nb.outputs(total)

    # Not loaded: the action says how to load the kit, and nothing reaches the engine.
    select(nb, total)
    nb.press("e")
    assert "%load_ext korvane" in failure_line(nb, total)
    nb.settle()
    assert nb.cells() == cells and asked == []

    nb.run("%load_ext korvane")
    cells = nb.cells()

    # Explain Cell by its shortcut: Markdown above, rendered; again on the same text, updated.
    for times in (1, 2):
        select(nb, index_of(nb, TOTAL))
        nb.press("e")
        wait_for_answer(nb, len(cells) + 1)
        total = index_of(nb, TOTAL)
        assert nb.cells()[total - 1] == ("markdown", f"Adds up the numbers ({times})")
        assert nb.cell_locator(total - 1).locator(".jp-RenderedMarkdown, .rendered_html").count() == 1
    assert TOTAL in asked[-1]

    # Optimise Cell with the mouse: code right below; again, the same cell.
    for _ in range(2):
        optimise_with_the_mouse(nb, total)
        wait_for_answer(nb, len(cells) + 2)
        assert nb.cells()[total + 1] == ("code", "total = 45")

    # Ask about Cell… from the command palette: the question carries the cell's code, and the
    # answer goes after the cell's earlier answer below.
    ask_from_the_palette(nb, total, "print it")
    nb.wait_until(f"""() => [...document.querySelectorAll('{STATUS}')]
                           .some(el => el.textContent.includes('Asking the engine at'))""")
    wait_for_answer(nb, len(cells) + 3)
    assert nb.cells()[total + 2] == ("code", "print(total)")
    assert "print it" in asked[-1] and TOTAL in asked[-1]

    # The asking cell is as it was: text, outputs, run number.
    assert nb.outputs(total) == total_run and nb.executed(total)

    # An error of plain code: its Explain button puts the explanation below, rendered, once.
    failing = nb.add_cell("1 / 0")
    nb.start(failing)
    nb.settle()
    nb.screenshot(f"{front_end}-error-action", failing, failing)
    nb.cell_locator(failing).locator("button.korvane-explain-error").click()
    wait_for_answer(nb, len(nb.cells()) + 1)
    assert nb.cells()[failing + 1] == ("markdown", "Division by **zero**: check the divisor.")
    assert "ZeroDivisionError" in asked[-1] and "\x1b[" not in asked[-1]
    assert nb.cell_locator(failing + 1).locator("strong").inner_text() == "zero"

    # A failure: one line under the cell, and nothing changes.
    service.fail("completion", 500)
    before = nb.cells()
    select(nb, total)
    nb.press("e")
    assert "answered with an error" in failure_line(nb, total)
    nb.settle()
    assert nb.cells() == before

    # The kernel's history holds only the cells that ran.
    shown = nb.run("print(sum('cell' + '_actions' in line for line in In), len(In) - 1)")
    assert nb.stream_text(shown).split() == ["0", "5"]
