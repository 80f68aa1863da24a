"""A function reads each global name at the moment of use, though it remembers where it found it.

_encrypt reads the module global `base64` and the builtin `str` on every call, which makes
it a small probe of how names are resolved.
"""

from __future__ import annotations

import builtins
import importlib.util
import sys
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


def _dict_watchers_to_compete_with() -> str | None:
    """Why the dict-watcher cases cannot run here, or None when they can."""
    if sys.version_info < (3, 12):
        return "dict watchers exist from 3.12 on; 3.11 stamps dicts with their own version"
    try:
        import _testcapi
    except ImportError:
        return "this interpreter has no _testcapi to stand in for another extension's dict watchers"
    if not all(hasattr(_testcapi, f) for f in ("add_dict_watcher", "clear_dict_watcher", "run_in_subinterp")):
        return "this _testcapi has no dict watchers or sub-interpreters"
    return None


# Each ends with a rebinding that a stale cache would miss: "first" where "second" is due.
# _testcapi.add_dict_watcher stands in for another extension that watches dicts too.
STAMPS_FROM_WATCHERS_NOT_OURS = {
    "every slot taken at the first lookup, one given back later": """
        import _testcapi
        import korvane.validation.wardlock as wardlock

        taken = []
        while True:
            try:
                taken.append(_testcapi.add_dict_watcher(0))
            except RuntimeError:
                break
        wardlock.str = lambda data, encoding: "first"
        assert wardlock._encrypt("x") == "first"  # looked up with no watcher to be had
        _testcapi.clear_dict_watcher(taken.pop())
        wardlock.str = lambda data, encoding: "second"
        # A name looked up for the first time, now with a watcher.
        wardlock._check_credentials = lambda: (True, "token", "acme")
        assert wardlock.authenticate_credentials() == ("token", "acme")
        assert wardlock._encrypt("x") == "second"
    """,
    "first used in a sub-interpreter, the id another extension's in the main one": """
        import _testcapi

        _testcapi.add_dict_watcher(0)
        assert _testcapi.run_in_subinterp(
            "import korvane.validation.wardlock as w; assert w._encrypt('x') == 'eA=='") == 0
        import korvane.validation.wardlock as wardlock

        wardlock.str = lambda data, encoding: "first"
        assert wardlock._encrypt("x") == "first"
        wardlock.str = lambda data, encoding: "second"
        assert wardlock._encrypt("x") == "second"
    """,
    "first used in the main interpreter, the id another extension's in a sub-interpreter": """
        import _testcapi
        import korvane.validation.wardlock as wardlock

        assert wardlock._encrypt("x") == "eA=="
        assert _testcapi.run_in_subinterp('''if True:
            import _testcapi
            import korvane.validation.wardlock as wardlock

            _testcapi.add_dict_watcher(0)
            wardlock.str = lambda data, encoding: "first"
            assert wardlock._encrypt("x") == "first"
            wardlock.str = lambda data, encoding: "second"
            assert wardlock._encrypt("x") == "second"
        ''') == 0
    """,
    # Not a stale value, but the cache turned off for the whole process: the search for
    # `base64` compares a colliding key each time the name is not taken from the cache.
    "a sub-interpreter's use leaves the main interpreter's cache on": """
        import _testcapi
        import korvane.validation.wardlock as wardlock

        class Colliding:
            compared = 0
            def __hash__(self):
                return hash("base64")
            def __eq__(self, other):
                Colliding.compared += 1
                return False

        namespace, key = vars(wardlock), Colliding()
        namespace[key] = namespace.pop("base64")  # compared before `base64`, put back after it
        namespace["base64"] = namespace[key]
        assert _testcapi.run_in_subinterp(
            "import korvane.validation.wardlock as w; assert w._encrypt('x') == 'eA=='") == 0
        assert wardlock._encrypt("x") == "eA=="
        searched = Colliding.compared
        for _ in range(3):
            assert wardlock._encrypt("x") == "eA=="
        assert Colliding.compared == searched, "every call searched the namespace again"
    """,
}


@pytest.mark.skipif(_dict_watchers_to_compete_with() is not None, reason=str(_dict_watchers_to_compete_with()))
@pytest.mark.parametrize("script", STAMPS_FROM_WATCHERS_NOT_OURS.values(), ids=STAMPS_FROM_WATCHERS_NOT_OURS)
def test_a_name_rebound_is_never_read_stale_whatever_other_dict_watchers_and_interpreters_do(script):
    run_isolated(script)
