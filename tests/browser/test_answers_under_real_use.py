"""korvane's front-end part under real use, one table per front end: an answer inserts once, in
the page that asked, next to the cell that asked, or nowhere; it never takes the keyboard from
a user busy elsewhere; and nothing of the part is left for other outputs to trip over."""

from __future__ import annotations

import time

import pytest

from test_front_ends import start_assistant

pytestmark = pytest.mark.browser

PROGRAM = "from korvane.tessaly_gpt_sdk import cellwright\n"


def ask(nb, source: str) -> int:
    """Run *source* in a new cell at the bottom with Ctrl-Enter, without waiting; return its index."""
    index = nb.add_cell(source)
    nb.start(index)
    return index


def case_second_tab(nb, open_second, service) -> None:
    """A second tab, or with collaboration a collaborator's page."""
    other = open_second(nb.name)
    shown_there = other.cells()
    before = len(nb.cells())
    index = nb.run('cellwright.generate_code_completion("one")')
    other.settle()
    assert len(nb.cells()) == before + 2 and nb.cells()[index + 1] == ("code", "answer = 1")
    if nb.server.collaborative and nb.front_end != "classic":  # one notebook, shared: one copy, seen by both
        other.wait_until(f"n => ({other.cells_js})().length === n", len(nb.cells()))
        other.settle()
        assert other.cells() == nb.cells()
    else:
        assert other.cells() == shown_there, "the other tab inserted the answer too"


def case_console_on_the_kernel(nb, open_second, service) -> None:
    if nb.front_end != "lab":  # Notebook 7 opens a console in a page of its own, the classic notebook has none
        return
    before = nb.cells()
    nb.page.evaluate("""async id => {
        jupyterapp.shell.activateById(id);
        window.__console = await jupyterapp.commands.execute('notebook:create-console', {widgetId: id, activate: false});
        await window.__console.sessionContext.ready;
        const prompt = window.__console.console.promptCell;
        prompt.model.sharedModel.setSource('cellwright.generate_code_completion("from the console")');
        await window.__console.console.execute(true);
    }""", nb.panel_id)
    nb.settle()
    assert any(b"from the console" in r.body for r in service.requests), "the console did not ask"
    assert nb.cells() == before, "the notebook inserted the console's answer"
    shown_in_console = nb.page.evaluate("() => __console.console.cells.length")
    index = nb.run('cellwright.generate_code_completion("with a console open")')
    assert nb.cells()[index + 1] == ("code", "answer = 1") and len(nb.cells()) == len(before) + 2
    assert nb.page.evaluate("() => __console.console.cells.length") == shown_in_console
    nb.page.evaluate("() => __console.dispose()")


def case_another_notebook_on_the_same_kernel(nb, open_second, service) -> None:
    if nb.front_end == "classic":  # where a notebook cannot be switched to a running kernel
        return
    other = open_second(None)
    other.page.evaluate("""async id => {
        await __panel.sessionContext.changeKernel({id});
    }""", nb.page.evaluate("() => __panel.sessionContext.session.kernel.id"))
    other._wait_ready()
    shown_there, before = other.cells(), len(nb.cells())
    index = nb.run('cellwright.generate_code_completion("asked here")')
    other.settle()
    assert nb.cells()[index + 1] == ("code", "answer = 1") and len(nb.cells()) == before + 2
    assert other.cells() == shown_there, "the other notebook inserted this one's answer"
    shown_here = nb.cells()
    index = other.run('cellwright.generate_code_completion("asked there")')
    nb.settle()
    assert other.cells()[index + 1] == ("code", "answer = 1") and nb.cells() == shown_here


def case_late_thread_output(nb, open_second, service) -> None:
    before = len(nb.cells())
    nb.run("import threading\nthreading.Timer(0.5, cellwright.display_next_cell, ['late']).start()")
    time.sleep(1.5)
    nb.settle()
    assert len(nb.cells()) == before + 1 and all(text != "late" for _, text in nb.cells())


def case_program_inside_a_widget_bundle(nb, open_second, service) -> None:
    before = len(nb.cells())
    nb.run("import ipywidgets\nfrom IPython.display import display\n"
           "bundle = ipywidgets.Label('a label')._repr_mimebundle_()\n"
           "bundle['application/javascript'] = \"Jupyter.notebook.insert_cell_below('code').set_text('hidden')\"\n"
           "display(bundle, raw=True)")
    assert len(nb.cells()) == before + 1


def case_explicit_index(nb, open_second, service) -> None:
    before = nb.cells()
    ask(nb, "from IPython.display import Javascript, display\n"
            "display(Javascript(\"Jupyter.notebook.insert_cell_above('code', 0).set_text('# at the top');\"))")
    nb.settle()
    if nb.front_end == "classic":  # where programs have always had a Jupyter.notebook
        assert nb.cells()[0] == ("code", "# at the top")
    else:  # only korvane's own programs see one, as if korvane were not there
        assert nb.cells()[:len(before)] == before and len(nb.cells()) == len(before) + 1


def case_half_an_emoji(nb, open_second, service) -> None:
    service.engine = lambda query, max_tokens: "snake = '\ud83d'"
    index = nb.run('cellwright.generate_code_completion("two")')
    assert nb.cells()[index + 1] == ("code", "snake = '\ufffd'")
    nb.page.evaluate(nb.save_js)  # a notebook holding a lone surrogate cannot be saved
    assert ("code", "snake = '\ufffd'") in nb.server.saved_cells(nb.name)
    service.engine = lambda query, max_tokens: "answer = 1"


def case_typing_elsewhere_keeps_the_keyboard(nb, open_second, service) -> None:
    service.engine = lambda query, max_tokens: (time.sleep(2), "answer = 1")[1]
    asking = ask(nb, 'cellwright.generate_code_completion("three")')
    typing = nb.add_cell("")
    nb.page.evaluate(nb.command_mode_js, typing)
    nb.press("Enter")
    nb.page.keyboard.type("typed = 123")
    nb.settle()  # the answer arrives meanwhile
    nb.page.keyboard.type("456")
    cells = nb.cells()
    assert cells[asking + 1] == ("code", "answer = 1")
    assert cells[typing + 1] == ("code", "typed = 123456")
    service.engine = lambda query, max_tokens: "answer = 1"


def case_reloaded_while_the_answer_is_on_its_way(nb, open_second, service) -> None:
    service.engine = lambda query, max_tokens: (time.sleep(2), "answer = 1")[1]
    ask(nb, 'cellwright.generate_code_completion("four")')
    nb.page.evaluate(nb.save_js)
    saved = nb.server.saved_cells(nb.name)
    nb.page.reload()
    nb._wait_ready()
    nb.settle()  # the answer has come by now
    assert nb.cells() == saved
    service.engine = lambda query, max_tokens: "answer = 1"


def case_asked_from_output_widgets(nb, open_second, service) -> None:
    before = len(nb.cells())
    # Run with Shift-Enter: the selection has moved on when the answer comes.
    index = nb.add_cell("import ipywidgets\nout = ipywidgets.Output()\ndisplay(out)\n"
                        "with out:\n    cellwright.generate_code_completion('five')")
    nb.add_cell("# the cell after")
    nb.start(index, shift=True)
    nb.settle()
    assert nb.cells()[index + 1] == ("code", "answer = 1") and len(nb.cells()) == before + 3
    interact = nb.run("ask = ipywidgets.interact_manual(lambda: cellwright.generate_code_completion('seven'))")
    nb.page.evaluate(nb.command_mode_js, len(nb.cells()) - 1)  # the user has moved on
    nb.cell_locator(interact).locator(".widget-button").click()
    nb.wait_until(f"n => ({nb.cells_js})().length > n", before + 4)
    nb.settle()
    assert nb.cells()[interact + 1] == ("code", "answer = 1") and len(nb.cells()) == before + 5
    before = len(nb.cells())
    form = nb.run("form_out = ipywidgets.Output()\ndisplay(form_out)\n"
                  "with form_out:\n    cellwright.generate_code(globals())")
    nb.add_cell("# the cell after the form")
    nb.page.evaluate(nb.command_mode_js, len(nb.cells()) - 1)  # the user has moved on
    shown = nb.cell_locator(form).locator(".korvane-form")
    shown.locator("textarea").fill("six")
    shown.locator(".widget-button").click()
    nb.wait_until(f"n => ({nb.cells_js})().length > n", before + 2)
    nb.settle()
    assert nb.cells()[form + 1] == ("code", "answer = 1") and len(nb.cells()) == before + 3


def case_an_open_answer_is_not_written_to(nb, open_second, service) -> None:
    """The user opens the Markdown answer above for editing while its cell asks again."""
    asking = nb.run('cellwright.generate_markdown("x = 1")')
    service.engine = lambda query, max_tokens: (time.sleep(2), "answer = 2")[1]
    nb.start(asking)
    nb.page.evaluate(nb.command_mode_js, asking - 1)
    nb.press("Enter")
    nb.settle()  # the answer arrives meanwhile
    nb.press("Control+End")
    nb.page.keyboard.type(" dd")
    cells = nb.cells()
    assert cells[asking - 1:asking + 2] == [("markdown", "answer = 1 dd"), ("markdown", "answer = 2"),
                                            ("code", 'cellwright.generate_markdown("x = 1")')]
    nb.press("Escape")
    service.engine = lambda query, max_tokens: "answer = 1"


# Programs of the user's own last: they stay in the notebook, and the classic notebook runs them
# again whenever the notebook is opened, as it would without korvane.
CASES = [case_asked_from_output_widgets, case_an_open_answer_is_not_written_to, case_second_tab, case_console_on_the_kernel,
         case_another_notebook_on_the_same_kernel, case_late_thread_output, case_half_an_emoji,
         case_typing_elsewhere_keeps_the_keyboard, case_reloaded_while_the_answer_is_on_its_way,
         case_program_inside_a_widget_bundle, case_explicit_index]


def test_answers_insert_once_next_to_the_asking_cell_and_leave_the_page_as_it_was(open_notebook, front_end,
                                                                                 logged_in, secret_file, service):
    service.engine = lambda query, max_tokens: "answer = 1"
    nb = open_notebook(front_end=front_end)
    start_assistant(nb, secret_file)
    nb.run(PROGRAM)
    nb.page.evaluate(nb.save_js)

    def open_second(name):
        """The notebook *name* (None: a new one) in a page of its own."""
        return open_notebook(front_end=front_end, name=name)

    for case in CASES:
        case(nb, open_second, service)
    if front_end != "classic":  # the classic notebook has a global Jupyter of its own
        assert nb.page.evaluate("() => typeof window.Jupyter") == "undefined"
        index = nb.run("from IPython.display import Javascript, display\n"
                       "display(Javascript('element.textContent = typeof Jupyter'))")
        assert nb.cell_locator(index).locator(".jp-OutputArea-output").last.inner_text().strip() == "undefined"
