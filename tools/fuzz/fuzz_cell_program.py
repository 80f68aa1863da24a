"""Fuzzes the cell-insertion programs of ``display_next_cell`` and ``display_previous_cell``.

The program handed to ``display`` must be the fixed prefix, a template-literal body and the
fixed suffix; the body must hold no unescaped backtick or "${" and must evaluate to the
text of the argument (``format(value, "")``), the program must have a UTF-8 form, and it
must hold no "</" or "<!" (an exported notebook puts it inside a <script> element).
An argument whose ``__format__`` fails must fail the call with that error, before
anything is displayed.
"""

from __future__ import annotations

import os
import sys
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fuzz_driver import Input, instrument_module, instrumented, main  # noqa: E402

with instrumented(__name__ == "__main__"):
    import plain_oracles as plain  # noqa: E402

FRAGMENTS = ["`", "${", "$", "{", "}", "\\", "\\`", "\\${", "$${", "${}", "\\\\", "\r", "\r\n", "\n", "\t",
             "\x00", "\ud800", "\udfff", "\ud83d\ude00", "\u2028", "</script>", "```python\n", "\\u0041", "\\x41"]


class Formatted:
    """An answer that is no str: its text is what ``__format__`` says, or an error."""

    def __init__(self, text: str | None) -> None:
        self.text = text

    def __format__(self, spec: str) -> str:
        if self.text is None:
            raise LookupError("no text for this answer")
        return self.text


class Text(str):
    pass


def answer(inp: Input) -> Any:
    pieces = [inp.pick(FRAGMENTS) if inp.chance() else inp.text(6) for _ in range(inp.count(10))]
    text = "".join(pieces)
    kind = inp.below(10)
    if kind < 6:
        return text
    if kind == 6:
        return Text(text)
    if kind == 7:
        return Formatted(text if inp.below(4) else None)
    return inp.pick([42, -1.5, None, b"`${", ["`"], float("nan")])


_cellwright = None
_shown: list[Any] = []


def test_one_input(data: bytes) -> None:
    global _cellwright
    if _cellwright is None:
        from fuzz_session import logged_in_cellwright

        _cellwright = logged_in_cellwright()
        _cellwright.display = _shown.append  # what the notebook front end would receive
    inp = Input(data)
    function = inp.pick(sorted(plain.CELL_PREFIXES))
    value = answer(inp)
    _shown.clear()
    try:
        expected = format(value, "")
    except Exception as error:
        try:
            getattr(_cellwright, function)(value)
        except type(error) as raised:
            assert str(raised) == str(error) and not _shown, (value, raised)
        else:
            raise AssertionError(f"{function}({value!r}) did not raise {error!r}")
        return
    assert getattr(_cellwright, function)(value) is None
    (shown,) = _shown
    program = shown.data
    prefix, suffix = plain.CELL_PREFIXES[function], plain.CELL_SUFFIX
    assert program.startswith(prefix) and program.endswith(suffix), repr(program)
    program.encode("utf-8")  # what crosses to the browser
    assert "</" not in program and "<!" not in program, repr(program)
    body = program[len(prefix):len(program) - len(suffix)]
    assert plain.template_literal_value(body) == expected, (value, body)


if __name__ == "__main__":
    instrument_module(globals())
    main(test_one_input)
