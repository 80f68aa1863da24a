"""Fuzzes the password encoding: ``_decrypt`` of arbitrary str, bytes and other objects, and
``_encrypt`` of arbitrary text, against the plain algorithm.

``_decrypt`` must never raise an ``Exception``; what it cannot decode it hands back as the
very object it was given.
"""

from __future__ import annotations

import base64
import importlib
import os
import sys
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fuzz_driver import Input, instrument_module, instrumented, main  # noqa: E402

with instrumented(__name__ == "__main__"):
    import plain_oracles as plain  # noqa: E402

# Encoding touches no file and sends nothing, so the module is used as imported.
wardlock = importlib.import_module("korvane.validation.wardlock")


class Text(str):
    pass


class Data(bytes):
    pass


class Recoding(str):
    """A str whose own ``encode`` gives other bytes than its text."""

    def encode(self, *args: Any, **kwargs: Any) -> bytes:
        return b"aGk="


def some_bytes(inp: Input) -> bytes:
    return bytes(inp.byte() for _ in range(inp.count(24)))


def ciphertext(inp: Input) -> Any:
    kind = inp.below(12)
    if kind == 0:
        return base64.b64encode(some_bytes(inp)).decode("ascii")  # decodes; UTF-8 or not
    if kind == 1:
        return base64.b64encode(inp.text(10).encode("utf-8", "surrogatepass")).decode("ascii")
    if kind == 2:  # Base64 damaged: a character dropped, padding gone, or noise inserted
        text = base64.b64encode(some_bytes(inp)).decode("ascii")
        cut = inp.below(len(text) + 1)
        return inp.pick([text[:cut] + text[cut + 1:], text.rstrip("="), text[:cut] + inp.char() + text[cut:]])
    if kind == 3:
        return inp.text(16)
    if kind == 4:
        return some_bytes(inp)
    if kind == 5:
        return base64.b64encode(some_bytes(inp))
    if kind == 6:
        return inp.pick([bytearray, memoryview, Data])(base64.b64encode(some_bytes(inp)))
    if kind == 7:
        return inp.pick([Text, Recoding])(base64.b64encode(some_bytes(inp)).decode("ascii"))
    if kind == 8:
        return "\x00" * inp.count(4) + base64.b64encode(some_bytes(inp)).decode("ascii")
    return inp.pick([None, 0, 1.5, [], {}, object(), "", b"", "====", "a===", "\ud800"])


def test_one_input(data: bytes) -> None:
    inp = Input(data)
    value = ciphertext(inp)
    expected = plain.decrypt(value)
    got = wardlock._decrypt(value)  # an exception here is a finding in itself
    if expected is value:
        assert got is value, f"_decrypt({value!r}) gave {got!r}, not the object itself"
    else:
        assert type(got) is str and got == expected, f"_decrypt({value!r}) gave {got!r}, not {expected!r}"

    text = inp.text(16)
    try:
        encoded = plain.encrypt(text)
    except Exception as error:
        try:
            wardlock._encrypt(text)
        except type(error) as raised:
            assert str(raised) == str(error), (text, raised, error)
        else:
            raise AssertionError(f"_encrypt({text!r}) did not raise {error!r}")
        return
    assert wardlock._encrypt(text) == encoded, text
    assert wardlock._decrypt(encoded) == text, text

if __name__ == "__main__":
    instrument_module(globals())
    main(test_one_input)
