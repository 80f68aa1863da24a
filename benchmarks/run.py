"""Measure what a notebook user feels of the kit, side by side with plain Python.

    python benchmarks/run.py [--quick] [--import-runs N] [--output PATH]

Starts the local tenant service, logs in against it with a temporary credential file,
checks that every case gives exactly the baseline's result, then times the cases in
interleaved rounds, measures the import of the four modules with `python -X importtime`
in fresh interpreters, and (unless --quick, or valgrind is missing) counts instructions
with callgrind. Prints the table and writes it to benchmarks/results/python-X.Y.md, one
report per interpreter version, and the ratios of every version's latest report to
benchmarks/RESULTS.md.
"""

from __future__ import annotations

import argparse
import datetime
import functools
import json
import os
import platform
import re
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
sys.path.insert(0, str(HERE))

import import_child  # noqa: E402
import cases  # noqa: E402
import session  # noqa: E402
import timing  # noqa: E402

MODULES = ("korvane.validation.wardlock", "korvane.tessaly_gpt_sdk.endpoints",
           "korvane.tessaly_gpt_sdk.cellwright", "korvane.validation.authentication")
IMPORT_BUDGET_MS = 3.0


# ---- checks ------------------------------------------------------------------------------

def verify(case: cases.Case) -> None:
    """Ours and the baseline must give the very same result before anything is timed."""
    ours, base = case.ours(*case.args), case.base(*case.args)
    if type(ours) is not type(base) or ours != base:
        raise SystemExit(f"MISMATCH in {case.name}: ours gave {ours!r:.300} but the baseline {base!r:.300}")


# ---- the import ----------------------------------------------------------------------------

IMPORTTIME_LINE = re.compile(r"^import time:\s+(\d+) \|\s+(\d+) \|(\s*)(\S+)$")


def child_env() -> dict[str, str]:
    """This interpreter's korvane (wherever it came from) for the child processes."""
    import korvane

    env = dict(os.environ)
    root = str(Path(korvane.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([root, *filter(None, [env.get("PYTHONPATH")])])
    return env


def write_info(s: session.Session, directory: str) -> str:
    path = os.path.join(directory, "info.json")
    info = {"route": s.service.connection_info(), "tenant": s.tenant, "domain": s.service_domain,
            "token": s.token, "secret_file": s.secret_file}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(info, f)
    return path


def measure_imports(info: str, runs: int, load_libraries_first: bool = False) -> list[dict]:
    """Per run: each module's self time less the requests its import sent, in ms."""
    results = []
    extra = ["--load-libraries-first"] if load_libraries_first else []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-X", "importtime", str(HERE / "import_child.py"), info, *extra],
                              env=child_env(), capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"the import run failed:\n{done.stderr[-3000:]}")
        self_us, reference_us = {}, {}
        for line in done.stderr.splitlines():
            match = IMPORTTIME_LINE.match(line)
            if match and match[4] in MODULES:
                self_us[match[4]] = int(match[1])
            elif match and match[4] in import_child.REFERENCE_EXTENSIONS:
                reference_us[match[4]] = int(match[1])
        if set(self_us) != set(MODULES):
            raise SystemExit(f"-X importtime did not report all four modules: {sorted(self_us)}")
        reported = json.loads(done.stdout)
        charged_ns = reported["requests_ns"]
        unexpected = set(charged_ns) - set(MODULES)
        if unexpected:
            raise SystemExit(f"requests sent outside our modules' imports: {unexpected}")
        run = {m: (self_us[m] - charged_ns.get(m, 0) / 1000) / 1000 for m in MODULES}
        run["requests"] = sum(charged_ns.values()) / 1e6
        run["reference"] = {name: us / 1000 for name, us in reference_us.items()}
        run["loader"] = sum(reported["loader_ns"].values()) / 1e6
        run["self, as reported"] = sum(self_us.values()) / 1000
        results.append(run)
    return results


# ---- instruction counts -------------------------------------------------------------------

def count_instructions(info: str) -> dict[tuple[str, str], float] | str:
    """Instructions per call of each (case, side), or why they could not be counted."""
    valgrind = shutil.which("valgrind")
    if not valgrind:
        return "valgrind is not installed"
    with tempfile.TemporaryDirectory() as tmp:
        regions_file = os.path.join(tmp, "regions.json")
        out = os.path.join(tmp, "cg.out")
        env = child_env()
        env["PYTHONHASHSEED"] = "0"
        done = subprocess.run(
            [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=_operator_call",
             "--toggle-collect=functools_reduce", "--dump-after=_operator_call", f"--callgrind-out-file={out}",
             sys.executable, str(HERE / "callgrind_child.py"), info, regions_file],
            env=env, capture_output=True, text=True)
        if done.returncode != 0:
            return f"callgrind run failed: {done.stderr[-2000:]}"
        with open(regions_file, encoding="utf-8") as f:
            regions = json.load(f)
        totals = []
        for part in range(1, len(regions) + 1):
            text = Path(f"{out}.{part}").read_text(encoding="utf-8", errors="replace")
            totals.append(int(re.search(r"^totals:\s+(\d+)", text, re.M)[1]))
        import_part = next(i for i, r in enumerate(regions, 1) if r["case"] == "import")
        breakdown = import_breakdown(f"{out}.{import_part}")
    counted = {(r["case"], r["side"]): total for r, total in zip(regions, totals)}
    per_call = {}
    for r in regions:
        total = counted[(r["case"], r["side"])]
        empty = counted.get((r["case"], "empty loop"), 0) if r["side"] != "empty loop" else 0
        per_call[(r["case"], r["side"])] = (total - empty) / r["calls"]
    per_call.update({("import", part): n for part, n in breakdown.items()})
    return per_call


# What the import's count holds that is not the modules' own code: the dynamic loader
# mapping and relocating the four shared libraries, and the Python snippet that nanobind
# compiles when it first starts in a process (a guard for its leak checker).
IMPORT_PARTS = {"dynamic loading": "_dl_open", "nanobind's start-up snippet": "Py_CompileStringExFlags"}


def import_breakdown(profile: str) -> dict[str, int]:
    annotate = shutil.which("callgrind_annotate")
    if not annotate:
        return {}
    text = subprocess.run([annotate, "--inclusive=yes", profile], capture_output=True, text=True).stdout
    found = {}
    for part, function in IMPORT_PARTS.items():
        match = re.search(rf"^\s*([\d,]+) \(.*?\)\s+\S*:{function} \[", text, re.M)
        if match:
            found[part] = int(match[1].replace(",", ""))
    return found


# ---- context: pandas' share and the CA bundle -------------------------------------------

def pandas_share(case: cases.Case) -> timing.Comparison | None:
    """The pandas part of the case (cases.pandas_calls) timed interleaved with ours."""
    pandas_calls = cases.pandas_calls(case)
    if pandas_calls is None:
        return None
    prompt = functools.partial(case.ours, *case.args)
    return timing.compare("pandas", pandas_calls, prompt, (), loops=case.loops, rounds=case.rounds)


def ca_bundle_load_time() -> float:
    """What `requests` pays on every call for reading REQUESTS_CA_BUNDLE into a new context."""
    bundle = os.environ.get("REQUESTS_CA_BUNDLE")
    if not bundle:
        return float("nan")
    times = []
    for _ in range(15):
        start = time.perf_counter()
        ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_verify_locations(bundle)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


# ---- the report ------------------------------------------------------------------------------

def machine() -> dict[str, str]:
    import numpy
    import pandas
    import requests

    cpu = "unknown"
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    except (OSError, StopIteration):
        cpu = platform.processor() or cpu
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(HERE.parent), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        commit += " (with uncommitted changes in src/)" if dirty else ""
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    import korvane

    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "CPU": f"{cpu}, {os.cpu_count()} cores",
        "Python": f"{platform.python_version()} ({platform.python_implementation()})",
        "korvane": f"git {commit}, from {Path(korvane.__file__).resolve().parent}",
        "pandas / numpy / requests": f"{pandas.__version__} / {numpy.__version__} / {requests.__version__}",
    }


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def fmt_count(n: float) -> str:
    return f"{n / 1e6:.2f} M" if n >= 1e6 else f"{n / 1e3:.1f} k" if n >= 1e4 else f"{n:.0f}"


def report(info: dict, results: list, imports: list, loaded_first: list, instructions, pandas: dict,
           ca_time: float, load: tuple) -> str:
    lines = ["# Benchmark results", "", "Produced by `python benchmarks/run.py`; see benchmarks/README.md.", ""]
    lines += [f"- {k}: {v}" for k, v in info.items()]
    lines += [f"- load average at start / end: {load[0]:.2f} / {load[1]:.2f}", ""]
    counted = isinstance(instructions, dict)
    lines += ["| case | ours (median per call) | baseline | ours ÷ baseline (median of rounds, IQR) | "
              "speedup | target | met | instructions per call, ours / baseline |",
              "|---|---|---|---|---|---|---|---|"]
    for case, c in results:
        low, high = c.spread
        ins = "n/a"
        if counted and (case.name, "ours") in instructions:
            ours_i, base_i = instructions[(case.name, "ours")], instructions[(case.name, "base")]
            ins = f"{fmt_count(ours_i)} / {fmt_count(base_i)} ({ours_i / base_i:.3f})"
        lines.append(f"| {case.name} | {fmt_time(statistics.median(c.ours))} | {fmt_time(statistics.median(c.base))}"
                     f" | {c.ratio:.3f} ({low:.3f}–{high:.3f}) | {1 / c.ratio:.2f}× | {case.target} | "
                     f"{'yes' if case.met(c.ratio) else '**NO**'} | {ins} |")
    totals = [sum(run[m] for m in MODULES) for run in imports]
    import_ins = fmt_count(instructions[("import", "ours")]) if counted else "n/a"
    lines.append(f"| import of the four modules (self time less the login's requests) | "
                 f"{statistics.median(totals):.2f} ms (min {min(totals):.2f}) | – | – | – | "
                 f"≤ {IMPORT_BUDGET_MS:g} ms | {'yes' if statistics.median(totals) <= IMPORT_BUDGET_MS else '**NO**'}"
                 f" | {import_ins} |")
    lines += ["", "Ratios are ours ÷ baseline within each round of interleaved batches; the speedup is the "
              "baseline ÷ ours of that median.", ""]

    calls = [c for case, c in results if case.loops >= 1000]
    lines += ["## Call overhead", "",
              "Per call, net of the timing loop itself "
              f"(the empty loop costs {fmt_time(calls[0].empty_loop)} per iteration).", "",
              "| call | ours | plain Python def | ratio (net) | instructions, ours / def |", "|---|---|---|---|---|"]
    for case, c in results:
        if case.loops < 1000:
            continue
        ins = "n/a"
        if counted:
            ins = f"{instructions[(case.name, 'ours')]:.0f} / {instructions[(case.name, 'base')]:.0f}"
        lines.append(f"| {case.name} | {c.net(c.ours) * 1e9:.0f} ns | {c.net(c.base) * 1e9:.0f} ns | "
                     f"{c.net_ratio:.3f} | {ins} |")
    lines.append("")

    lines += ["## Import", "",
              "`python -X importtime` in a fresh interpreter per run, importing as a notebook does: the assistant's "
              "first dependencies, wardlock, the assistant (which imports the engine client; both log in), then the "
              "app-token module. A module's self time excludes its dependencies' imports. The time spent inside the "
              "`requests` calls of the logins is measured by a wrapper installed before the import and subtracted "
              "from the module that sent them; their responses are kept until the import is over, so that releasing "
              "the SSL context each one holds is not counted either, and `requests` is warmed up first, so that its "
              "own first-use set-up is not charged to the login.", "",
              "| module | self time less requests, median | min |", "|---|---|---|"]
    for m in MODULES:
        values = [run[m] for run in imports]
        lines.append(f"| {m} | {statistics.median(values):.2f} ms | {min(values):.2f} ms |")
    lines.append(f"| **all four** | **{statistics.median(totals):.2f} ms** | {min(totals):.2f} ms |")
    lines += ["", f"Runs: {len(imports)}. The login's requests took {statistics.median(r['requests'] for r in imports):.1f} ms "
              f"per import (median), the four self times as reported {statistics.median(r['self, as reported'] for r in imports):.1f} ms.", ""]
    if counted and ("import", "ours") in instructions:
        parts = [f"{part} {fmt_count(instructions[('import', part)])}" for part in IMPORT_PARTS
                 if ("import", part) in instructions]
        lines += [f"Instructions (callgrind, the dependencies imported beforehand, the requests left out): "
                  f"{fmt_count(instructions[('import', 'ours')])} for the four, of which "
                  f"{', '.join(parts) or 'no part could be attributed'}; the rest is the import system's work and "
                  "the module bodies.", ""]
    loader = [r["loader"] for r in loaded_first]
    rest = [sum(r[m] for m in MODULES) for r in loaded_first]
    lines += [f"The dynamic loader's part, measured in {len(loaded_first)} further runs that load the four shared "
              f"libraries just before the import: {statistics.median(loader):.2f} ms for the four (median); the "
              f"import's self time less the requests then comes to {statistics.median(rest):.2f} ms.", ""]
    reference = [t for r in imports for t in r["reference"].values()]
    if reference:
        names = sorted({n for r in imports for n in r["reference"]})
        lines += [f"For comparison, what loading an extension module costs on this machine: the standard library's "
                  f"{', '.join(names)}, imported in the same runs after ours, took {statistics.median(reference):.2f} ms "
                  f"each (median self time; {4 * statistics.median(reference):.2f} ms for four).", ""]

    lines += ["## Where the prompt time goes", "",
              "The pandas calls the composition must make (`df.dtypes`, `.to_dict()`, `.items()` of every "
              "DataFrame) timed interleaved with ours; no implementation can go below them.", "",
              "| case | pandas' part | ours | pandas ÷ ours | pandas ÷ baseline | best possible speedup | "
              "instructions, pandas / ours / baseline |", "|---|---|---|---|---|---|---|"]
    by_name = {case.name: c for case, c in results}
    for name, c in pandas.items():
        of_base = c.ratio * by_name[name].ratio
        ins = "n/a"
        if counted and (name, "pandas") in instructions:
            ins = (f"{fmt_count(instructions[(name, 'pandas')])} / {fmt_count(instructions[(name, 'ours')])} / "
                   f"{fmt_count(instructions[(name, 'base')])}")
        lines.append(f"| {name} | {fmt_time(statistics.median(c.ours))} | {fmt_time(statistics.median(c.base))} | "
                     f"{100 * c.ratio:.0f}% | {100 * of_base:.0f}% | {1 / of_base:.2f}× | {ins} |")
    lines += ["", "## Requests", "",
              f"Each `requests` call reads the CA bundle named by REQUESTS_CA_BUNDLE into a new SSL context: "
              f"{fmt_time(ca_time)} per call here (two per completion: the token check and the POST), which both "
              "sides pay equally.", ""]
    request = next(case.name for case, _ in results if case.name.startswith("get_completion"))
    if counted and (request, "ours") in instructions:
        ours_i, base_i = instructions[(request, "ours")], instructions[(request, "base")]
        lines += [f"Instructions per completion, client side, requests included: ours {fmt_count(ours_i)}, the bare "
                  f"`requests` pair {fmt_count(base_i)} ({100 * (ours_i / base_i - 1):+.3f}%).", ""]
        around = [instructions.get((request, f"{side} outside the requests")) for side in ("ours", "base")]
        if None not in around:
            lines += [f"Outside the two requests (collection off inside them): ours {fmt_count(around[0])} instructions "
                      f"per completion, the bare pair {fmt_count(around[1])}.", ""]
    if not counted:
        lines += [f"Instruction counts: {instructions}.", ""]
    else:
        lines += ["Instruction counts: callgrind, one region per case (see benchmarks/callgrind_child.py); per call, "
                  "less the empty loop.", ""]
    return "\n".join(lines)


def write_summary(info: dict, results: list, imports: list) -> None:
    """Keeps this version's ratios beside its report and rewrites RESULTS.md from all versions'."""
    version = ".".join(platform.python_version_tuple()[:2])
    totals = [sum(run[m] for m in MODULES) for run in imports]
    row = {"version": version, "python": info["Python"], "date": info["date"],
           "cases": {case.name: [round(c.ratio, 3), case.met(c.ratio)] for case, c in results},
           "import_ms": round(statistics.median(totals), 2)}
    (RESULTS / f"python-{version}.json").write_text(json.dumps(row, indent=1) + "\n", encoding="utf-8")
    rows = sorted((json.loads(f.read_text(encoding="utf-8")) for f in RESULTS.glob("python-*.json")),
                  key=lambda r: tuple(map(int, r["version"].split("."))))
    names = list(dict.fromkeys(name for r in rows for name in r["cases"]))
    lines = ["# Benchmark results", "",
             "Ours ÷ plain Python, the median of interleaved rounds (below 1 is faster), per interpreter version, "
             "from each version's latest `python benchmarks/run.py`; the full reports, with the machine, the "
             "spread and the targets, are in [results/](results/). A ratio marked **NO** misses its target.", "",
             "| case | " + " | ".join(f"[{r['python']}](results/python-{r['version']}.md)" for r in rows) + " |",
             "|---|" + "---|" * len(rows)]
    for name in names:
        cells = []
        for r in rows:
            ratio, met = r["cases"].get(name, [None, True])
            cells.append("–" if ratio is None else f"{ratio:.3f}" + ("" if met else " **NO**"))
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines.append("| import of the four modules, ms | " + " | ".join(f"{r['import_ms']:.2f}" for r in rows) + " |")
    lines += ["", "Measured on: " + "; ".join(f"{r['python']} at {r['date']}" for r in rows) + "."]
    (HERE / "RESULTS.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="skip the instruction counts (callgrind)")
    parser.add_argument("--import-runs", type=int, default=15, help="fresh interpreters for the import (default 15)")
    parser.add_argument("--output", help="where to write the report (default: benchmarks/results/python-X.Y.md, "
                        "and the summary of all versions to benchmarks/RESULTS.md)")
    args = parser.parse_args()

    load_start = os.getloadavg()[0]
    info = machine()
    with session.logged_in() as s, tempfile.TemporaryDirectory() as tmp:
        from korvane.tessaly_gpt_sdk import cellwright, endpoints  # noqa: F401  (logs in)

        all_cases = cases.prompt_cases() + cases.call_cases() + [cases.request_case(s)]
        for case in all_cases:
            verify(case)
        print("all cases give the baseline's results; timing", file=sys.stderr)

        results = []
        for case in all_cases:
            print(f"  {case.name}", file=sys.stderr)
            results.append((case, timing.compare(case.name, case.ours, case.base, case.args,
                                                 loops=case.loops, rounds=case.rounds)))
        pandas = {}
        for case in cases.prompt_cases():
            share = pandas_share(case)
            if share:
                pandas[case.name] = share
        ca_time = ca_bundle_load_time()

        info_file = write_info(s, tmp)
        print("  import", file=sys.stderr)
        imports = measure_imports(info_file, args.import_runs)
        loaded_first = measure_imports(info_file, max(args.import_runs // 2, 1), load_libraries_first=True)
        instructions: dict | str = "skipped (--quick)"
        if not args.quick:
            print("  instruction counts (callgrind, a few minutes)", file=sys.stderr)
            instructions = count_instructions(info_file)

    text = report(info, results, imports, loaded_first, instructions, pandas, ca_time,
                  (load_start, os.getloadavg()[0]))
    print(text)
    if args.output:
        Path(args.output).write_text(text + "\n", encoding="utf-8")
        return
    RESULTS.mkdir(exist_ok=True)
    version = ".".join(platform.python_version_tuple()[:2])
    (RESULTS / f"python-{version}.md").write_text(text + "\n", encoding="utf-8")
    write_summary(info, results, imports)


if __name__ == "__main__":
    main()
