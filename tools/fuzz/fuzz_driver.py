"""What every harness shares: the input reader, and running a harness under atheris or,
where atheris is missing, under a time-bounded hypothesis loop.

A harness is a function ``test_one_input(data: bytes)`` that raises on a finding: a
difference from the plain-Python oracle, or an exception the described behaviour does
not allow. Crashes end the process, which both engines report as a finding too.
"""

from __future__ import annotations

import contextlib
import inspect
import os
import sys
import time
from typing import TypeVar
from collections.abc import Callable, Iterator, Sequence

try:
    import atheris
except ImportError:  # the fallback loop below takes over
    atheris = None

T = TypeVar("T")

#: Set to run the hypothesis loop even where atheris is installed.
FALLBACK_ENV = "KORVANE_FUZZ_FALLBACK"


def use_atheris() -> bool:
    return atheris is not None and not os.environ.get(FALLBACK_ENV)


@contextlib.contextmanager
def instrumented(enabled: bool = True) -> Iterator[None]:
    """Imports inside this block give atheris coverage feedback from their Python code
    (when *enabled*: a harness run as a program, not imported by a test)."""
    if enabled and use_atheris():
        with atheris.instrument_imports():
            yield
    else:
        yield


def instrument(function: Callable[..., T]) -> Callable[..., T]:
    return atheris.instrument_func(function) if use_atheris() else function


def instrument_module(namespace: dict) -> None:
    """Gives coverage feedback from the functions and methods a harness module defines,
    so that the fuzzer learns which input bytes choose which structure."""
    if not use_atheris():
        return
    module = namespace["__name__"]
    for value in list(namespace.values()):
        if getattr(value, "__module__", None) != module:
            continue
        if isinstance(value, type):
            for key, member in list(vars(value).items()):
                if inspect.isfunction(member):
                    setattr(value, key, atheris.instrument_func(member))
        elif inspect.isfunction(value):
            namespace[value.__name__] = atheris.instrument_func(value)


class Input:
    """Reads choices out of the fuzz input; past its end every read gives zero.

    The same bytes always give the same choices, so a harness can build one object graph
    for the extension module and an identical, independent one for the oracle.
    """

    # Characters that mean something to the code under test, drawn more often than chance.
    SPECIAL = "_`${}\\\r\n\t\x00 '\"<>/:.-"

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        value = self.data[self.pos]
        self.pos += 1
        return value

    def below(self, n: int) -> int:
        """An int in [0, n)."""
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        return int.from_bytes(bytes(self.byte() for _ in range(3)), "big") % n

    def chance(self, one_in: int = 2) -> bool:
        return self.below(one_in) == 0

    def pick(self, options: Sequence[T]) -> T:
        return options[self.below(len(options))]

    def char(self) -> str:
        kind = self.byte() % 8
        if kind < 4:
            return chr(0x20 + self.byte() % 0x5F)  # printable ASCII
        if kind < 6:
            return self.pick(self.SPECIAL)
        if kind == 6:
            return chr(self.below(0x110000))  # any code point, lone surrogates included
        return chr(0xD800 + self.below(0x800))  # a surrogate half

    def text(self, max_length: int = 12) -> str:
        return "".join(self.char() for _ in range(self.below(max_length + 1)))

    def count(self, most: int) -> int:
        return self.below(most + 1)


def main(test_one_input: Callable[[bytes], None]) -> None:
    """Runs the harness: libFuzzer's options in sys.argv under atheris, else the fallback."""
    if use_atheris():
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
        return
    seconds = 30.0
    for arg in sys.argv[1:]:
        if arg.startswith("-max_total_time="):
            seconds = float(arg.split("=", 1)[1])
    runs = fallback(test_one_input, seconds)
    print(f"Done {runs} runs in {seconds:g} second(s) (hypothesis fallback)", file=sys.stderr)


def fallback(test_one_input: Callable[[bytes], None], seconds: float) -> int:
    """Feeds hypothesis-generated inputs for about *seconds*; returns the number of runs.

    A finding propagates out of here after hypothesis has shrunk it, with the failing
    input printed.
    """
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    runs = 0

    @settings(max_examples=100, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(st.binary(max_size=2048))
    def batch(data: bytes) -> None:
        nonlocal runs
        runs += 1
        test_one_input(data)

    end = time.monotonic() + seconds
    while time.monotonic() < end:
        batch()
        print(f"#{runs}", file=sys.stderr)  # progress, in libFuzzer's form
    return runs
