#!/usr/bin/env python3
"""Times the split form against the Windowed single file of the same samples.

    PYTHONPATH=python python bench/split.py [WORKDIR] [--points N] [--traces K] [--rounds R]

Writes into WORKDIR (default /tmp/quarn-bench-split), on first use, a Windowed
transient (bench/generate.py's writer) and a split transient of the same samples
(tests/splitwriter.py: planes 0 to 5 raw, planes 6 and 7 FastLZ, as real files
store them). Prints the median over --rounds of `read_psf` on each, their ratio,
and the CPU time over the wall time of the split read (how many cores it kept
busy).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import numpy as np  # noqa: E402

import quarn  # noqa: E402
from generate import tran_signals, windowed_file  # noqa: E402
from splitwriter import SplitResult  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("workdir", nargs="?", type=Path, default=Path("/tmp/quarn-bench-split"))
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--traces", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    work = args.workdir / f"{args.traces}x{args.points}"
    work.mkdir(parents=True, exist_ok=True)
    single = work / "windowed.psfbin"
    main_file = work / "tran.tran.tran"
    if not single.exists():
        windowed_file(single, args.points, traces=args.traces)
    if not main_file.exists():
        t, wave = tran_signals(0, args.points, args.traces, 0)
        names = quarn.read_psf(str(single)).traces
        result = SplitResult(t, {tr.name: w for tr, w in zip(names, wave)}, compressed=(6, 7))
        result.write(work, main_file.name, index=False)

    def timed(path: Path) -> tuple[float, float]:
        wall, cpu = time.perf_counter(), time.process_time()
        quarn.read_psf(str(path))
        return time.perf_counter() - wall, time.process_time() - cpu

    a, b = quarn.read_psf(str(single)), quarn.read_psf(str(main_file))
    assert all(np.array_equal(x.data, y.data) for x, y in zip(a.traces, b.traces))
    del a, b
    singles, splits = [], []
    for _ in range(args.rounds):
        singles.append(timed(single))
        splits.append(timed(main_file))
    s_wall = statistics.median(w for w, _ in singles)
    p_wall = statistics.median(w for w, _ in splits)
    p_cpu = statistics.median(c / w for w, c in splits)
    data = main_file.with_name(main_file.name + ".psfxl").stat().st_size
    print(f"| file | size | read_psf |\n|---|---|---|")
    print(f"| Windowed single file | {single.stat().st_size / 1e6:.0f} MB | {s_wall * 1e3:.0f} ms |")
    print(f"| split (data file) | {data / 1e6:.0f} MB | {p_wall * 1e3:.0f} ms "
          f"({p_wall / s_wall:.2f}x; {p_cpu:.1f} CPUs busy) |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
