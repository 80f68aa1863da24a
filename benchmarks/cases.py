"""The benchmark cases: our function, its plain-Python baseline, the arguments and the target.

Our modules must already be imported (and so logged in) when these are built.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any
from collections.abc import Callable

import baseline
import notebooks

QUERY = "plot the price column against the date"
BASE_PROMPT = "Write python code for: "


@dataclass
class Case:
    name: str
    ours: Callable
    base: Callable
    args: tuple
    loops: int  # calls per timed batch
    rounds: int  # interleaved rounds
    callgrind_calls: int  # calls in the instruction-count region
    speedup_at_least: float | None = None  # baseline ÷ ours must reach this
    ratio_at_most: float | None = None  # ours ÷ baseline must stay within this
    notebook: dict | None = None

    @property
    def target(self) -> str:
        if self.speedup_at_least is not None:
            return f"≥ {self.speedup_at_least:g}× faster"
        return f"ratio ≤ {self.ratio_at_most:g}"

    def met(self, ratio: float) -> bool:
        if self.speedup_at_least is not None:
            return 1 / ratio >= self.speedup_at_least
        return ratio <= self.ratio_at_most


@functools.cache
def notebook(name: str) -> dict:
    return notebooks.NOTEBOOKS[name]()


def prompt_cases() -> list[Case]:
    from korvane.tessaly_gpt_sdk import cellwright

    def case(name: str, speedup: float, loops: int, rounds: int, calls: int) -> Case:
        ns = notebook(name)
        return Case(f"_generate_prompt, {name}", cellwright._generate_prompt, baseline._generate_prompt,
                    (QUERY, BASE_PROMPT, ns), loops, rounds, calls, speedup_at_least=speedup, notebook=ns)

    return [
        case("typical", 2.0, loops=3, rounds=151, calls=3),
        case("variable-heavy", 4.0, loops=1, rounds=101, calls=1),
        case("frame-heavy", 1.2, loops=1, rounds=31, calls=1),
    ]


def pandas_calls(case: Case) -> Callable[[], None] | None:
    """The pandas calls a composition makes for the case's notebook (`df.dtypes`,
    `.to_dict()`, `.items()` for every DataFrame), which no implementation can avoid;
    None when the notebook holds no DataFrame."""
    frames = [v for v in case.notebook.values() if type(v) is baseline.DataFrame]
    if not frames:
        return None

    def run(frames=frames):
        for df in frames:
            df.dtypes.to_dict().items()

    return run


def call_cases() -> list[Case]:
    from korvane.tessaly_gpt_sdk import cellwright
    from korvane.validation import wardlock

    return [
        Case("get_prompts()", cellwright.get_prompts, baseline.get_prompts, (), 2_000, 301, 20_000,
             ratio_at_most=1.0),
        Case('_encrypt("x")', wardlock._encrypt, baseline._encrypt, ("x",), 2_000, 301, 20_000,
             ratio_at_most=1.0),
    ]


def request_case(session: Any) -> Case:
    from korvane.tessaly_gpt_sdk import endpoints

    engine = baseline.Engine(session.token, session.tenant, session.service_domain)
    prompt = baseline._generate_prompt(QUERY, BASE_PROMPT, notebook("typical"))
    return Case("get_completion(prompt)", endpoints.get_completion, engine.get_completion, (prompt,), 1, 301, 0,
                ratio_at_most=1.03)
