"""Prompts for large namespaces: thousands of names, wide characters arriving late, a
namespace that shrinks while it is walked. The text must be the plain algorithm's."""

from __future__ import annotations

import os
import types

import pandas as pd
import plain_oracles as plain  # the composition as plain Python (tools/fuzz)
import pytest

CELLWRIGHT = "korvane.tessaly_gpt_sdk.cellwright"


@pytest.fixture
def cellwright(logged_in, fresh_import):
    return fresh_import(CELLWRIGHT)


def namespace(size: int, last_name: str | None = None) -> dict:
    values = [1, 2.5, "text", [1], {"a": 1}, len, type("Model", (), {}), os, pd.DataFrame({"a": [1]})]
    ns = {f"name{i}" if i % 3 else f"name_{i}": values[i % len(values)] for i in range(size)}
    if last_name is not None:
        ns[last_name] = 3
    return ns


@pytest.mark.parametrize("last_name", [None, "café", "名前", "𝔁𝔂"], ids=["ascii", "latin-1", "bmp", "astral"])
@pytest.mark.parametrize("query", ["plot it", "ünïcode 𝔮"])
def test_a_large_namespace_gives_the_plain_text_whatever_characters_come_last(cellwright, last_name, query):
    ns = namespace(5000, last_name)
    assert cellwright._generate_prompt(query, "Write python code for: ", ns) == plain.generate_prompt(cellwright, query, "Write python code for: ", ns)


def test_a_large_namespace_with_a_query_added_by_plus(cellwright):
    class Suffix:
        def __radd__(self, other):
            return ("added", len(other))

    ns = namespace(3000)
    assert cellwright._generate_prompt(Suffix(), "B", ns) == ("added", len(plain.generate_prompt(cellwright, "", "B", ns)))


def test_a_namespace_emptied_while_it_is_walked_ends_with_the_interpreters_error(cellwright):
    ns = namespace(200)

    class Clearing(str):
        def __contains__(self, item):
            ns.clear()
            return False

    ns = {Clearing("trigger"): 1, **ns}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        cellwright._generate_prompt("q", "B", ns)


def test_a_module_subclass_value_is_a_variable_not_a_module(cellwright):
    class Lazy(types.ModuleType):
        pass

    ns = {"lazy": Lazy("lazy"), "real": os, **namespace(100)}
    assert cellwright._generate_prompt("q", "B", ns) == plain.generate_prompt(cellwright, "q", "B", ns)
