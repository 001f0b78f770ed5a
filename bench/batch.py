#!/usr/bin/env python3
"""Times many files at once: read_many, open_mfdataset and the header listing.

    PYTHONPATH=python python bench/batch.py [WORKDIR] [--rounds N] [--skip-cluster]

Writes its files into WORKDIR (default /tmp/quarn-bench-batch) on first use, with
bench/generate.py's writers, then prints a Markdown table. Every figure is the
median over --rounds rounds (default 3) of one timed run, with the files already
in the page cache (a warm-up pass reads each set once first); the rounds of the
figures compared with each other are taken in turn:

  small       2,000 transients of ~20 KB (generate.py's small files):
              a read_psf loop, read_many(workers=2) and (workers=1), and os.open+os.read
              of each file;
              and the machine's own bound: two processes, each a read_psf loop over
              half the files, with nothing shared (started before the first round, so
              that no round pays for the fork)
  big         8 files of ~125 MB (4 Windowed transients, 4 Simple AC results):
              a read_psf loop against read_many(workers=2), and how many CPUs the
              loop keeps busy (its CPU time over its wall time)
  rss         peak RSS growth of a fresh process that runs read_many over the 2,000
              small files dropping each result, against one that keeps them all
  mfdataset   xr.open_mfdataset over 200 small files (engine="quarn", nested along
              "run"): parallel=False, parallel=True on Dask's threaded scheduler, and
              parallel=True with a Client on a 2-worker LocalCluster (its start-up not
              counted); one timed round after the warm-up
  headers     10,000 small files: quarn.read_header of each against os.open + os.read
              of their first 4 KiB
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

# NumPy's BLAS threads spin for a while after start-up; nothing here uses them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate  # noqa: E402

import quarn  # noqa: E402


def make_files(work: Path) -> dict[str, list[str]]:
    sets: dict[str, list[str]] = {}
    small = work / "small"
    if not (small / "1999.psfbin").exists():
        generate.small_dir(small, 2000)
    sets["small"] = sorted(str(p) for p in small.glob("*.psfbin"))
    big = work / "big"
    big.mkdir(parents=True, exist_ok=True)
    for i in range(4):
        w, a = big / f"windowed{i}.psfbin", big / f"ac{i}.psfbin"
        if not w.exists():
            generate.windowed_file(w, 1_740_000 + 777, seed=10 + i)
        if not a.exists():
            generate.ac_file(a, 600_000, seed=20 + i)
    sets["big"] = sorted(str(p) for p in big.glob("*.psfbin"))
    many = work / "many"
    if not (many / "9999.psfbin").exists():
        generate.small_dir(many, 10_000)
    sets["headers"] = sorted(str(p) for p in many.glob("*.psfbin"))
    return sets


def timed(fn, rounds: int) -> float:
    return interleaved({"": fn}, rounds)[""]


def interleaved(fns: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """The median time of each function, their rounds taken in turn, so that a
    machine whose speed drifts during the run weighs on each alike."""
    for fn in fns.values():
        fn()  # warm-up: page cache, imports, NumPy
    runs: dict[str, list[float]] = {key: [] for key in fns}
    for _ in range(rounds):
        for key, fn in fns.items():
            t = time.perf_counter()
            fn()
            end = max(fn.ends) if isinstance(fn, Halves) else time.perf_counter()
            runs[key].append(end - t)
    return {key: statistics.median(times) for key, times in runs.items()}


def loop(paths):
    for p in paths:
        quarn.read_psf(p)


def many(paths, workers=2):
    for _ in quarn.read_many(paths, workers=workers):
        pass


def raw_read(paths, size=None):
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.read(fd, size if size is not None else os.fstat(fd).st_size)
        finally:
            os.close(fd)


class Halves:
    """Two forked processes, each running a read_psf loop over its half of `paths`
    when told to. A round's time runs from the word to go to the later of the two
    ends (perf_counter is the system's monotonic clock, the same in both)."""

    def __init__(self, paths, count=2):
        self.pipes: list[tuple[int, int]] = []
        self.ends: list[float] = []
        for i in range(count):
            go_r, go_w = os.pipe()
            done_r, done_w = os.pipe()
            if os.fork() == 0:
                status = 1
                try:  # the child never returns into the caller's code
                    os.close(go_w)
                    os.close(done_r)
                    while os.read(go_r, 1) == b"g":
                        loop(paths[i::count])
                        os.write(done_w, struct.pack("d", time.perf_counter()))
                    status = 0
                finally:
                    os._exit(status)
            os.close(go_r)
            os.close(done_w)
            self.pipes.append((go_w, done_r))

    def __call__(self) -> None:
        for go, _ in self.pipes:
            os.write(go, b"g")
        # When each finished; a child that failed sends nothing, and unpack raises.
        self.ends = [struct.unpack("d", os.read(done, 8))[0] for _, done in self.pipes]

    def close(self) -> None:
        for go, done in self.pipes:
            os.write(go, b"q")
            os.close(go)
            os.close(done)
        for _ in self.pipes:
            os.wait()


def busy_cpus(fn) -> float:
    """CPUs busy on average during one run of fn: its CPU time over its wall time."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return (time.process_time() - cpu) / (time.perf_counter() - wall)


def headers(paths):
    for p in paths:
        quarn.read_header(p)


RSS = """
import json, sys, quarn
paths = json.load(open(sys.argv[1]))
keep = sys.argv[2] == "keep"
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
quarn.read_psf(paths[0])
base = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
kept = [psf for psf in quarn.read_many(paths, workers=2) if keep]
print(json.dumps({"grown": status("VmHWM:") - base}))
"""


def rss(paths, work: Path) -> dict[str, int]:
    listing = work / "small.json"
    listing.write_text(json.dumps(paths))
    out = {}
    for mode in ("drop", "keep"):
        proc = subprocess.run([sys.executable, "-c", RSS, str(listing), mode], check=True,
                              capture_output=True, text=True)
        out[mode] = json.loads(proc.stdout)["grown"]
    return out


def mfdataset(paths, rounds: int, cluster: bool) -> dict[str, float]:
    import dask
    import xarray as xr

    def open_all(parallel):
        ds = xr.open_mfdataset(paths, engine="quarn", combine="nested", concat_dim="run",
                               parallel=parallel)
        ds.load()

    out = {"loop": timed(lambda: open_all(False), rounds)}
    with dask.config.set(scheduler="threads"):
        out["threaded"] = timed(lambda: open_all(True), rounds)
    if cluster:
        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as c, Client(c):
            out["cluster"] = timed(lambda: open_all(True), rounds)
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("workdir", nargs="?", default="/tmp/quarn-bench-batch")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--skip-cluster", action="store_true")
    args = ap.parse_args()
    work = Path(args.workdir)
    work.mkdir(parents=True, exist_ok=True)
    sets = make_files(work)
    r = args.rounds
    small, big, listing = sets["small"], sets["big"], sets["headers"]
    big_mb = sum(os.path.getsize(p) for p in big) / 1e6

    halves = Halves(small)  # forked before any thread of ours exists
    try:
        res = interleaved({"small_loop": lambda: loop(small), "small_many": lambda: many(small),
                           "small_many1": lambda: many(small, 1),
                           "small_raw": lambda: raw_read(small), "small_halves": halves}, r)
    finally:
        halves.close()
    res |= interleaved({"big_loop": lambda: loop(big), "big_many": lambda: many(big)}, r)
    big_busy = statistics.median(busy_cpus(lambda: loop(big)) for _ in range(r))
    res |= interleaved({"headers": lambda: headers(listing),
                        "headers_raw": lambda: raw_read(listing, 4096)}, r)
    memory = rss(small, work)
    mf = mfdataset(small[:200], 1, not args.skip_cluster)  # seconds each: one timed round

    n = len(small)
    print(f"CPUs available: {len(os.sched_getaffinity(0))}; medians of {r} rounds, warm page cache\n")
    print("| what | time | rate | ratio |")
    print("|---|---:|---:|---:|")
    print(f"| {n} small files: read_psf loop | {res['small_loop']:.3f} s | {n / res['small_loop']:,.0f} files/s | 1.00 |")
    print(f"| {n} small files: read_many(workers=2) | {res['small_many']:.3f} s | {n / res['small_many']:,.0f} files/s | {res['small_loop'] / res['small_many']:.2f} |")
    print(f"| {n} small files: read_many(workers=1) | {res['small_many1']:.3f} s | {n / res['small_many1']:,.0f} files/s | {res['small_loop'] / res['small_many1']:.2f} |")
    print(f"| {n} small files: os.open + os.read | {res['small_raw']:.3f} s | {n / res['small_raw']:,.0f} files/s | {res['small_loop'] / res['small_raw']:.2f} |")
    print(f"| {n} small files: 2 processes, each a read_psf loop over half | {res['small_halves']:.3f} s | {n / res['small_halves']:,.0f} files/s | {res['small_loop'] / res['small_halves']:.2f} |")
    print(f"| 8 files, {big_mb:,.0f} MB: read_psf loop | {res['big_loop']:.3f} s | {big_mb / res['big_loop']:,.0f} MB/s | 1.00 |")
    print(f"| 8 files, {big_mb:,.0f} MB: read_many(workers=2) | {res['big_many']:.3f} s | {big_mb / res['big_many']:,.0f} MB/s | {res['big_loop'] / res['big_many']:.2f} |")
    for key, label in (("loop", "parallel=False"), ("threaded", "parallel=True, threaded scheduler"),
                       ("cluster", "parallel=True, LocalCluster of 2 processes")):
        if key in mf:
            print(f"| open_mfdataset of 200 files, {label} | {mf[key]:.3f} s | {200 / mf[key]:,.0f} files/s | {mf['loop'] / mf[key]:.2f} |")
    m = len(listing)
    print(f"| {m:,} headers: quarn.read_header | {res['headers']:.3f} s | {m / res['headers']:,.0f} files/s | 1.00 |")
    print(f"| {m:,} headers: os.open + os.read of 4 KiB | {res['headers_raw']:.3f} s | {m / res['headers_raw']:,.0f} files/s | {res['headers'] / res['headers_raw']:.2f} |")
    cpus = len(os.sched_getaffinity(0))
    print(f"\nThe read_psf loop over the 8 large files keeps {big_busy:.2f} CPUs busy: "
          f"no schedule of its work on {cpus} CPUs is faster than {cpus / big_busy:.2f}x.")
    print(f"Peak RSS growth, read_many over {n} small files: results dropped "
          f"{memory['drop'] / 2**20:.1f} MiB, results kept {memory['keep'] / 2**20:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
