"""Fuzzes ``_generate_prompt`` against the plain algorithm, with globals built from the input.

Each input is read twice into two identical, independent worlds: a ``global_variables``
container (exact dict, dict subclass, Mapping, or something that is no mapping at all),
names with and without underscores (str, str subclasses that run code in ``__format__``,
``__contains__``, ``__ne__``, ``__eq__`` or ``__hash__``, and non-str names), and values
(modules, DataFrames with random column labels and dtypes, DataFrame subclasses, classes
whose metaclass runs code when compared or formatted, plain objects). The extension runs
in one world and the oracle in the other; the results or exceptions, the code each side
ran (in order) and what was left in the container must all be the same.
"""

from __future__ import annotations

import os
import reprlib
import sys
import types
from collections.abc import Mapping
from typing import Any
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from fuzz_driver import Input, instrument_module, instrumented, main  # noqa: E402

with instrumented(__name__ == "__main__"):
    import plain_oracles as plain  # noqa: E402

NAMES = ["x", "df", "os", "np", "In", "Out", "quit", "exit", "in", "OUT", "Exit", "_", "__", "_x", "a_b",
         "x_", "", "data frame", "ü", "\x00", "\ud800"]
DTYPES = ["int64", "float64", "object", "bool", "category", "datetime64[ns]", "timedelta64[ns]", "Int64",
          "string", "complex128", "float32", "uint8", "datetime64[ns, UTC]", "boolean"]


class Fault(Exception):
    """Raised by the world's objects when the input tells them to fail."""


class World:
    """One materialisation of an input: its objects record what code of theirs ran."""

    def __init__(self, data: bytes) -> None:
        self.input = Input(data)
        self.log: list[tuple[Any, ...]] = []
        self.container: Any = None  # what the mutating objects change
        self.frame_class: type = pd.DataFrame

    # -- what an object does when its code runs ------------------------------------------

    def action(self) -> Callable[[], None]:
        """What a hook does before it answers, on every call or on its n-th call only:
        nothing, fail, or change the container (drop a name, add one, or rebind the first
        name to a module)."""
        inp = self.input
        kind, when = inp.below(8), inp.below(4)
        calls = 0

        def act() -> None:
            nonlocal calls
            calls += 1
            if when and calls != when:
                return
            target = self.mutable()
            if kind == 4:
                raise Fault(message)
            if target is None:
                return
            if kind == 5:
                target.pop(key, None)
            elif kind == 6:
                target[key] = number
            elif kind == 7 and target:
                target[next(iter(dict.keys(target)))] = os

        message, key, number = inp.text(6), inp.pick(NAMES), inp.below(1000)
        return act

    def mutable(self) -> dict | None:
        """The dict behind the container, once the call has it."""
        c = self.container
        if isinstance(c, OddMapping):
            return c.backing
        return c if isinstance(c, dict) else None

    def hook(self, tag: str) -> Callable[..., None]:
        act = self.action()
        log = self.log

        def run(*details: Any) -> None:
            log.append((tag, *details))
            act()

        return run

    # -- names -------------------------------------------------------------------------------

    def name(self) -> Any:
        inp = self.input
        kind = inp.below(16)
        if kind < 7:
            return inp.pick(NAMES)
        if kind < 11:
            return inp.text(8)
        if kind < 15:
            return self.odd_str(inp.pick(NAMES) if inp.chance() else inp.text(6))
        return inp.pick([7, (1, "x"), b"_x", None, 2.5, frozenset({"a"})])

    def odd_str(self, text: str) -> OddStr:
        s = OddStr(text)
        s.shown = self.input.pick([text, "shown", "", "`${", "\ud800"])
        s.on_format = self.hook("format")
        s.on_contains = self.hook("contains")
        s.on_ne = self.hook("ne")
        s.on_eq = self.hook("eq")
        s.on_hash = self.hook("hash") if self.input.chance(4) else None
        s.ne_result = self.input.pick([None, None, None, None, True, False, Truthless()])
        return s

    # -- values ------------------------------------------------------------------------------

    def value(self) -> Any:
        inp = self.input
        kind = inp.below(12)
        if kind == 0:
            return inp.below(1 << 20)
        if kind == 1:
            return inp.text(8)
        if kind == 2:
            return inp.pick([os, sys, np, types.ModuleType(inp.text(4)), ModuleSub("sub")])
        if kind in (3, 4, 5):
            return self.frame(pd.DataFrame if kind != 5 else FrameSub)
        if kind == 6:
            return self.odd_class()()
        if kind == 7:
            return self.odd_class()
        if kind == 8:
            return inp.pick([None, float("nan"), b"bytes", [1, 2], len, print, pd.Series([1]), Truthless()])
        if kind == 9:
            name = "".join(c for c in inp.text(6) if c != "\x00" and not 0xD800 <= ord(c) < 0xE000)
            return type(name or "C", (), {"__module__": inp.pick(["m", "", None, 5])})()
        if kind == 10:
            return np.dtype(inp.pick(["int64", "float32", "O"]))
        return self.odd_str(inp.text(4))

    def odd_class(self) -> type:
        """A class whose metaclass runs code when the class is compared or formatted."""
        on_eq, on_format = self.hook("type-eq"), self.hook("type-format")
        result = self.input.pick([False, True, Truthless(), NotImplemented])
        text = self.input.pick(["Odd", "", "\ud800", "<class 'int'>"])

        class Meta(type):
            def __eq__(cls, other: Any) -> Any:
                on_eq(getattr(other, "__name__", "?"))
                return result

            __hash__ = type.__hash__

            def __format__(cls, spec: str) -> str:
                on_format(spec)
                return text

        return Meta("Odd", (), {})

    def frame(self, kind: type) -> pd.DataFrame:
        inp = self.input
        columns = {}
        for _ in range(inp.count(5)):
            label = self.label()
            dtype = inp.pick(DTYPES)
            columns[label] = column(dtype, rows=inp.below(2))
        try:
            frame = kind(columns)
        except (TypeError, ValueError):  # a label pandas will not take
            frame = kind()
        return frame

    def label(self) -> Any:
        inp = self.input
        kind = inp.below(6)
        if kind == 0:
            return inp.text(6)
        if kind == 1:
            return inp.below(100) - 50
        if kind == 2:
            return inp.pick([None, 1.5, True, (1, "a"), ""])
        if kind == 3:
            label = OddLabel(inp.below(4))
            label.on_format = self.hook("label-format")
            label.shown = inp.pick(["L", "\ud800", "`"])
            return label
        return inp.pick(["a", "b", "price", "a"])

    # -- the call ----------------------------------------------------------------------------

    def arguments(self) -> tuple[Any, Any, Any]:
        inp = self.input
        # The module's DataFrame is read at call time: sometimes it names the subclass.
        self.frame_class = FrameSub if inp.chance(8) else pd.DataFrame
        entries = [(self.name(), self.value()) for _ in range(inp.count(6))]
        kind = inp.below(10)
        if kind < 4:
            container: Any = {}
        elif kind < 6:
            container = OddDict()
            container.on_getitem, container.on_iter = self.hook("getitem"), self.hook("iter")
        elif kind < 8:
            container = OddMapping({})
            container.on_getitem, container.on_iter = self.hook("getitem"), self.hook("iter")
        elif kind == 8:
            container = None
        else:
            container = inp.pick([[], "xy", 5, ("x",)])
        target = container.backing if isinstance(container, OddMapping) else container
        if isinstance(target, dict):
            for name, value in entries:
                try:
                    dict.__setitem__(target, name, value)
                except Fault:  # a name whose hash fails already at insertion
                    pass
        elif isinstance(target, list):
            target.extend(name for name, _ in entries)
        self.container = container
        query = inp.pick(["q", "", inp.text(8), 5, None, RightAdd(), self.odd_str("q")])
        base = inp.pick(["Write python code for: ", "", inp.text(6), "Debug: \n", "x", "y", "z", BaseText("b")])
        return query, base, container


class Truthless:
    """An object whose truth cannot be told."""

    def __bool__(self) -> bool:
        raise Fault("no truth")


class RightAdd:
    def __radd__(self, other: str) -> tuple[str, int]:
        return ("added", len(other))


class BaseText(str):
    pass


class ModuleSub(types.ModuleType):
    pass


class FrameSub(pd.DataFrame):
    pass


class OddStr(str):
    shown = ""
    ne_result: Any = None
    on_format = on_contains = on_ne = on_eq = staticmethod(lambda *a: None)
    on_hash: Any = None

    def __format__(self, spec: str) -> str:
        self.on_format(str(self))
        return self.shown

    def __contains__(self, item: object) -> bool:
        self.on_contains(str(self), detail(item))
        return str.__contains__(self, item)

    def __ne__(self, other: object) -> Any:
        self.on_ne(str(self), detail(other))
        return str.__ne__(self, other) if self.ne_result is None else self.ne_result

    def __eq__(self, other: object) -> Any:
        self.on_eq(str(self), detail(other))
        return str.__eq__(self, other)

    def __hash__(self) -> int:
        if self.on_hash is not None:
            self.on_hash(str(self))
        return str.__hash__(self)


class OddLabel:
    on_format: Any = None
    shown = "L"

    def __init__(self, key: int) -> None:
        self.key = key

    def __hash__(self) -> int:
        return hash(self.key)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, OddLabel) and other.key == self.key

    def __format__(self, spec: str) -> str:
        self.on_format(self.key)
        return self.shown


class OddDict(dict):
    on_getitem: Any = None
    on_iter: Any = None

    def __getitem__(self, key: Any) -> Any:
        self.on_getitem(detail(key))
        return dict.__getitem__(self, key)

    def __iter__(self):
        self.on_iter()
        return dict.__iter__(self)


class OddMapping(Mapping):
    on_getitem: Any = None
    on_iter: Any = None

    def __init__(self, backing: dict) -> None:
        self.backing = backing

    def __getitem__(self, key: Any) -> Any:
        self.on_getitem(detail(key))
        return self.backing[key]

    def __iter__(self):
        self.on_iter()
        return iter(self.backing)

    def __len__(self) -> int:
        return len(self.backing)


def column(dtype: str, rows: int) -> pd.Series:
    try:
        return pd.Series([0] * rows, dtype="int64").astype(dtype)
    except (TypeError, ValueError):  # no conversion from int to this dtype
        return pd.Series([None] * rows, dtype="object")


def detail(value: Any) -> Any:
    """A log entry's detail, as plain data (comparing logs must run no hook)."""
    return str(value) if isinstance(value, str) else type(value).__name__


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", call())
    except Exception as error:  # the oracle decides which exceptions are right
        return ("raised", type(error), str(error))


def remains(container: Any) -> Any:
    """What a run left in the container: its keys and the type of each value."""
    target = container.backing if isinstance(container, OddMapping) else container
    if isinstance(target, dict):
        return [(repr(k), type(v).__name__) for k, v in dict.items(target)]
    return repr(target)


def run_one(cellwright: types.ModuleType, data: bytes) -> tuple[Any, Any]:
    """(extension's observations, oracle's observations) for one input."""
    observed = []
    for implementation in ("extension", "oracle"):
        world = World(data)
        query, base, container = world.arguments()
        if implementation == "extension":
            call = lambda: cellwright._generate_prompt(query, base, container)  # noqa: E731
        else:
            call = lambda: plain.generate_prompt(cellwright, query, base, container)  # noqa: E731
        saved, cellwright.DataFrame = cellwright.DataFrame, world.frame_class
        try:
            result = outcome(call)
        finally:
            cellwright.DataFrame = saved
        observed.append((result, world.log, remains(container)))
    return observed[0], observed[1]


def same(a: Any, b: Any) -> bool:
    # A hook that reenters itself ends in RecursionError on both sides, but where the limit
    # strikes (and so the message and the log's length) depends on the depth of each
    # side's own stack.
    if a[0][:2] == b[0][:2] == ("raised", RecursionError):
        return True
    try:
        return bool(a == b)
    except Exception:
        return repr(a) == repr(b)


def shorten(observed: Any) -> str:
    short = reprlib.Repr()
    short.maxlist, short.maxtuple, short.maxstring, short.maxother = 12, 6, 200, 200
    return short.repr(observed)


_cellwright: types.ModuleType | None = None


def test_one_input(data: bytes) -> None:
    global _cellwright
    if _cellwright is None:
        from fuzz_session import logged_in_cellwright

        _cellwright = logged_in_cellwright()
    extension, oracle = run_one(_cellwright, data)
    if not same(extension, oracle):
        raise AssertionError(f"_generate_prompt differs from the plain algorithm:\n"
                             f"  extension: {shorten(extension)}\n  oracle:    {shorten(oracle)}")


if __name__ == "__main__":
    instrument_module(globals())
    main(test_one_input)
