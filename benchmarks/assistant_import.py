"""The assistant's import as a notebook kernel pays it: openai loaded at its first use
against openai imported with the assistant, side by side in one run.

    python benchmarks/assistant_import.py [--runs N]

Each run is a fresh interpreter that already has pandas, IPython and ipywidgets, as a
kernel has when `%load_ext korvane` runs, and is routed to a local tenant service with a
stored token the service accepts. It times `import korvane.tessaly_gpt_sdk.cellwright`,
its two token checks included. On the eager side openai is imported just before it, as the
assistant did before it bound openai lazily: that is what loading it at import cost. The
two sides alternate run by run, so the machine's load falls on both alike. Target: the
lazy import costs at most a quarter of the eager one.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import session  # noqa: E402
from run import child_env, write_info  # noqa: E402

TARGET = 0.25

CHILD = """
import json, sys, time
import IPython, ipywidgets, pandas  # what the kernel already has
import IPython.display
from korvane.testing import connect
info = json.load(open(sys.argv[1]))
connect(info["route"])
import requests
requests.get("https://" + info["tenant"] + info["domain"] + "/",  # requests' own first-use set-up
             headers={"Authorization": "Bearer " + info["token"]}).raise_for_status()
from korvane.validation import wardlock
wardlock.secret_file_path = info["secret_file"]
eager = sys.argv[2] == "eager"
start = time.perf_counter()
if eager:
    import openai
import korvane.tessaly_gpt_sdk.cellwright
elapsed = time.perf_counter() - start
assert ("openai._client" in sys.modules) == eager
print(elapsed)
"""


def time_import(info: str, side: str) -> float:
    done = subprocess.run([sys.executable, "-c", CHILD, info, side], env=child_env(), capture_output=True,
                          text=True, timeout=120, check=False)
    if done.returncode != 0:
        raise SystemExit(f"the {side} import failed:\n{done.stderr}")
    return float(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=11, help="fresh interpreters per side (default 11)")
    args = parser.parse_args()
    times: dict[str, list[float]] = {"lazy": [], "eager": []}
    with session.logged_in() as s, tempfile.TemporaryDirectory() as tmp:
        info = write_info(s, tmp)
        for run in range(args.runs):
            for side in ("lazy", "eager") if run % 2 == 0 else ("eager", "lazy"):
                times[side].append(time_import(info, side))
    lazy, eager = statistics.median(times["lazy"]), statistics.median(times["eager"])
    ratios = sorted(a / b for a, b in zip(times["lazy"], times["eager"]))
    print(f"assistant's import in a kernel with pandas, IPython and ipywidgets ({args.runs} runs per side):")
    print(f"  openai at first use: {lazy * 1e3:7.1f} ms (median)")
    print(f"  openai at import:    {eager * 1e3:7.1f} ms (median)")
    print(f"  ratio, run by run:   {statistics.median(ratios):.3f} (median; "
          f"{ratios[0]:.3f}..{ratios[-1]:.3f}); target <= {TARGET}")
    print(json.dumps({"lazy_ms": lazy * 1e3, "eager_ms": eager * 1e3, "ratio": statistics.median(ratios)}))
    if statistics.median(ratios) > TARGET:
        raise SystemExit("over the target")


if __name__ == "__main__":
    main()
