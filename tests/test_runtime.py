"""Our functions behave as Python functions do wherever callers and tools look at them."""

from __future__ import annotations

import copy
import gc
import inspect
import pickle
import pydoc
import re
import weakref

import pytest


@pytest.fixture
def validate_token(wardlock):
    return wardlock.validate_token


def test_repr_weakref_copy_and_pickle(validate_token):
    assert re.fullmatch(r"<function validate_token at 0x[0-9a-f]+>", repr(validate_token))
    assert weakref.ref(validate_token)() is validate_token
    assert copy.copy(validate_token) is validate_token and copy.deepcopy(validate_token) is validate_token
    assert pickle.loads(pickle.dumps(validate_token)) is validate_token


def test_function_attributes_can_be_set_like_a_python_functions(validate_token, monkeypatch):
    monkeypatch.setattr(validate_token, "__doc__", "checked", raising=False)
    validate_token.custom = 1
    try:
        assert validate_token.__doc__ == "checked" and vars(validate_token) == {"custom": 1}
    finally:
        del validate_token.custom
    with pytest.raises(TypeError):
        validate_token.__name__ = 3
    with pytest.raises(TypeError):
        validate_token.__defaults__ = ["not", "a tuple"]


def test_rebound_defaults_take_part_in_binding_and_signature(wardlock, monkeypatch):
    fn = wardlock._decrypt
    monkeypatch.setattr(fn, "__defaults__", ("aGk=",))
    assert fn() == "hi"
    assert str(inspect.signature(fn)) == "(ciphertext='aGk=')"
    monkeypatch.setattr(fn, "__defaults__", None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'ciphertext'"):
        fn()


def test_keywords_match_by_value_not_identity(wardlock):
    name = "".join(["cipher", "text"])  # a str that is not the interned parameter name
    assert wardlock._decrypt(**{name: "aGk="}) == "hi"


def test_functions_bind_as_methods_like_python_functions(wardlock):
    class Holder:
        decode = wardlock._decrypt

    assert Holder.decode("aGk=") == "hi"
    holder = Holder()
    assert holder.decode() is holder  # the instance is the argument, and is not Base64


def test_tools_see_a_function(validate_token):
    assert inspect.isroutine(validate_token) and callable(validate_token)
    text = pydoc.render_doc(validate_token, renderer=pydoc.plaintext)
    assert "validate_token(token, tenant)" in text


def test_functions_are_collected_with_their_module(wardlock):
    import sys

    import korvane.validation.wardlock as loaded

    del sys.modules["korvane.validation.wardlock"]
    try:
        import korvane.validation.wardlock as again

        sys.modules["korvane.validation"].wardlock = loaded
        assert again is not loaded and again.validate_token is not loaded.validate_token
        probe = weakref.ref(again.validate_token)
        del sys.modules["korvane.validation.wardlock"], again
        gc.collect()
        assert probe() is None
    finally:
        sys.modules["korvane.validation.wardlock"] = loaded
