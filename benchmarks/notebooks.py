"""Generated notebook namespaces, as `globals()` looks in a kernel after some work.

Everything is built from a fixed seed, so two runs describe the same notebooks.
"""

from __future__ import annotations

import importlib
import random
import sys

import numpy as np
import pandas as pd

# Modules a notebook typically has imported, and the names they are bound under.
MODULES = [
    ("np", "numpy"), ("pd", "pandas"), ("os", "os"), ("sys", "sys"), ("re", "re"),
    ("json", "json"), ("math", "math"), ("random", "random"), ("dt", "datetime"),
    ("itertools", "itertools"), ("collections", "collections"), ("functools", "functools"),
    ("pathlib", "pathlib"), ("statistics", "statistics"), ("csv", "csv"),
]

WORDS = ["price", "qty", "region", "store", "sku", "date", "total", "margin", "cost", "rate",
         "score", "label", "count", "weight", "city", "user", "event", "value", "flag", "level"]


def _kernel_names(ns: dict) -> None:
    """The names IPython puts into every notebook's namespace."""
    ns["__name__"] = "__main__"
    ns["__doc__"] = "Automatically created module for IPython interactive environment"
    ns["__builtins__"] = __builtins__
    ns["_ih"] = ns["In"] = ["", "import pandas as pd"]
    ns["_oh"] = ns["Out"] = {}
    ns["get_ipython"] = lambda: None
    ns["exit"] = ns["quit"] = object()
    ns["_"] = ns["__"] = ns["___"] = ""
    ns["_i"] = ns["_ii"] = ns["_iii"] = ""
    ns["_i1"] = "import pandas as pd"


def frame(rng: random.Random, columns: int, rows: int = 8) -> pd.DataFrame:
    """A frame whose columns cycle through the common dtypes."""
    data = {}
    for i in range(columns):
        name = f"{WORDS[i % len(WORDS)]}{i}"
        kind = i % 7
        if kind == 0:
            data[name] = np.arange(rows, dtype=np.int64) * rng.randint(1, 9)
        elif kind == 1:
            data[name] = np.linspace(0, rng.random(), rows)
        elif kind == 2:
            data[name] = [f"s{j}" for j in range(rows)]
        elif kind == 3:
            data[name] = np.arange(rows) % 2 == 0
        elif kind == 4:
            data[name] = pd.date_range("2024-01-01", periods=rows, freq="D")
        elif kind == 5:
            data[name] = pd.Categorical([f"c{j % 3}" for j in range(rows)])
        else:
            data[name] = np.arange(rows, dtype=np.int32)
    return pd.DataFrame(data)


def _value(rng: random.Random, i: int, kind: int):
    if kind == 0:
        return rng.randint(-10**6, 10**6)
    if kind == 1:
        return rng.random() * 1000
    if kind == 2:
        return f"text {i}"
    if kind == 3:
        return [rng.random() for _ in range(4)]
    if kind == 4:
        return {"id": i, "ok": True}
    if kind == 5:
        def helper(x, i=i):
            return x + i
        helper.__name__ = f"helper{i}"
        return helper
    return type(f"Model{i}", (), {"n": i})


def typical() -> dict:
    """300 names: 15 modules, 5 frames of 20 columns, the rest plain values, functions and
    classes; a third of the names hold an underscore, and In, Out, exit and quit are there."""
    rng = random.Random(1)
    ns: dict = {}
    _kernel_names(ns)
    for alias, name in MODULES:
        ns[alias] = importlib.import_module(name)
    for i in range(5):
        ns[f"df{i}" if i else "df"] = frame(rng, 20)
    i = 0
    while len(ns) < 300:
        underscored = sum("_" in k for k in ns) < len(ns) // 3
        word = WORDS[i % len(WORDS)]
        name = f"{word}_{i}" if underscored else f"{word}{i}"
        ns[name] = _value(rng, i, i % 7)
        i += 1
    return ns


def variable_heavy() -> dict:
    """20,000 names of mixed types: plain values, functions, classes and some modules;
    a third with an underscore."""
    rng = random.Random(2)
    ns: dict = {}
    _kernel_names(ns)
    for alias, name in MODULES:
        ns[alias] = importlib.import_module(name)
    i = 0
    while len(ns) < 20_000:
        word = WORDS[i % len(WORDS)]
        name = f"{word}_{i}" if i % 3 == 0 else f"{word}{i}"
        ns[name] = _value(rng, i, i % 7) if i % 200 else sys.modules[MODULES[i % 15][1]]
        i += 1
    return ns


def frame_heavy() -> dict:
    """100 DataFrames of 200 columns."""
    rng = random.Random(3)
    ns: dict = {}
    _kernel_names(ns)
    for i in range(100):
        ns[f"frame{i}"] = frame(rng, 200)
    return ns


NOTEBOOKS = {"typical": typical, "variable-heavy": variable_heavy, "frame-heavy": frame_heavy}
