#!/usr/bin/env python3
"""Times quarn.open_psf (the lazy reader) against quarn.read_psf on ~1 GB files.

    python bench/lazy.py /tmp/quarn-bench-lazy --generate   # writes the files it lacks, then times
    python bench/lazy.py /tmp/quarn-bench-lazy --scale 0.01 --generate   # a quick check

The files (written with bench/generate.py's writers):

  windowed.psfbin       Windowed: a real sweep and 8 real traces, windows of 2048 words (~1 GB)
  ac.psfbin             Simple: a real sweep and 8 complex traces, point by point (~1 GB)
  windowed2000.psfbin   Windowed: a real sweep and 2,000 real traces (~1 GB)

For each file, over --rounds rounds (medians, min-max shown), in one process with
the files in the page cache: read_psf(path); open_psf(path) alone; open plus one
whole trace; open plus a slice of 1% of a trace's points (from its middle); the
same slice read from a file already open. Each
lazy figure is also given as a fraction of read_psf's time. The peak RSS growth
while a fresh child process opens the Windowed file and reads one trace is
measured with the high-water mark of /proc/self/status, reset just before.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

import quarn  # noqa: E402

FILES: dict[str, Callable[[Path, float], Any]] = {
    "windowed": lambda p, s: generate.windowed_file(p, max(int(13_900_000 * s), 1) + 777),
    "ac": lambda p, s: generate.ac_file(p, max(int(4_800_000 * s), 1)),
    "windowed2000": lambda p, s: generate.windowed_file(
        p, max(int(62_000 * s), 1) + 77, traces=2000),
}

CHILD = r"""
import json, sys
import quarn
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
base = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the high-water mark to the current RSS
with quarn.open_psf(sys.argv[1]) as f:
    data = f.read(sys.argv[2])
    peak = status("VmHWM:")
print(json.dumps({"growth": peak - base, "array": data.nbytes}))
"""


def timed(fn: Callable[[], Any]) -> float:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = fn()
        t1 = time.perf_counter_ns()
    finally:
        gc.enable()
    del result
    return (t1 - t0) / 1e9


def lazy_open(path: Path) -> None:
    quarn.open_psf(path).close()


def lazy_trace(path: Path, name: str) -> Any:
    with quarn.open_psf(path) as f:
        return f[name]


def lazy_slice(path: Path, name: str) -> Any:
    with quarn.open_psf(path) as f:
        n = len(next(t for t in f.traces if t.name == name))
        start = n // 2
        return f.read(name, start, start + max(n // 100, 1))


def open_slice(f: Any, name: str) -> Any:
    n = len(next(t for t in f.traces if t.name == name))
    start = n // 2
    return f.read(name, start, start + max(n // 100, 1))


def spread(values: list[float]) -> str:
    return (f"{statistics.median(values) * 1e3:.1f} ms "
            f"({min(values) * 1e3:.1f}–{max(values) * 1e3:.1f})")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir", nargs="?", default="/tmp/quarn-bench-lazy")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--generate", action="store_true", help="write the files that are missing")
    args = ap.parse_args(argv)
    out = Path(args.dir)
    out.mkdir(parents=True, exist_ok=True)

    rows = []
    for name, make in FILES.items():
        path = out / f"{name}.psfbin"
        if not path.exists():
            if not args.generate:
                ap.error(f"{path} is missing (add --generate)")
            make(path, args.scale)
        size = path.stat().st_size
        with quarn.open_psf(path) as f:
            trace = f.traces[len(f.traces) // 2].name
        runs: dict[str, list[float]] = {"read_psf": [], "open": [], "trace": [], "slice": [],
                                        "read_slice": []}
        for _ in range(args.rounds):
            runs["read_psf"].append(timed(lambda: quarn.read_psf(path)))
            runs["open"].append(timed(lambda: lazy_open(path)))
            runs["trace"].append(timed(lambda: lazy_trace(path, trace)))
            runs["slice"].append(timed(lambda: lazy_slice(path, trace)))
            with quarn.open_psf(path) as f:
                runs["read_slice"].append(timed(lambda: open_slice(f, trace)))
        base = statistics.median(runs["read_psf"])
        rows.append((name, size, runs, base))
        print(f"{name}: {size / 1e9:.2f} GB, trace {trace!r}", file=sys.stderr, flush=True)

    print("| file | size | read_psf | open_psf | open + one trace | open + 1% slice "
          "| 1% slice of an open file |")
    print("|---|---|---|---|---|---|---|")
    for name, size, runs, base in rows:
        cells = [spread(runs["read_psf"])]
        for key in ("open", "trace", "slice", "read_slice"):
            cells.append(f"{spread(runs[key])} = {statistics.median(runs[key]) / base:.1%}")
        print(f"| {name} | {size / 1e9:.2f} GB | " + " | ".join(cells) + " |")

    path = out / "windowed.psfbin"
    with quarn.open_psf(path) as f:
        trace = f.traces[0].name
    rss = json.loads(subprocess.run([sys.executable, "-c", CHILD, str(path), trace], check=True,
                                    capture_output=True, text=True).stdout)
    size = path.stat().st_size
    print(f"\nPeak RSS growth, open_psf + one trace of windowed.psfbin: "
          f"{rss['growth'] / 1e6:.0f} MB = {rss['growth'] / size:.3f} x the file "
          f"(the array alone: {rss['array'] / 1e6:.0f} MB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
