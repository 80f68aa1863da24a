"""Where an answer lands when korvane's front-end part is not the one to insert it.

korvane's parts (jupyter/) insert answers in JupyterLab, Notebook 7 and the classic
notebook, and mark every request their page sends with ``PART_MARK`` in the message's
metadata. A request without the mark comes from a front end where no part runs: the part
is not installed on that server, VS Code, a console, a headless run. There the kernel
protocol's own ``set_next_input`` payload inserts a code answer below the asking cell
(JupyterLab, Notebook 7, classic, VS Code) or puts it at the next prompt (consoles), and
the answer also shows as text that can be copied, since the kernel cannot know whether a
front end honoured the payload (nbclient, nbconvert and papermill drop it). Terminal
IPython gets the code answer at its next prompt, as ``%load`` does; a script with no
IPython prints it.

An answer is inserted at most once per asking cell and question in a kernel's life (the
question is the cell's text, and the how-many-th ask of its run): a re-run without the
part cannot update the earlier answer in place, so it shows the new one as text instead
of piling up copies.
"""

from __future__ import annotations

import hashlib
import re
import sys
from typing import Any

#: The metadata key of the requests a page with korvane's part sends (markRequests in
#: jupyter/labextensions/korvane/static/remoteEntry.js and jupyter/nbextensions/korvane/main.js).
PART_MARK = "korvane"
_VSCODE_CELL = "vscode-notebook-cell:"

# What has been handed to a front end to insert: (asking cell or None, digest of its text,
# the ask's place in its run).
_inserted: set[tuple[str | None, bytes, int]] = set()
# The request running now and how many of its answers were handed over so far.
_asks = {"request": None, "count": 0}


class Origin:
    """Who sent the request that is running, as far as its message says."""

    def __init__(self, shell: Any) -> None:
        self.shell = shell
        self.kind = "script"  # no IPython
        self.cell_id: str | None = None
        self.is_execute = False
        self.request_id: str | None = None
        self.code = ""
        if shell is None:
            return
        kernel = getattr(shell, "kernel", None)
        if kernel is None or not hasattr(kernel, "get_parent"):
            self.kind = "terminal"
            return
        parent = kernel.get_parent("shell") or {}
        metadata = parent.get("metadata") or {}
        header = parent.get("header") or {}
        self.is_execute = header.get("msg_type") == "execute_request"
        self.request_id = header.get("msg_id")
        self.code = str((parent.get("content") or {}).get("code", ""))
        cell_id = metadata.get("cellId")
        self.cell_id = cell_id if isinstance(cell_id, str) else None
        if metadata.get(PART_MARK):
            self.kind = "part"
        elif "colab" in metadata:
            self.kind = "colab"  # inserts payload cells twice or not at all
        elif self.cell_id and self.cell_id.startswith(_VSCODE_CELL):
            self.kind = "vscode"
        elif self.cell_id:
            self.kind = "notebook"  # JupyterLab or Notebook 7 without the part
        else:
            self.kind = "kernel"  # the classic notebook without the part, a console, a headless run

    @property
    def has_part(self) -> bool:
        return self.kind == "part"

    def can_insert(self, from_a_command: bool) -> bool:
        """Whether a set_next_input payload inserts the answer here. The classic notebook
        without the part, which sends no cell id, runs a command's program itself."""
        if not self.is_execute:
            return False  # a widget's message: the payload would ride on another cell's reply
        return self.kind in ("vscode", "notebook") or (self.kind == "kernel" and not from_a_command)


def current_origin() -> Origin:
    ipython = sys.modules.get("IPython")
    return Origin(ipython.get_ipython() if ipython is not None else None)


def copyable(text: str, cell_type: str, note: str = "") -> dict[str, str]:
    """The answer as a Markdown code block and as plain text: where no part inserts it,
    this is what shows, and nothing in it can run as HTML or script."""
    where = "above" if cell_type == "markdown" else "below"
    longest_backticks = max((len(run) for run in re.findall(r"`+", text)), default=0)
    fence = "`" * max(3, longest_backticks + 1)
    language = "markdown" if cell_type == "markdown" else "python"
    heading = f"korvane's answer, to go in a new {cell_type} cell {where}"
    return {
        "text/markdown": f"{heading}{f' ({note})' if note else ''}:\n\n"
                         f"{fence}{language}\n{text.removesuffix(chr(10))}\n{fence}\n",
        "text/plain": text,
    }


def valid_text(answer: Any) -> str:
    """*answer* as text that can be sent and saved: a lone surrogate becomes U+FFFD."""
    text = answer if type(answer) is str else format(answer, "")
    return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")


def hand_over(origin: Origin, text: str, cell_type: str, from_a_command: bool) -> str:
    """Hands a code answer to the front end to insert, if it can and has not been given
    this cell's answer to this question yet; returns the note for the copyable text."""
    if origin.kind == "colab":
        return "Colab inserts no cell for it: copy it from here"
    if cell_type != "code":
        return ""  # a payload inserts code cells only
    if origin.kind == "terminal":
        origin.shell.set_next_input(text)
        return ""
    if not origin.can_insert(from_a_command):
        return ""
    if _asks["request"] != origin.request_id:
        _asks.update(request=origin.request_id, count=0)
    _asks["count"] += 1
    asked = (origin.cell_id, hashlib.sha256(origin.code.encode("utf-8", "surrogatepass")).digest(), _asks["count"])
    if asked in _inserted:
        return "the cell below holds the answer of an earlier run; this one is not inserted again"
    _inserted.add(asked)
    origin.shell.payload_manager.write_payload(
        {"source": "set_next_input", "text": text, "replace": False}, single=False)
    return ""


def deliver_command_answer(answer: Any, cell_type: str) -> None:
    """What the assistant's commands add to their cell program where it cannot run, or
    where nobody can be sure it ran: the answer at the next prompt or inserted through the
    kernel protocol, and as text in the asking cell's output (printed in a script)."""
    origin = current_origin()
    if origin.has_part:
        return
    text = valid_text(answer)
    if origin.kind == "script":
        print(text)
        return
    note = hand_over(origin, text, cell_type, from_a_command=True)
    if origin.kind == "terminal":
        if cell_type != "code":
            print(text)
        return
    from IPython.display import display

    display(copyable(text, cell_type, note), raw=True)
