"""A function reads each global name at the moment of use, though it remembers where it found it.

_encrypt reads the module global `base64` and the builtin `str` on every call, which makes
it a small probe of how names are resolved.
"""

from __future__ import annotations

import builtins
import importlib.util
from types import SimpleNamespace

import pytest
from korvane_fixtures import run_isolated


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


def test_a_global_bound_while_the_builtins_were_searched_is_seen_at_the_next_call():
    # Searching the builtins for `str` runs the __eq__ of a colliding key, which binds the
    # module global `str`: the next call must find that global, as the interpreter would.
    run_isolated("""
        import builtins
        import korvane.validation.wardlock as wardlock

        real_str = builtins.str

        class Binding:
            armed = False
            def __hash__(self):
                return hash("str")
            def __eq__(self, other):
                if Binding.armed:
                    Binding.armed = False
                    wardlock.str = lambda data, encoding: "STR:" + real_str(data, encoding)
                return False

        # The key takes the place of `str`, which is put back after it: it is compared first.
        namespace, binding = vars(builtins), Binding()
        namespace[binding] = namespace.pop("str")
        namespace["str"] = namespace[binding]
        assert wardlock._encrypt("x") == "eA=="
        Binding.armed = True
        wardlock.unrelated = 1  # a change to the namespace, so that `str` is searched again
        assert wardlock._encrypt("x") == "eA=="  # the search that binds the global
        assert wardlock._encrypt("x") == "STR:eA=="
    """)
