"""The cell actions of korvane's front-end parts, asked through the kernel: Explain cell,
Optimise cell, Ask about cell… and the Explain button of an error output.

A part asks with a silent execute request, which adds nothing to the kernel's history,
runs no cell events and leaves the cell's outputs and run number alone:

    __import__("korvane.cell_actions").cell_actions.run('<the request as JSON>')

(`program` in jupyter/labextensions/korvane/static/actions.js). The request names the
action and carries the cell's code, and the question or the error's traceback as the page
shows it. The answer is displayed as the %korvane magic's answer data, which the part
places next to the cell by its answer rules. A failure is displayed as ACTION_MIME_TYPE
``{"failed": <one line>}`` and never raised: a silent request's exception would become the
one that %tb and %korvane --error see, and it is not the user's.

Importing this module logs nothing in and imports nothing of the kit: when %load_ext korvane
has not run in the kernel, the action says so and nothing is sent to the service.
"""

from __future__ import annotations

import json
import sys
from typing import Any

#: The failure data the parts show on the cell (ACTION in actions.js).
ACTION_MIME_TYPE = "application/vnd.korvane.action+json"
NOT_LOADED = "korvane is not loaded in this kernel: run %load_ext korvane in a cell, then try again."
#: The actions and where each answer goes: (cell type, above or below the cell).
PLACES = {"explain": ("markdown", "above"), "optimise": ("code", "below"), "ask": ("code", "below"),
          "error": ("markdown", "below")}
_MAGICS = "KorvaneMagics"  # the %korvane magics' class, as IPython registers it


def run(request: str) -> None:
    """Carries out one action of a front-end part; see the module's docstring."""
    try:
        action, code, question, traceback = _read(request)
        magics = _loaded_magics()
        if magics is None:
            return _failed(NOT_LOADED)
        magics.answer_cell_action(action, code, question, traceback)
    except BaseException as error:  # Ctrl-C too: the part is told, and nothing is raised
        _failed(_line(error))


class _Refused(ValueError):
    """A request that cannot be asked, told in one line."""


def _read(request: str) -> tuple[str, str, str, list[str]]:
    """(action, code, question, traceback lines) of a request, or _Refused saying what is wrong."""
    fields = json.loads(request)
    action = fields.get("action") if isinstance(fields, dict) else None
    if action not in PLACES:
        raise _Refused(f"no such cell action: {action!r}")
    code, question, traceback = fields.get("code", ""), fields.get("question", ""), fields.get("traceback", [])
    if not (isinstance(code, str) and isinstance(question, str) and isinstance(traceback, list)
            and all(isinstance(line, str) for line in traceback)):
        raise _Refused("a cell action's code and question are text, and its traceback a list of lines")
    if action == "error":
        if not traceback:
            raise _Refused("the error to explain has no traceback")
    elif not code.strip():
        raise _Refused("the cell is empty: there is nothing to ask about")
    if action == "ask" and not question.strip():
        raise _Refused("no question: type what you want to know about the cell")
    return action, code, question, traceback


def _loaded_magics() -> Any:
    ipython_module = sys.modules.get("IPython")
    ipython = ipython_module.get_ipython() if ipython_module is not None else None
    if ipython is None:
        return None
    return ipython.magics_manager.registry.get(_MAGICS)


def _line(error: BaseException) -> str:
    # RequestFailed is the magic's one line (korvane.magics), for a failure of the kit's own.
    if isinstance(error, _Refused) or type(error).__name__ == "RequestFailed":
        return str(error)
    if isinstance(error, KeyboardInterrupt):
        return "The action was interrupted; no answer was delivered."
    return f"{type(error).__name__}: {error}"


def _failed(line: str) -> None:
    from IPython.display import display

    display({ACTION_MIME_TYPE: {"failed": line}, "text/plain": f"korvane: {line}"}, raw=True)
