"""Our functions behave as Python functions do wherever callers and tools look at them."""

from __future__ import annotations

import copy
import gc
import inspect
import io
import json
import pickle
import pydoc
import re
import sys
import weakref

import pytest
from korvane_fixtures import run_isolated


@pytest.fixture
def validate_token(wardlock):
    return wardlock.validate_token


def test_repr_weakref_copy_and_pickle(validate_token):
    assert re.fullmatch(r"<function validate_token at 0x[0-9a-f]+>", repr(validate_token))
    assert weakref.ref(validate_token)() is validate_token
    assert copy.copy(validate_token) is validate_token and copy.deepcopy(validate_token) is validate_token
    assert pickle.loads(pickle.dumps(validate_token)) is validate_token
    # Offsets into the object are no attributes of a Python function, nor of ours.
    assert not hasattr(validate_token, "__vectorcalloffset__") and not hasattr(validate_token, "__weaklistoffset__")


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


def test_surplus_defaults_bind_as_for_a_python_function(wardlock, monkeypatch):
    def _decrypt(ciphertext):
        return ciphertext

    ours = wardlock._decrypt
    for function in (ours, _decrypt):
        monkeypatch.setattr(function, "__defaults__", ("x", "aGk="))
    assert _decrypt() == "aGk=" and ours() == "hi"  # the last default, not the first
    assert str(inspect.signature(ours)) == str(inspect.signature(_decrypt))
    with pytest.raises(TypeError) as raised:
        ours(1, 2)
    assert str(raised.value) == "_decrypt() takes from -1 to 1 positional arguments but 2 were given"


def test_defaults_are_read_after_keywords_ran_code(wardlock, secret_file, monkeypatch):
    """A keyword whose comparison drops __defaults__ leaves no defaults to bind, as the
    interpreter reads them only once the keywords are matched."""
    def _update_credentials(username, password, token, tenant):
        return "bound"

    _update_credentials.__qualname__ = "_update_credentials"

    class Dropping(str):
        def __eq__(self, other):
            function.__defaults__ = None
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    outcomes = []
    for function in (wardlock._update_credentials, _update_credentials):
        monkeypatch.setattr(function, "__defaults__", ("alice", "pw", "token", "acme"))
        with pytest.raises(TypeError) as raised:
            function(**{Dropping("tenant"): "acme"})
        outcomes.append(str(raised.value))
    assert outcomes[0] == outcomes[1] and not secret_file.exists()


def test_signature_survives_defaults_changing_while_it_is_built():
    # inspect.signature() used to count __defaults__ once and read it again after Python
    # code had run, and crashed when the tuple was gone by then.
    run_isolated("""
        import inspect, sys, threading
        import korvane.validation.wardlock as wardlock

        def twin(token, tenant):
            pass

        class Dropping(str):
            # An annotation key whose comparison with a parameter name drops __defaults__.
            def __eq__(self, other):
                function.__defaults__ = None
                return False
            __hash__ = str.__hash__

        shown = []
        for function in (wardlock.validate_token, twin):
            function.__defaults__ = ("t", "acme")
            function.__annotations__ = {Dropping("token"): int}
            shown.append(str(inspect.signature(function)))
        assert shown == ["(token='t', tenant='acme')"] * 2, shown

        # Another thread dropping __defaults__ while signatures are built.
        function = wardlock.validate_token
        function.__annotations__ = {}
        done = threading.Event()
        def drop():
            while not done.is_set():
                function.__defaults__ = None
        sys.setswitchinterval(1e-6)
        thread = threading.Thread(target=drop)
        thread.start()
        try:
            for _ in range(3000):
                function.__defaults__ = ("t", "acme")
                assert str(inspect.signature(function)) in ("(token, tenant)", "(token='t', tenant='acme')")
        finally:
            done.set()
            thread.join()
    """)


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


class BackReference(str):
    """A text that refers back to the function it is an attribute of."""


@pytest.mark.parametrize("attribute", [None, "__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                                       "__annotations__", "custom"])
def test_functions_are_collected_with_their_module(wardlock, attribute):
    import korvane.validation.wardlock as loaded

    del sys.modules["korvane.validation.wardlock"]
    try:
        import korvane.validation.wardlock as again

        sys.modules["korvane.validation"].wardlock = loaded
        assert again is not loaded and again.validate_token is not loaded.validate_token
        function = again.validate_token
        if attribute:
            # A cycle through the attribute, which the collector must see to free the module.
            cycle = BackReference("validate_token")
            cycle.function = function
            value = {"__defaults__": (cycle,), "__annotations__": {"token": cycle}}.get(attribute, cycle)
            setattr(function, attribute, value)
            del cycle, value
        probes = weakref.ref(function), weakref.ref(again)
        del sys.modules["korvane.validation.wardlock"], again, function
        gc.collect()
        assert [probe() for probe in probes] == [None, None]
    finally:
        sys.modules["korvane.validation.wardlock"] = loaded


def test_a_function_the_collector_has_cleared_raises_when_called_instead_of_crashing():
    # The collector clears the objects of a cycle one by one, and a finalizer or a weak
    # reference's callback may still reach one already cleared. The type's own tp_clear
    # leaves each in exactly that state.
    run_isolated("""
import ctypes
from korvane.validation import wardlock

def collector_clears(obj):
    tp_clear = ctypes.c_void_p.from_address(id(type(obj)) + 24 * ctypes.sizeof(ctypes.c_void_p)).value
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(tp_clear)(obj)

login, encrypt = wardlock.authenticate_credentials, wardlock._encrypt
for cleared, call, said in [
    (wardlock, login, "_check_credentials() can no longer be called: the garbage collector has cleared its module"),
    (encrypt, lambda: encrypt("x"), "_encrypt() can no longer be called: the garbage collector has cleared it"),
]:
    collector_clears(cleared)
    try:
        call()
    except RuntimeError as error:
        assert str(error) == said, error
    else:
        raise AssertionError("called")
""")


# ---- the with statement -------------------------------------------------------------------


class Manager:
    """A context manager that logs what the statement does with it."""

    def __init__(self, log, text="{}", swallow=False, fail=False):
        self.log, self.text, self.swallow, self.fail = log, text, swallow, fail

    def __enter__(self):
        self.log.append("enter")
        return io.StringIO(self.text)

    def __exit__(self, kind, value, traceback):
        self.log.append(("exit", kind, type(value), type(traceback), type(sys.exception())))
        if self.fail:
            raise ValueError("from __exit__")
        return self.swallow


class EnterOnly:
    def __init__(self, log):
        self.log = log

    def __enter__(self):
        self.log.append("enter")


class OnTheMetaclass(type):
    def __enter__(cls):
        return io.StringIO("{}")

    def __exit__(cls, *args):
        return False


class Static:
    __enter__ = staticmethod(lambda: io.StringIO("{}"))
    __exit__ = staticmethod(lambda *args: Static.log.append(("exit", len(args))))


def instance_methods(log):
    manager = EnterOnly(log)
    manager.__exit__ = lambda *args: False  # an instance's own attribute is not looked at
    return manager


def read_with_statement(open, path):
    """What wardlock's credential reader does with `open`, as plain Python."""
    with open(path, "r") as file:
        secret_data = json.load(file)
    return secret_data


@pytest.mark.parametrize("make", [
    lambda log: object(),
    EnterOnly,
    instance_methods,
    lambda log: OnTheMetaclass("Odd", (), {})(),
    lambda log: Static(),
    Manager,
    lambda log: Manager(log, text="not json"),
    lambda log: Manager(log, text="not json", swallow=True),
    lambda log: Manager(log, text="not json", fail=True),
], ids=["no-methods", "no-exit", "instance-attributes", "metaclass", "staticmethods", "clean", "body-fails",
        "exit-swallows", "exit-fails"])
def test_with_acts_as_the_statement(wardlock, secret_file, monkeypatch, make):
    secret_file.write_text("{}")

    def outcome(read):
        Static.log = log = []
        monkeypatch.setattr(wardlock, "open", lambda *args, **kwargs: make(log), raising=False)
        try:
            read()
            result = "done"
        except Exception as error:
            # After a swallowed error the reader names the unbound variable in its own words.
            text = "" if isinstance(error, UnboundLocalError) else str(error)
            result = type(error), text, type(error.__context__)
        return result, log

    ours = outcome(wardlock._check_credentials)
    assert ours == outcome(lambda: read_with_statement(wardlock.open, str(secret_file)))
