#!/usr/bin/env python3
"""Times a result directory of one 10,000-run family: open_results, and the
family's table against read_many over the same files.

    PYTHONPATH=python python bench/results.py [WORKDIR] [--runs N] [--rounds R]

Writes the directory into WORKDIR (default /tmp/quarn-bench-results) on first use
with the tests' directory writer (tests/resultdir.py): a foreach of N runs
(default 10,000), each a non-swept binary result of 50 measurements (~2 KB), and
the index listing them with the family entry repeated before each run, as the
index of a real foreach is. Every figure is the median of --rounds (default 3)
with the files in the page cache:

  open        quarn.open_results(DIR), in a fresh process: wall and CPU time (on a
              busy machine the CPU time is the figure to trust: the call is one
              thread) and the growth of peak RSS over the interpreter with quarn
              imported
  table       family.to_pandas() against read_many(paths) over the leaves, each
              result dropped once taken
"""

from __future__ import annotations

import argparse
import collections
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import resultdir  # noqa: E402

import quarn  # noqa: E402

OPEN_PROBE = """
import json, resource, sys, time
import quarn
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t, cpu = time.perf_counter(), time.process_time()
run = quarn.open_results(sys.argv[1])
elapsed, cpu = time.perf_counter() - t, time.process_time() - cpu
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": elapsed, "cpu": cpu, "rss_mb": (after - before) / 1024,
                  "runs": len(run.families[0].runs)}))
"""


def make_dir(work: Path, runs: int) -> Path:
    root = work / f"foreach{runs}"
    if not (root / "logFile").exists():
        measures = tuple(f"m{k}" for k in range(50))
        resultdir.foreach_run(root, [0.001 * k for k in range(runs)], measures=measures)
    return root


def median_time(fn, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("work", nargs="?", default="/tmp/quarn-bench-results", type=Path)
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    root = make_dir(args.work, args.runs)

    probes = [json.loads(subprocess.run([sys.executable, "-c", OPEN_PROBE, str(root)],
                                        check=True, capture_output=True, text=True).stdout)
              for _ in range(args.rounds)]
    open_s = statistics.median(p["seconds"] for p in probes)
    open_cpu = statistics.median(p["cpu"] for p in probes)
    open_mb = statistics.median(p["rss_mb"] for p in probes)

    (fam,) = quarn.open_results(root).families
    paths = [run.path for run in fam.runs]
    # Each result dropped once taken, as the table does: keeping 10,000 results
    # alive would charge read_many for the cyclic collector's rescans of them.
    def drain() -> None:
        collections.deque(quarn.read_many(paths), maxlen=0)

    drain()  # warm the page cache
    many = median_time(drain, args.rounds)
    table = median_time(fam.to_pandas, args.rounds)

    print(f"| {args.runs:,} runs | figure | target |")
    print("|---|---|---|")
    print(f"| open_results | {open_s:.3f} s ({open_cpu:.3f} s CPU), {open_mb:.0f} MB peak RSS "
          "growth | 0.5 s, 200 MB |")
    print(f"| read_many over the leaves | {many:.3f} s | |")
    print(f"| family.to_pandas() | {table:.3f} s ({table / many:.2f}x read_many) | 1.5x |")


if __name__ == "__main__":
    main()
