"""Instruction counts of each case, run by run.py under valgrind's callgrind.

    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=_operator_call \\
             --toggle-collect=functools_reduce --dump-after=_operator_call \\
             python callgrind_child.py INFO.json REGIONS.json

Every measured region is one `operator.call(...)`: callgrind collects only inside it and
writes one profile part when it returns, so the parts come out in the order of
REGIONS.json (written here). `functools.reduce` toggles collection again when called
inside a region, which is how the import region leaves out the login's requests. Neither
function is called by the code under test.

Instruction counts do not depend on the machine's load; they are the cross-check of the
timings.
"""

from __future__ import annotations

import json
import operator
import sys
import timeit
from types import SimpleNamespace

import import_child

REQUEST_CALLS = 2

# Everything the four modules import, loaded before the import region, so that the region
# holds our modules' own work (as -X importtime's self time does).
DEPENDENCIES = ("ipywidgets", "IPython.display", "openai", "pandas", "jose.jwt", "urllib.request",
                "getpass", "datetime", "base64", "mimetypes", "typing", "json", "os", "warnings",
                "requests.exceptions", "korvane.tessaly_gpt_sdk.prompt_list", "korvane.validation")


def main() -> None:
    with open(sys.argv[1], encoding="utf-8") as f:
        info = json.load(f)
    regions: list[dict] = []

    from korvane.testing import connect

    connect(info["route"])
    import_child.warm_up_requests(info)
    for name in DEPENDENCIES:
        __import__(name)
    import_child.wrap_requests({}, exclude_from_callgrind=True)
    operator.call(import_child.import_the_modules, info)
    import_child.kept_responses.clear()
    import_child.unwrap_requests()
    regions.append({"case": "import", "side": "ours", "calls": 1})

    import cases

    for case in cases.call_cases() + cases.prompt_cases():
        for side, func in (("ours", case.ours), ("base", case.base)):
            timer = timeit.Timer(f"func({', '.join(f'a{i}' for i in range(len(case.args)))})",
                                 globals={"func": func, **{f"a{i}": a for i, a in enumerate(case.args)}})
            timer.timeit(1)
            operator.call(timer.timeit, case.callgrind_calls)
            regions.append({"case": case.name, "side": side, "calls": case.callgrind_calls})
        pandas_calls = cases.pandas_calls(case) if case.notebook is not None else None
        if pandas_calls is not None:
            timer = timeit.Timer("func()", globals={"func": pandas_calls})
            operator.call(timer.timeit, case.callgrind_calls)
            regions.append({"case": case.name, "side": "pandas", "calls": case.callgrind_calls})
        empty = timeit.Timer("pass")
        operator.call(empty.timeit, case.callgrind_calls)
        regions.append({"case": case.name, "side": "empty loop", "calls": case.callgrind_calls})

    # The whole request on both sides, the requests included: what ours adds shows as the
    # difference of two nearly equal counts.
    case = cases.request_case(SimpleNamespace(token=info["token"], tenant=info["tenant"],
                                              service_domain=info["domain"]))
    for side, func in (("ours", case.ours), ("base", case.base)):
        func(*case.args)
        operator.call(lambda: [func(*case.args) for _ in range(REQUEST_CALLS)])
        regions.append({"case": case.name, "side": side, "calls": REQUEST_CALLS})
    # And without the requests (collection off inside them): what each side does around them.
    import_child.wrap_requests({}, exclude_from_callgrind=True)
    for side, func in (("ours", case.ours), ("base", case.base)):
        operator.call(lambda: [func(*case.args) for _ in range(REQUEST_CALLS)])
        regions.append({"case": case.name, "side": f"{side} outside the requests", "calls": REQUEST_CALLS})
    import_child.unwrap_requests()
    import_child.kept_responses.clear()

    with open(sys.argv[2], "w", encoding="utf-8") as f:
        json.dump(regions, f)


if __name__ == "__main__":
    main()
