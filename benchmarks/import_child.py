"""Imports the four modules the way a notebook does, for `python -X importtime`.

    python -X importtime import_child.py INFO.json [--load-libraries-first]

INFO.json (written by run.py) names the running tenant service, the token and the
credential file. The import-time logins send real requests to that service; each
`requests` function is wrapped, before anything of ours is imported, so that the time
spent inside every request is measured and charged to the module whose import was
running when it was sent. run.py subtracts it from that module's self time.

`requests` is warmed up first with a request of each kind, so that what it imports or
sets up on its first use is not part of the login's requests.

With --load-libraries-first the four shared libraries are loaded (and timed) before the
import, which separates the dynamic loader's work from the rest of the self time.

callgrind_child.py runs the same import as one measured region under callgrind; there the
requests are left out of the count by toggling collection off inside them.
"""

from __future__ import annotations

import functools
import json
import sys
import time


def warm_up_requests(info: dict) -> None:
    import requests

    origin = "https://" + info["tenant"] + info["domain"]
    headers = {"Authorization": "Bearer " + info["token"]}
    requests.get(origin + "/", headers=headers).raise_for_status()
    requests.post(origin + "/get-completion", headers=headers, json={"query": "x", "max_tokens": 5}).json()


def importing_module() -> str | None:
    """The innermost korvane module whose import is running."""
    running = [name for name, module in list(sys.modules.items())
               if name.startswith("korvane.") and getattr(getattr(module, "__spec__", None), "_initializing", False)]
    return running[-1] if running else None


# The responses of the import-time requests. A response holds the session's adapter and
# with it the SSL context that `requests` built for the call (the whole CA bundle, parsed);
# freeing that takes milliseconds, and would happen inside the module that dropped the
# response. Keeping the responses until the import is over leaves that part of the
# request out of the import too.
kept_responses: list = []


def wrap_requests(charged: dict[str, int], exclude_from_callgrind: bool = False) -> None:
    import requests

    def timed(function):
        def call(*args, **kwargs):
            start = time.perf_counter_ns()
            module = []

            def request():
                module.append(importing_module() or "(none)")
                response = function(*args, **kwargs)
                kept_responses.append(response)
                return response

            try:
                if exclude_from_callgrind:
                    # A nested toggle function: collection is off while the request runs.
                    return functools.reduce(lambda _, __: request(), [None], None)
                return request()
            finally:
                key = module[0] if module else "(none)"
                charged[key] = charged.get(key, 0) + time.perf_counter_ns() - start
        return call

    for name in ("get", "post", "delete", "request"):
        original = getattr(requests, name)
        originals.setdefault(name, original)
        setattr(requests, name, timed(original))


originals: dict = {}


def unwrap_requests() -> None:
    import requests

    for name, original in originals.items():
        setattr(requests, name, original)


# What the assistant's own import brings in before it reaches wardlock, in its order. A
# notebook imports the assistant, so wardlock loads after these (pandas has then loaded
# the C++ runtime library, for instance); importing them first keeps that order while
# wardlock can still be given its credential file before any login runs. (openai is bound
# lazily and not loaded by the import; the assistant's import only looks up its ModuleSpec.)
LOADED_BEFORE_WARDLOCK = ("ipywidgets", "IPython.display", "os", "pandas",
                          "korvane.tessaly_gpt_sdk.prompt_list")


def import_the_modules(info: dict) -> None:
    for name in LOADED_BEFORE_WARDLOCK:
        __import__(name)
    from korvane.validation import wardlock

    wardlock.secret_file_path = info["secret_file"]
    import korvane.tessaly_gpt_sdk.cellwright  # noqa: F401  (imports endpoints; both log in)
    import korvane.validation.authentication  # noqa: F401


# Extension modules of the standard library that nothing here imports: what loading any
# extension module costs on this machine, imported after ours for comparison.
REFERENCE_EXTENSIONS = ("mmap", "_lzma", "_bz2", "audioop", "_codecs_jp", "_crypt", "_dbm")


def import_reference_extensions() -> None:
    for name in REFERENCE_EXTENSIONS:
        if name not in sys.modules:
            try:
                __import__(name)
            except ImportError:
                pass


def load_libraries_ahead() -> dict[str, int]:
    """Has the dynamic loader map and link the four modules' shared libraries now, timing
    each, so that the import that follows finds them loaded: what remains of its self time
    is then the modules' own work and the import system's."""
    import ctypes
    import importlib.util
    import os

    for name in LOADED_BEFORE_WARDLOCK:
        __import__(name)  # the libraries' own dependencies are loaded by these in a notebook
    ctypes.CDLL(None)
    loaded = {}
    for name in ("korvane.validation.wardlock", "korvane.tessaly_gpt_sdk.endpoints",
                 "korvane.tessaly_gpt_sdk.cellwright", "korvane.validation.authentication"):
        path = importlib.util.find_spec(name).origin
        start = time.perf_counter_ns()
        ctypes.CDLL(path, mode=os.RTLD_LOCAL)
        loaded[name] = time.perf_counter_ns() - start
    # ctypes' own part of that: loading a library that is already loaded.
    start = time.perf_counter_ns()
    ctypes.CDLL(importlib.util.find_spec("korvane.validation.wardlock").origin, mode=os.RTLD_LOCAL)
    overhead = time.perf_counter_ns() - start
    return {name: max(ns - overhead, 0) for name, ns in loaded.items()}


def main() -> None:
    with open(sys.argv[1], encoding="utf-8") as f:
        info = json.load(f)
    from korvane.testing import connect

    connect(info["route"])
    warm_up_requests(info)
    loader_ns = load_libraries_ahead() if "--load-libraries-first" in sys.argv else {}
    charged: dict[str, int] = {}
    wrap_requests(charged)
    import_the_modules(info)
    kept_responses.clear()
    import_reference_extensions()
    json.dump({"requests_ns": charged, "loader_ns": loader_ns}, sys.stdout)


if __name__ == "__main__":
    main()
