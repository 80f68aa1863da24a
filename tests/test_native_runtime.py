"""The modules as shared objects among others: what they export, C++ exceptions through their
frames, and the C++ runtime linked into them beside the libstdc++ of other extensions."""

from __future__ import annotations

import importlib.util
import os
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest
import requests
from korvane_fixtures import run_isolated

MODULES = {
    "korvane.validation.wardlock": "PyInit_wardlock",
    "korvane.validation.authentication": "PyInit_authentication",
    "korvane.tessaly_gpt_sdk.endpoints": "PyInit_endpoints",
    "korvane.tessaly_gpt_sdk.cellwright": "PyInit_cellwright",
}


def exported_symbols(path: str) -> set[str]:
    """The symbols a 64-bit little-endian ELF shared object defines for other objects to bind to."""
    data = Path(path).read_bytes()
    assert data[:6] == b"\x7fELF\x02\x01", f"{path} is no ELF64 little-endian object"
    section_offset, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count = struct.unpack_from("<HH", data, 0x3A)
    # (name, type, flags, address, offset, size, link, info, alignment, entry size)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, section_offset + i * entry_size) for i in range(count)]
    names = set()
    for _, kind, _, _, offset, size, link, _, _, symbol_size in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings = sections[link][4]
        for at in range(offset + symbol_size, offset + size, symbol_size):  # entry 0 is no symbol
            name, info, other, section = struct.unpack_from("<IBBH", data, at)
            # Defined, not local (global, weak or GNU unique), default or protected visibility.
            if section != 0 and info >> 4 != 0 and other & 3 in (0, 3):
                start = strings + name
                names.add(data[start:data.index(b"\0", start)].decode())
    return names


def test_each_module_exports_only_its_init_function():
    """Anything more (operator new, the unwinder, template instances) would bind to or be
    bound by another library's copy of the C++ runtime in the same process."""
    exported = {name: exported_symbols(importlib.util.find_spec(name).origin) for name in MODULES}
    assert exported == {name: {init} for name, init in MODULES.items()}


def raising(error):
    def fail(*args, **kwargs):
        raise error

    return fail


def _deep(wardlock, depth):
    """A fake requests.get that re-enters validate_token until *depth* calls are open, then interrupts."""
    def get(*args, **kwargs):
        nonlocal depth
        depth -= 1
        if depth == 0:
            raise KeyboardInterrupt("innermost")
        return wardlock.validate_token("tok", "acme")

    return get


def _through_authentication(auth):
    auth.requests = SimpleNamespace(request=raising(requests.ConnectionError("refused")))
    return lambda *args, **kwargs: auth._validate_secret("app-token", "acme")


# (case, the fake requests.get, what validate_token gives: a value, or an exception type and text)
EXCEPTION_CASES = [
    # A Python error raised under a C++ frame, caught there and answered.
    ("caught in the module", lambda w, a: raising(ValueError("bad")), False),
    # Caught, then thrown anew from within the handler, reworded.
    ("rethrown from the handler", lambda w, a: raising(requests.ConnectionError("refused")),
     (requests.ConnectionError, "could not be reached for the token check: ")),
    # Not an Exception: it passes through the module's catch clauses untouched.
    ("passed through", lambda w, a: raising(KeyboardInterrupt("stop")), (KeyboardInterrupt, "stop")),
    # Raised under the authentication module's C++ frames, caught under wardlock's.
    ("across two modules", lambda w, a: _through_authentication(a),
     (requests.ConnectionError, "could not be reached for the token check: ")),
    # One exception unwinding fifty nested calls of the module.
    ("through fifty re-entries", lambda w, a: _deep(w, 50), (KeyboardInterrupt, "innermost")),
]


@pytest.mark.parametrize("fake_get, expected", [case[1:] for case in EXCEPTION_CASES],
                         ids=[case[0] for case in EXCEPTION_CASES])
def test_cxx_exceptions_thrown_and_caught_in_the_modules(wardlock, auth, monkeypatch, capsys, fake_get, expected):
    monkeypatch.setattr(auth, "requests", auth.requests)  # put back what a case replaces
    monkeypatch.setattr(wardlock, "requests", SimpleNamespace(get=fake_get(wardlock, auth)))
    if isinstance(expected, tuple):
        error, text = expected
        with pytest.raises(error, match=text):
            wardlock.validate_token("tok", "acme")
    else:
        assert wardlock.validate_token("tok", "acme") is expected
        assert "Error occurred while validating the token" in capsys.readouterr().out
    # Both modules still work after the unwinding: caught inside, and a binding error out.
    assert wardlock._decrypt("abc") == "abc"
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        auth._validate_secret("app-token")


# Runs in a fresh interpreter: which of the runtimes loads first is what may differ.
NEIGHBOURS = """
import os, tempfile
if {libstdcxx_first}:
    import gemmi, numpy, pandas
from korvane.testing import TenantService
with tempfile.TemporaryDirectory() as home, TenantService() as service, service.routed():
    service.add_user("alice", "wonderland", tenant="acme")
    with open("/proc/self/maps") as maps:
        assert ("libstdc++" in maps.read()) == {libstdcxx_first}, "the order the test is about"
    from korvane.validation import wardlock, authentication
    wardlock.secret_file_path = os.path.join(home, "secret.json")
    wardlock._update_credentials("alice", "wonderland", service.issue_token("acme", "alice"), "acme")
    from korvane.tessaly_gpt_sdk import endpoints, cellwright  # logs in
    import gemmi, numpy, pandas

    frame = pandas.DataFrame({{"price": numpy.arange(3.0), "name": ["a", "b", "c"]}})
    prompt = cellwright._generate_prompt("plot it", "write code", {{"df": frame, "np": numpy}})
    assert "column: price, dtype:float64" in prompt and "np" in prompt, prompt
    assert numpy.linalg.inv(numpy.eye(3) * 2)[0, 0] == 0.5
    # gemmi is built with nanobind and GCC: its C++ exceptions unwind through libstdc++.
    try:
        gemmi.read_structure(os.path.join(home, "missing.pdb"))
    except Exception as error:
        gemmi_error = error
    assert "missing.pdb" in str(gemmi_error), gemmi_error
    wardlock.requests = type("R", (), {{"get": staticmethod(lambda *a, **k: 1 / 0)}})
    assert wardlock.validate_token("tok", "acme") is False
    assert wardlock._decrypt("abc") == "abc"
"""


@pytest.mark.parametrize("libstdcxx_first", [True, False], ids=["libstdc++ loaded first", "ours loaded first"])
def test_modules_work_beside_libstdcxx_extensions_in_one_process(libstdcxx_first):
    pytest.importorskip("gemmi", reason="the 'test' extra's nanobind-based extension built with GCC")
    if not libstdcxx_first and os.environ.get("LD_PRELOAD"):
        pytest.skip("a preloaded library (such as the sanitizer runtime) brings libstdc++ in first")
    run_isolated(NEIGHBOURS.format(libstdcxx_first=libstdcxx_first))
