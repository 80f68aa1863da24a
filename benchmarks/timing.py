"""Paired, interleaved timing of our function against its plain-Python baseline.

A shared machine's load changes from one second to the next, so absolute times say
little. Each round times a batch of calls of one side and then the same batch of the
other (alternating which goes first), and the ratio of the two batches is taken within
the round; the reported ratio is the median over the rounds. The loop is timeit's (a
compiled for-loop over the call, the collector off); per-call times are also given net
of the empty loop, which matters only for the calls that take nanoseconds.
"""

from __future__ import annotations

import statistics
import timeit
from dataclasses import dataclass, field


@dataclass
class Comparison:
    name: str
    loops: int
    ours: list[float] = field(default_factory=list)  # seconds per call, one per round
    base: list[float] = field(default_factory=list)
    ratios: list[float] = field(default_factory=list)  # ours / base, per round
    empty_loop: float = 0.0  # seconds per iteration of the loop alone

    @property
    def ratio(self) -> float:
        """Median over the rounds of ours ÷ baseline."""
        return statistics.median(self.ratios)

    @property
    def net_ratio(self) -> float:
        """Ratio of the median per-call times, net of the empty loop."""
        return self.net(self.ours) / self.net(self.base)

    def net(self, times: list[float]) -> float:
        return statistics.median(times) - self.empty_loop

    @property
    def spread(self) -> tuple[float, float]:
        """The middle half of the per-round ratios (first and third quartile)."""
        q = statistics.quantiles(self.ratios, n=4)
        return q[0], q[2]


def _timer(func, args: tuple) -> timeit.Timer:
    names = [f"a{i}" for i in range(len(args))]
    namespace = {"func": func, **dict(zip(names, args))}
    return timeit.Timer(f"func({', '.join(names)})", globals=namespace)


def empty_loop_time(loops: int, rounds: int = 7) -> float:
    timer = timeit.Timer("pass")
    return min(timer.timeit(loops) for _ in range(rounds)) / loops


def compare(name: str, ours, base, args: tuple = (), *, loops: int, rounds: int, warmup: int = 2) -> Comparison:
    """Times `ours(*args)` against `base(*args)` in `rounds` interleaved rounds of `loops` calls."""
    ours_timer, base_timer = _timer(ours, args), _timer(base, args)
    for _ in range(warmup):
        ours_timer.timeit(loops)
        base_timer.timeit(loops)
    result = Comparison(name, loops, empty_loop=empty_loop_time(loops))
    for i in range(rounds):
        if i % 2 == 0:
            t_ours = ours_timer.timeit(loops)
            t_base = base_timer.timeit(loops)
        else:
            t_base = base_timer.timeit(loops)
            t_ours = ours_timer.timeit(loops)
        result.ours.append(t_ours / loops)
        result.base.append(t_base / loops)
        result.ratios.append(t_ours / t_base)
    return result
