#!/usr/bin/env python3
"""Times quarn.read_psf against the physical limit and against a hand-written NumPy reader.

    python bench/generate.py /tmp/quarn-bench      # once: writes the files (~3.3 GB)
    python bench/run.py /tmp/quarn-bench           # prints the Markdown table

For each file of the generator's manifest, in one run and over --rounds rounds
(medians, min-max shown), three things are timed in turn:

  copy      a plain copy of as many bytes as the file has, from the file's (already
            touched) mapping into an already-touched buffer: the physical limit
  read_psf  quarn.read_psf(path)
  NumPy     the best reader a user could write by hand for that layout, below:
            np.ndarray views with big-endian dtypes over an mmap of the file,
            strided gathers and conversion to native order (NonSwept: struct.unpack_from)

read_psf and the NumPy reader are timed twice: warm, writing into memory that the
process has just freed (a process that reads file after file), and cold, 2.5 s after
the last free. A virtual machine with free page reporting (as the project's machines
are) hands freed memory back to its host within about 2 s; each page a cold call
writes first then costs a fault in the guest and one in the host (a first read).

read_psf's result is checked against the NumPy reader's once, before timing. The
peak RSS of a fresh child process that only reads the file is measured with the
high-water mark of /proc/self/status, reset just before the call.

For the directory of small files, every file is read and the results are kept
(as a Monte-Carlo post-processing script would keep them); copy is os.read of each
file into a touched buffer.
"""

from __future__ import annotations

import argparse
import gc
import json
import mmap
import os
import platform
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

# No linear algebra runs here: without this, OpenBLAS's idle worker threads
# spin on one of the machine's two cores while the readers are timed.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

# ---- the hand-written NumPy reader ---------------------------------------------------

U32 = struct.Struct(">I")
F64 = struct.Struct(">d")
ELEMENT = {1: ("B3x", 4), 5: ("I", 4), 11: ("d", 8), 12: ("dd", 16)}  # tag: format, bytes


class Prelude:
    """Header, types, sweeps and traces of a file, parsed with struct from an mmap."""

    def __init__(self, mm):
        self.mm = mm
        self.first = self.u32(0)
        self.pos = 12
        self.header = self.props()
        self.types = {}
        if self.peek(1):
            e1 = self.u32(self.pos + 8) - 4
            e2 = self.u32(self.pos + 16)
            self.pos += 20
            while self.pos < e2:
                tid, info = self.type_decl()
                self.types[tid] = info
            self.pos = e1
        self.sweeps = self.decls(2, framed=False) if self.peek(2) else []
        self.traces = self.decls(3, framed=True) if self.peek(3) else []

    def u32(self, at):
        return U32.unpack_from(self.mm, at)[0]

    def peek(self, word):
        return self.pos + 4 <= len(self.mm) and self.u32(self.pos) == word

    def string(self):
        n = self.u32(self.pos)
        s = self.mm[self.pos + 4:self.pos + 4 + n].decode()
        self.pos += 4 + n + (-n % 4)
        return s

    def props(self):
        out = {}
        while self.pos + 4 <= len(self.mm):
            tag = self.u32(self.pos)
            if tag not in (33, 34, 35):
                break
            self.pos += 4
            name = self.string()
            if tag == 33:
                out[name] = self.string()
            elif tag == 34:
                out[name] = self.u32(self.pos)
                self.pos += 4
            else:
                out[name] = F64.unpack_from(self.mm, self.pos)[0]
                self.pos += 8
        return out

    def type_decl(self):
        tid = self.u32(self.pos + 4)
        self.pos += 8
        name = self.string()
        tag = self.u32(self.pos + 4)
        self.pos += 8
        info = tag
        if tag == 16:
            info = []
            while self.u32(self.pos) != 18:
                _, member = self.type_decl()
                info.append(member)
            self.pos += 4
        self.props()
        return tid, (name, info)

    def decls(self, section, framed):
        e1 = self.u32(self.pos + 8) - 4
        self.pos += 12
        end = e1
        if framed:
            end = self.u32(self.pos + 4)
            self.pos += 8
        out = []
        while self.pos < end:
            assert self.u32(self.pos) == 16, "groups are not used by the bench files"
            did = self.u32(self.pos + 4)
            self.pos += 8
            name = self.string()
            tid = self.u32(self.pos)
            self.pos += 4
            self.props()
            out.append((did, name, self.types[tid][1]))
        self.pos = e1
        return out


def kind_of(info):
    """(dtype of one point in the file, native dtype of the result)."""
    if info == 11:
        return np.dtype(">f8"), np.dtype("<f8")
    if info == 12:
        return np.dtype(">c16"), np.dtype("<c16")
    names = [name for name, _ in info]
    return np.dtype((">f8", (len(names),))), np.dtype([(n, "<f8") for n in names])


def read_windowed(mm, pre, pos, end):
    """Frames are found with struct (one step per frame); runs of contiguous frames
    of the same shape are then copied out per trace with one strided assignment,
    which byte-swaps on the way."""
    k = 1 + len(pre.traces)
    runs = []  # [offset of the run, W, N, frames]
    total = 0
    while pos < end:
        word = U32.unpack_from(mm, pos)[0]
        if word == 20:
            pos += 8 + U32.unpack_from(mm, pos + 4)[0]
            continue
        w, n = struct.unpack_from(">HH", mm, pos + 4)
        size = 8 * k * (w + 1)
        last = runs[-1] if runs else None
        if last and last[1] == w and last[2] == n and last[0] + last[3] * size == pos:
            last[3] += 1
        else:
            runs.append([pos, w, n, 1])
        total += n
        pos += size
    outs = [np.empty(total) for _ in range(k)]
    at = 0
    for off, w, n, nf in runs:
        frames = np.ndarray((nf, k, w + 1), ">f8", mm, off)
        for j in range(k):
            outs[j][at:at + nf * n].reshape(nf, n)[...] = frames[:, j, 1:1 + n]
        at += nf * n
        del frames
    names = [pre.sweeps[0][1]] + [t[1] for t in pre.traces]
    return list(zip(names, outs))


def read_simple(mm, pre, pos, end):
    """The records of the first point give the period; every point is assumed to
    repeat it (checked only by the length). Each field is then gathered with astype."""
    decls = {d: (name, info) for d, name, info in pre.sweeps + pre.traces}
    period = []
    seen = set()
    p = pos
    while p < end:
        did = U32.unpack_from(mm, p + 4)[0]
        if did in seen:
            break
        seen.add(did)
        period.append(did)
        p += 8 + kind_of(decls[did][1])[0].itemsize
    fields = []
    for i, did in enumerate(period):
        fields += [(f"c{i}", ">u4"), (f"i{i}", ">u4"), (f"v{i}", kind_of(decls[did][1])[0])]
    rec_t = np.dtype(fields)
    count, rest = divmod(end - pos, rec_t.itemsize)
    assert rest == 0, "records do not repeat the first point's pattern"
    recs = np.ndarray((count,), rec_t, mm, pos)
    got = {}
    for i, did in enumerate(period):
        file_t, native = kind_of(decls[did][1])
        if native.names is None:
            got[did] = recs[f"v{i}"].astype(native)
        else:
            out = np.empty(count, native)
            out.view("<f8").reshape(count, len(native.names))[...] = recs[f"v{i}"]
            got[did] = out
    del recs
    return [(name, got[d]) for d, name, _ in pre.sweeps + pre.traces]


def read_nonswept(mm, pre, pos):
    """One struct.unpack_from per value (a whole struct's members at once)."""
    sub_end = U32.unpack_from(mm, pos + 4)[0]
    pos += 8
    fmts = {}
    for tid, (name, info) in pre.types.items():
        if isinstance(info, list):
            fmt = ">" + "".join(ELEMENT[tag][0] for _, tag in info)
            fmts[tid] = (struct.Struct(fmt), [n for n, _ in info], True)
        elif info in (5, 11):
            fmts[tid] = (struct.Struct(">" + ELEMENT[info][0]), None, False)
    values = []
    unpack_u32 = U32.unpack_from
    while pos < sub_end:
        n = unpack_u32(mm, pos + 8)[0]
        name = mm[pos + 12:pos + 12 + n].decode()
        pos += 12 + n + (-n % 4)
        tid = unpack_u32(mm, pos)[0]
        s, names, is_struct = fmts[tid]
        got = s.unpack_from(mm, pos + 4)
        values.append((name, dict(zip(names, got)) if is_struct else got[0]))
        pos += 4 + s.size
        if unpack_u32(mm, pos)[0] in (33, 34, 35):
            raise NotImplementedError("the bench files have no properties on values")
    return values


def numpy_read(path):
    """Returns [(name, array)] for a swept file, [(name, value)] for an operating point."""
    with open(path, "rb") as f:
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    try:
        pre = Prelude(mm)
        assert pre.u32(pre.pos) == 4, "no VALUE section"
        end = pre.u32(pre.pos + 8) - 4
        body = pre.pos + 12
        if pre.first == 1024:
            return read_windowed(mm, pre, body, end)
        if pre.first == 512:
            return read_simple(mm, pre, body, end)
        return read_nonswept(mm, pre, body)
    finally:
        mm.close()


# ---- checks and measurements -------------------------------------------------------

def quarn_items(psf):
    if psf.values:
        return [(v.name, v.data) for v in psf.values]
    return [(s.name, s.data) for s in list(psf.sweeps) + list(psf.traces)]


def same(a, b):
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.names:
            a, b = a.view("<f8"), b.view("<f8")
        return a.tobytes() == b.tobytes()
    return a == b


def check(read_psf, path):
    mine, theirs = quarn_items(read_psf(path)), numpy_read(path)
    if len(mine) != len(theirs):
        raise SystemExit(f"{path}: read_psf gave {len(mine)} items, the NumPy reader {len(theirs)}")
    for (n1, a), (n2, b) in zip(mine, theirs):
        if n1 != n2 or not same(a, b):
            raise SystemExit(f"{path}: read_psf and the NumPy reader differ at {n1!r}")
    floats = sum(a.nbytes // 8 for _, a in mine if isinstance(a, np.ndarray))
    nbytes = sum(a.nbytes for _, a in mine if isinstance(a, np.ndarray))
    return floats, nbytes


CHILD = r"""
import json, sys
import numpy
import quarn
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
base = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the high-water mark to the current RSS
psf = quarn.read_psf(sys.argv[1])
peak = status("VmHWM:")
arrays = sum(s.data.nbytes for s in list(psf.sweeps) + list(psf.traces))
# An operating point returns Python objects, not arrays: their deep size stands in.
for v in psf.values:
    arrays += sys.getsizeof(v) + sys.getsizeof(v.name) + sys.getsizeof(v.data)
    if isinstance(v.data, dict):
        arrays += sum(sys.getsizeof(k) + sys.getsizeof(x) for k, x in v.data.items())
print(json.dumps({"base": base, "peak": peak, "arrays": arrays, "objects": bool(psf.values)}))
"""


def child_rss(path):
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True,
                         capture_output=True, text=True, env=env)
    return json.loads(out.stdout)


def timed(fn, *args):
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = fn(*args)
        t1 = time.perf_counter_ns()
    finally:
        gc.enable()
    return (t1 - t0) / 1e9, result


class Source:
    """A file's bytes, mapped and touched, for the copy baseline."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        self.bytes = np.frombuffer(self.mm, np.uint8)
        self.bytes.sum(dtype=np.uint64)  # faults every page in


def copy_into(dst, src):
    np.copyto(dst[:src.size], src)


def read_all(read_psf, paths):
    return [read_psf(p) for p in paths]


def numpy_all(paths):
    return [numpy_read(p) for p in paths]


def copy_files(paths, buf):
    view = memoryview(buf)
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.readv(fd, [view])
        finally:
            os.close(fd)


def fmt_spread(values, scale=1e3, digits=1):
    med = statistics.median(values)
    return f"{med * scale:.{digits}f} ({min(values) * scale:.{digits}f}–{max(values) * scale:.{digits}f})"


def machine():
    cpu = "unknown CPU"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    thp = Path("/sys/kernel/mm/transparent_hugepage/enabled")
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}, "
            f"THP {thp.read_text().strip() if thp.exists() else 'n/a'}, "
            f"Python {platform.python_version()}, NumPy {np.__version__}")


def prime(nbytes):
    """Touches and frees `nbytes` of new memory, so that the next reader's fresh
    pages are ones the kernel has just had back (see `warm` in the docstring)."""
    if nbytes:
        np.ones(nbytes // 8 + 1).sum()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir", nargs="?", default="/tmp/quarn-bench")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", default="", help="comma-separated names from the manifest")
    ap.add_argument("--no-rss", action="store_true", help="skip the child-process RSS runs")
    ap.add_argument("--settle", type=float, default=2.5,
                    help="seconds to wait before each cold read (default 2.5; 0 skips the "
                         "cold reads)")
    args = ap.parse_args(argv)
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    import quarn

    root = Path(args.dir)
    manifest = json.loads((root / "manifest.json").read_text())
    names = [n for n in manifest if not args.only or n in args.only.split(",")]
    big = [n for n in names if manifest[n]["layout"] != "directory"]
    dirs = [n for n in names if manifest[n]["layout"] == "directory"]
    print(f"quarn {quarn.__version__} from {Path(quarn.__file__).parent}", file=sys.stderr)

    # Check every result once (this also brings every file into the page cache).
    info, sources = {}, {}
    for n in big:
        path = root / manifest[n]["file"]
        floats, nbytes = check(quarn.read_psf, path)
        info[n] = {"path": path, "size": path.stat().st_size, "floats": floats, "nbytes": nbytes}
        sources[n] = Source(path)
        print(f"checked {n}: {floats} floats", file=sys.stderr)
    small_paths = {}
    for n in dirs:
        paths = sorted(str(p) for p in (root / manifest[n]["file"]).glob("*.psfbin"))
        for p in paths:
            check(quarn.read_psf, p)
        small_paths[n] = paths
        size = sum(os.path.getsize(p) for p in paths)
        info[n] = {"size": size, "files": len(paths),
                   "floats": len(paths) * manifest[n]["array_bytes"] // 8,
                   "nbytes": len(paths) * manifest[n]["array_bytes"],
                   "largest": max(os.path.getsize(p) for p in paths)}
        print(f"checked {n}: {len(paths)} files", file=sys.stderr)

    largest = max([info[n]["size"] for n in big] + [info[n].get("largest", 0) for n in dirs] + [1])
    dst = np.empty(largest, np.uint8)
    dst.fill(1)  # touched once; every copy lands in memory that is already there

    cold = args.settle > 0
    kinds = ["copy", "read", "numpy"] + (["read_cold", "numpy_cold"] if cold else [])
    times = {n: {k: [] for k in kinds} for n in names}

    def measure(n, kind, fn, *fargs):
        t, res = timed(fn, *fargs)
        times[n][kind].append(t)
        del res
        gc.collect()

    for r in range(args.rounds):
        for n in big:
            measure(n, "copy", copy_into, dst, sources[n].bytes)
            prime(info[n]["nbytes"])
            measure(n, "read", quarn.read_psf, info[n]["path"])
            measure(n, "numpy", numpy_read, info[n]["path"])  # into what read_psf just freed
            if cold:
                time.sleep(args.settle)
                measure(n, "read_cold", quarn.read_psf, info[n]["path"])
                time.sleep(args.settle)
                measure(n, "numpy_cold", numpy_read, info[n]["path"])
        for n in dirs:
            measure(n, "copy", copy_files, small_paths[n], dst)
            measure(n, "read", read_all, quarn.read_psf, small_paths[n])
            measure(n, "numpy", numpy_all, small_paths[n])
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    rss = {}
    if not args.no_rss:
        for n in big:
            rss[n] = child_rss(info[n]["path"])

    med = {n: {k: statistics.median(v) for k, v in times[n].items() if v} for n in names}
    print(f"Machine: {machine()}.  ")
    print(f"One run, {args.rounds} rounds; medians, with min–max in brackets. "
          "`ratio` = read_psf / copy; `NumPy ÷` = NumPy reader / read_psf; "
          "warm and cold: see below.\n")
    head = ("| file | file MB | arrays MB | copy ms | read_psf ms | NumPy ms | ratio | NumPy ÷ "
            "| ns/float |")
    rule = "|---|--:|--:|--:|--:|--:|--:|--:|--:|"
    if cold:
        head += " read_psf cold ms | NumPy cold ms | cold ratio | cold NumPy ÷ |"
        rule += "--:|--:|--:|--:|"
    head += " peak RSS MB | ÷ file | ÷ arrays | ≤ file + 1.1·arrays |"
    rule += "--:|--:|--:|:-:|"
    print(head)
    print(rule)
    for n in big + dirs:
        i, m = info[n], med[n]
        label = f"{n}/ ({i['files']} files)" if n in dirs else n
        row = [label, f"{i['size'] / 1e6:.1f}", f"{i['nbytes'] / 1e6:.1f}",
               fmt_spread(times[n]["copy"]), fmt_spread(times[n]["read"]),
               fmt_spread(times[n]["numpy"]),
               f"{m['read'] / m['copy']:.2f}", f"{m['numpy'] / m['read']:.2f}",
               f"{m['read'] * 1e9 / i['floats']:.2f}" if i["floats"] else "–"]
        if cold:
            if n in big:
                row += [fmt_spread(times[n]["read_cold"]), fmt_spread(times[n]["numpy_cold"]),
                        f"{m['read_cold'] / m['copy']:.2f}",
                        f"{m['numpy_cold'] / m['read_cold']:.2f}"]
            else:
                row += ["–"] * 4
        if n in rss:
            extra = rss[n]["peak"] - rss[n]["base"]
            ok = extra <= i["size"] + 1.1 * rss[n]["arrays"]
            row += [f"{extra / 1e6:.1f}", f"{extra / i['size']:.2f}",
                    f"{extra / rss[n]['arrays']:.2f}" if rss[n]["arrays"] else "–",
                    ("yes" if ok else "**no**") + (" ¹" if rss[n]["objects"] else "")]
        else:
            row += ["–"] * 4
        print("| " + " | ".join(row) + " |")

    print("\nwarm: each reader's new memory is memory the process has just freed (before "
          "read_psf, the runner touches and frees as many bytes as the arrays take; the NumPy "
          "reader follows read_psf). cold: the call starts "
          f"{args.settle:g} s after the last free; a virtual machine with free page reporting "
          "has by then handed freed memory back to its host, so every page the call writes "
          "first is faulted in twice, by the guest and by the host.")
    if any(r["objects"] for r in rss.values()):
        print("\n¹ Python objects, not arrays: their deep size (sys.getsizeof) stands for "
              "the bytes of the returned arrays.")
    for n in dirs:
        i, m = info[n], med[n]
        rates = sorted(i["files"] / t for t in times[n]["read"])
        np_rates = sorted(i["files"] / t for t in times[n]["numpy"])
        print(f"\n{n}/: read_psf {i['files'] / m['read']:,.0f} files/s "
              f"({rates[0]:,.0f}–{rates[-1]:,.0f}), results kept; NumPy reader "
              f"{i['files'] / m['numpy']:,.0f} files/s ({np_rates[0]:,.0f}–{np_rates[-1]:,.0f}); "
              f"os.read of each file {i['files'] / m['copy']:,.0f} files/s.")

    # The targets of the performance work, judged on this run's medians.
    targets = []
    limits = {"windowed": 2.0, "ac": 2.5, "noise": 2.5}
    for n, limit in limits.items():
        if n not in med:
            continue
        for regime, key in [("", "read")] + ([("cold ", "read_cold")] if cold else []):
            r = med[n][key] / med[n]["copy"]
            targets.append((f"{n}: {regime}read_psf ≤ {limit} × copy", f"{r:.2f}", r <= limit))
            q = med[n]["numpy" + key[4:]] / med[n][key]
            targets.append((f"{n}: {regime}≥ 2 × faster than NumPy", f"{q:.2f}", q >= 2.0))
    for n in dirs:
        rate = info[n]["files"] / med[n]["read"]
        targets.append((f"{n}/: ≥ 40,000 files/s", f"{rate:,.0f}", rate >= 40000))
    for n in (n for n in rss if not rss[n]["objects"]):
        extra = rss[n]["peak"] - rss[n]["base"]
        limit = info[n]["size"] + 1.1 * rss[n]["arrays"]
        targets.append((f"{n}: peak RSS ≤ file + 1.1 × arrays", f"{extra / limit:.2f} of limit",
                        extra <= limit))
    if targets:
        print("\n| target | this run | met |\n|---|--:|:-:|")
        for what, got, ok in targets:
            print(f"| {what} | {got} | {'yes' if ok else '**no**'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
