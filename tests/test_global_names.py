"""A function reads each global name at the moment of use, though it remembers where it found it.

_encrypt reads the module global `base64` and the builtin `str` on every call, which makes
it a small probe of how names are resolved.
"""

from __future__ import annotations

import builtins
import importlib.util
from types import SimpleNamespace

import pytest


def fake_base64(encoded: bytes) -> SimpleNamespace:
    return SimpleNamespace(b64encode=lambda data: encoded)


def test_a_rebound_global_is_read_at_the_next_call_and_again_after_restoring(wardlock, monkeypatch):
    assert wardlock._encrypt("x") == "eA=="
    monkeypatch.setattr(wardlock, "base64", fake_base64(b"first"))
    assert wardlock._encrypt("x") == "first"
    monkeypatch.setattr(wardlock, "base64", fake_base64(b"second"))
    assert wardlock._encrypt("x") == "second"
    monkeypatch.undo()
    assert wardlock._encrypt("x") == "eA=="


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_a_builtin_is_shadowed_and_unshadowed_as_the_namespaces_change(wardlock, monkeypatch, where):
    real_str = builtins.str

    def shouting_str(data, encoding):
        return "STR:" + real_str(data, encoding)

    assert wardlock._encrypt("x") == "eA=="  # `str` found in the builtins
    target = wardlock if where == "module" else builtins
    monkeypatch.setattr(target, "str", shouting_str, raising=where == "builtins")
    shadowed = wardlock._encrypt("x")
    monkeypatch.undo()
    assert (shadowed, wardlock._encrypt("x")) == ("STR:eA==", "eA==")


def test_a_deleted_global_is_a_name_error_until_it_is_bound_again(wardlock, monkeypatch):
    assert wardlock._encrypt("x") == "eA=="
    monkeypatch.delattr(wardlock, "base64")
    with pytest.raises(NameError, match="^name 'base64' is not defined$"):
        wardlock._encrypt("x")
    monkeypatch.undo()
    assert wardlock._encrypt("x") == "eA=="


def test_two_instances_of_a_module_each_read_their_own_namespace(wardlock):
    spec = importlib.util.find_spec("korvane.validation.wardlock")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    other.base64 = fake_base64(b"other")
    # Alternate, so that each call follows one made in the other namespace.
    assert [wardlock._encrypt("x"), other._encrypt("x"), wardlock._encrypt("x"), other._encrypt("x")] == [
        "eA==", "other", "eA==", "other"]
