#!/usr/bin/env python3
"""Writes the large, valid psfbin files that the benchmark runner reads.

    python bench/generate.py [OUTDIR] [--scale S] [--only NAME,...]
    python bench/generate.py WORKDIR --check


OUTDIR defaults to /tmp/quarn-bench. --scale multiplies every sample count
(0.01 gives files of a few MB for a quick check). The files:

  windowed.psfbin      transient, Windowed layout: a real sweep and 8 real traces,
                       windows of 2048 words, a ContainerPadding chunk every 16 frames,
                       a last partial frame (~1 GB)
  ac.psfbin            AC analysis, Simple layout: a real sweep and 8 complex traces,
                       records interleaved point by point (~1 GB)
  noise.psfbin         noise analysis, Simple layout: a real sweep and 4 struct traces
                       of 16 float64 members (~500 MB)
  dcop.psfbin          operating point, NonSwept layout: 20,000 floats and 5,000
                       struct values of 13 members
  *_a4.psfbin          the three swept layouts again (at a quarter of the size), with
                       every sample at an offset of 4 mod 8
  small/NNNN.psfbin    2,000 small transients of ~20 KB each

Every sample array is built with NumPy in big-endian record views; there is no
per-sample Python code. A manifest.json beside the files tells the runner what each
file holds.

--check writes small files of every kind (both alignments) and the same contents with
the test suite's writer, reads all of them with quarn.read_psf and compares the results
with the values the generator meant to write.
"""

from __future__ import annotations

import argparse
import json
import os
import struct
import sys
from pathlib import Path

import numpy as np

# Chunk words of the format.
DECLARATION, GROUP, STRUCT_END, INDEX, PADDING = 16, 17, 18, 19, 20
CONTAINER, SUBCONTAINER = 21, 22
PROP_STRING, PROP_INT, PROP_FLOAT = 33, 34, 35
SECTION_TYPE, SECTION_SWEEP, SECTION_TRACE, SECTION_VALUE, SECTION_END = 1, 2, 3, 4, 15
# Datatype tags.
INT8, INT32, FLOAT64, COMPLEX, STRUCT = 1, 5, 11, 12, 16
# First words (value section types).
SIMPLE, WINDOWED, NONSWEPT = 512, 1024, 1280

FOOTER = b"Clarissa\x00\x00\x00\x00"


# ---- small encoders for the parts before the samples -------------------------------

def words(*values: int) -> bytes:
    return struct.pack(f">{len(values)}I", *values)


def pstr(text: str) -> bytes:
    raw = text.encode("utf-8")
    return words(len(raw)) + raw + b"\x00" * (-len(raw) % 4)


def props(items: list[tuple[str, object]]) -> bytes:
    out = bytearray()
    for name, value in items:
        if isinstance(value, str):
            out += words(PROP_STRING) + pstr(name) + pstr(value)
        elif isinstance(value, int):
            out += words(PROP_INT) + pstr(name) + words(value)
        else:
            out += words(PROP_FLOAT) + pstr(name) + struct.pack(">d", value)
    return bytes(out)


def type_decl(type_id: int, name: str, tag: int, members=(), properties=()) -> bytes:
    """A type declaration; `members` are (type id, name, tag) of a struct's members."""
    out = words(DECLARATION, type_id) + pstr(name) + words(0, tag)
    if tag == STRUCT:
        for member_id, member_name, member_tag in members:
            out += type_decl(member_id, member_name, member_tag)
        out += words(STRUCT_END)
    return out + props(list(properties))


def data_decl(decl_id: int, name: str, type_id: int, properties=()) -> bytes:
    return words(DECLARATION, decl_id) + pstr(name) + words(type_id) + props(list(properties))


class Prelude:
    """Everything before the VALUE section: first word, HEADER, TYPE, SWEEP, TRACE."""

    def __init__(self, first_word: int, header: list[tuple[str, object]]):
        self.first_word = first_word
        self.header = list(header)
        self.types: list[bytes] = []
        self.type_ids: list[int] = []
        self.sweeps: list[bytes] = []
        self.traces: list[bytes] = []
        self.trace_ids: list[int] = []

    def build(self, align_samples: int | None = None, sample_offset: int = 0) -> bytes:
        """The prelude bytes. With `align_samples` (0 or 4), a header property is
        added so that (prelude length + 12 + sample_offset) % 8 == align_samples,
        12 being the VALUE section word and its Container preamble."""
        for extra in ([], [("bench alignment", 0)], [("bench alignment pad", 0)]):
            data = self._build(self.header + extra)
            if align_samples is None or (len(data) + 12 + sample_offset) % 8 == align_samples:
                return data
        raise AssertionError("no alignment property fits")

    def _build(self, header) -> bytes:
        out = bytearray(words(self.first_word, CONTAINER, 0))
        out += props(header)
        out[8:12] = words(len(out) + 4)  # the HEADER ends at v - 4
        if self.types:
            out += words(SECTION_TYPE)
            e1_at = len(out) + 4
            out += words(CONTAINER, 0, SUBCONTAINER, 0)
            e2_at = len(out) - 4
            for t in self.types:
                out += t
            out[e2_at:e2_at + 4] = words(len(out))
            out += words(INDEX, 8 * len(self.type_ids))
            for i, tid in enumerate(self.type_ids):
                out += words(tid, i)
            out[e1_at:e1_at + 4] = words(len(out) + 4)
        if self.sweeps:
            out += words(SECTION_SWEEP)
            e_at = len(out) + 4
            out += words(CONTAINER, 0)
            for s in self.sweeps:
                out += s
            out[e_at:e_at + 4] = words(len(out) + 4)
        if self.traces:
            out += words(SECTION_TRACE)
            e1_at = len(out) + 4
            out += words(CONTAINER, 0, SUBCONTAINER, 0)
            e2_at = len(out) - 4
            for t in self.traces:
                out += t
            out[e2_at:e2_at + 4] = words(len(out))
            out += words(INDEX, 16 * len(self.trace_ids))
            for i, tid in enumerate(self.trace_ids):
                out += words(tid, i, 0, 0)
            out[e1_at:e1_at + 4] = words(len(out) + 4)
        return bytes(out)


def value_open(prelude_len: int, body_len: int) -> bytes:
    """The VALUE section word and preamble; its end word points past SectionEnd."""
    end = prelude_len + 12 + body_len  # the container end E, where SectionEnd stands
    return words(SECTION_VALUE, CONTAINER, end + 4)


def value_close() -> bytes:
    return words(SECTION_END) + FOOTER


# ---- the files -------------------------------------------------------------------

TRAN_TRACES = ["out", "in", "vdd", "vss", "net12", "net13", "I0.i", "V1.i"]
AC_TRACES = ["out", "outp", "outn", "in", "x1.net3", "x1.net4", "x2.out", "vdd"]
NOISE_MEMBERS = ["total", "M1.id", "M1.fn", "M2.id", "M2.fn", "M3.id", "M3.fn", "M4.id",
                 "M4.fn", "R1.rn", "R2.rn", "R3.rn", "Q1.ic", "Q1.ib", "Q1.rb", "Q1.fn"]
NOISE_TRACES = ["out", "in", "M1", "Q1"]
OP_MEMBERS = [("vgs", FLOAT64), ("vds", FLOAT64), ("vbs", FLOAT64), ("ids", FLOAT64),
              ("gm", FLOAT64), ("gds", FLOAT64), ("gmb", FLOAT64), ("region", INT8),
              ("vth", FLOAT64), ("vdsat", FLOAT64), ("cgs", FLOAT64), ("cgd", FLOAT64),
              ("cdb", FLOAT64)]


def header_for(analysis: str, extra=()) -> list[tuple[str, object]]:
    return [("format version", "1.00"), ("analysis type", analysis),
            ("analysis name", f"{analysis}1"), ("design", "bench/top"),
            ("date", "2026-01-01 00:00:00"), ("temperature", 27.0), ("tnom", 27.0),
            ("run", 1), *extra]


def tran_signals(first: int, n: int, traces: int, seed: int):
    """Points first .. first + n - 1 of a transient: time, and one sine per trace."""
    rng = np.random.default_rng(seed)
    freqs = rng.uniform(1e6, 5e7, traces)
    phases = rng.uniform(0, 2 * np.pi, traces)
    t = (first + np.arange(n)) * 1e-10
    wave = np.sin(np.outer(2 * np.pi * freqs, t) + phases[:, None])
    wave *= 1.0 + 0.1 * np.arange(traces)[:, None]
    return t, wave


def windowed_file(path: Path, points: int, window: int = 2048, traces: int = 8,
                  pad_every: int = 16, pad_size: int = 2040, align: int = 0,
                  seed: int = 0, header_extra=()) -> dict:
    """A transient: frames of `window` words for the sweep and `traces` traces, a
    ContainerPadding chunk after every `pad_every` frames, the last frame partial."""
    k = 1 + traces
    assert pad_size % 8 == 0, "padding must keep the samples' offset mod 8"
    p = Prelude(WINDOWED, header_for("tran", [("window size", window), *header_extra]))
    p.types = [type_decl(1, "time", FLOAT64, properties=[("units", "s")]),
               type_decl(2, "V", FLOAT64, properties=[("units", "V")])]
    p.type_ids = [1, 2]
    p.sweeps = [data_decl(100, "time", 1, [("units", "s")])]
    names = TRAN_TRACES[:traces] if traces <= len(TRAN_TRACES) else \
        [f"net{i}" for i in range(traces)]
    p.trace_ids = list(range(101, 101 + traces))
    p.traces = [data_decl(i, n, 2) for i, n in zip(p.trace_ids, names)]
    # The samples of window 0 start 8 bytes into a frame, and every later window keeps
    # that remainder mod 8; the body starts with the first frame.
    prelude = p.build(align_samples=align, sample_offset=8)

    full, last = divmod(points, window)
    counts = [window] * full + ([last] if last else [])
    frame_bytes = 8 * k * (window + 1)
    n_frames = len(counts)
    n_pads = (n_frames - 1) // pad_every  # between frames, never after the last
    body_len = n_frames * frame_bytes + n_pads * (8 + pad_size)

    pad = np.zeros(8 + pad_size, np.uint8)
    pad[:8] = np.frombuffer(words(PADDING, pad_size), np.uint8)

    with open(path, "wb") as f:
        f.write(prelude)
        f.write(value_open(len(prelude), body_len))
        done = 0
        for g in range(0, n_frames, pad_every):
            group = counts[g:g + pad_every]
            nf = len(group)
            frames = np.empty((nf, k, window + 1), ">f8")
            raw = frames.view(">u8")
            hdr = (DECLARATION << 32) | (window << 16)
            raw[:, 0, 0] = [hdr | n for n in group]
            raw[:, 1:, 0] = np.arange(1, k, dtype=np.uint64)  # the 8 bytes before a window: not examined
            npts = sum(group)
            t, wave = tran_signals(done, npts, traces, seed)
            if all(c == window for c in group):
                frames[:, 0, 1:] = t.reshape(nf, window)
                frames[:, 1:, 1:] = wave.reshape(traces, nf, window).transpose(1, 0, 2)
            else:
                # The last (partial) frame: unused window words hold NaN bit patterns.
                raw[:, :, 1:] = 0x7FF8DEADBEEF0000
                for i, n in enumerate(group):
                    lo = i * window
                    frames[i, 0, 1:1 + n] = t[lo:lo + n]
                    frames[i, 1:, 1:1 + n] = wave[:, lo:lo + n]
            f.write(frames.data)
            done += npts
            if g + pad_every < n_frames:
                f.write(pad.data)
        f.write(value_close())
    return {"layout": "windowed", "points": points, "arrays": k, "array_bytes": 8 * k * points,
            "align": align, "window": window, "first_sample": len(prelude) + 12 + 8}


def simple_records(prelude: bytes, path: Path, rec: np.dtype, npoints: int, fill, chunk: int):
    """Writes the Simple body: `npoints` records of `rec`, point by point, in chunks
    of `chunk` points filled by fill(array, first_point)."""
    body_len = rec.itemsize * npoints
    with open(path, "wb") as f:
        f.write(prelude)
        f.write(value_open(len(prelude), body_len))
        for lo in range(0, npoints, chunk):
            n = min(chunk, npoints - lo)
            block = np.zeros(n, rec)
            fill(block, lo)
            f.write(block.data)
        f.write(value_close())


def record_fields(ids_kinds) -> np.dtype:
    """The record of one point: for each (id, kind) a chunk word, the id and its point."""
    fields = []
    for i, (decl_id, kind) in enumerate(ids_kinds):
        fields += [(f"c{i}", ">u4"), (f"i{i}", ">u4"), (f"v{i}", kind)]
    return np.dtype(fields)


def set_record_words(block, ids_kinds):
    for i, (decl_id, _) in enumerate(ids_kinds):
        block[f"c{i}"] = DECLARATION
        block[f"i{i}"] = decl_id


def ac_signals(first: int, n: int, points: int, traces: int, seed: int):
    """Points first .. first + n - 1 of an AC sweep: frequency, one low-pass per trace."""
    rng = np.random.default_rng(seed)
    poles = rng.uniform(1e3, 1e8, traces)
    gains = rng.uniform(0.5, 100, traces)
    freq = 1e10 ** ((first + np.arange(n)) / max(points - 1, 1))
    return freq, gains[:, None] / (1 + 1j * freq[None, :] / poles[:, None])


def ac_file(path: Path, points: int, traces: int = 8, align: int = 0, seed: int = 1) -> dict:
    p = Prelude(SIMPLE, header_for("ac"))
    p.types = [type_decl(1, "freq", FLOAT64, properties=[("units", "Hz")]),
               type_decl(2, "V", COMPLEX, properties=[("units", "V")])]
    p.type_ids = [1, 2]
    p.sweeps = [data_decl(10, "freq", 1)]
    p.trace_ids = list(range(11, 11 + traces))
    p.traces = [data_decl(i, n, 2) for i, n in zip(p.trace_ids, AC_TRACES[:traces])]
    prelude = p.build(align_samples=align, sample_offset=8)
    ids_kinds = [(10, ">f8")] + [(i, ">c16") for i in p.trace_ids]
    rec = record_fields(ids_kinds)

    def fill(block, lo):
        set_record_words(block, ids_kinds)
        freq, h = ac_signals(lo, len(block), points, traces, seed)
        block["v0"] = freq
        for j in range(traces):
            block[f"v{j + 1}"] = h[j]

    simple_records(prelude, path, rec, points, fill, 1 << 18)
    return {"layout": "simple", "points": points, "arrays": 1 + traces,
            "array_bytes": points * (8 + 16 * traces), "align": align,
            "first_sample": len(prelude) + 12 + 8}


def noise_signals(first: int, n: int, points: int, traces: int, seed: int):
    """Points first .. first + n - 1 of a noise sweep: frequency, and per trace an
    (n, 16) array of contributions (a floor with a 1/f corner)."""
    width = len(NOISE_MEMBERS)
    rng = np.random.default_rng(seed)
    corners = rng.uniform(1e3, 1e6, (traces, width))
    floors = rng.uniform(1e-18, 1e-16, (traces, width))
    freq = 10 ** (1 + 8 * (first + np.arange(n)) / max(points - 1, 1))
    return freq, floors[:, None, :] * (1 + corners[:, None, :] / freq[None, :, None])


def noise_file(path: Path, points: int, traces: int = 4, align: int = 0, seed: int = 2) -> dict:
    width = len(NOISE_MEMBERS)
    p = Prelude(SIMPLE, header_for("noise"))
    p.types = [type_decl(1, "freq", FLOAT64, properties=[("units", "Hz")]),
               type_decl(3, "noise contributions", STRUCT,
                         [(200 + m, name, FLOAT64) for m, name in enumerate(NOISE_MEMBERS)])]
    p.type_ids = [1, 3]
    p.sweeps = [data_decl(10, "freq", 1)]
    p.trace_ids = list(range(11, 11 + traces))
    p.traces = [data_decl(i, n, 3) for i, n in zip(p.trace_ids, NOISE_TRACES[:traces])]
    prelude = p.build(align_samples=align, sample_offset=8)
    ids_kinds = [(10, ">f8")] + [(i, (">f8", (width,))) for i in p.trace_ids]
    rec = record_fields(ids_kinds)

    def fill(block, lo):
        set_record_words(block, ids_kinds)
        freq, contributions = noise_signals(lo, len(block), points, traces, seed)
        block["v0"] = freq
        for j in range(traces):
            block[f"v{j + 1}"] = contributions[j]

    simple_records(prelude, path, rec, points, fill, 1 << 16)
    return {"layout": "simple", "points": points, "arrays": 1 + traces,
            "array_bytes": points * 8 * (1 + width * traces), "align": align,
            "first_sample": len(prelude) + 12 + 8}


def dcop_values(floats: int, structs: int, seed: int) -> dict:
    """Names and values of an operating point, as arrays."""
    rng = np.random.default_rng(seed)
    out = {"float_names": np.char.add(np.char.add(b"v(n", np.char.zfill(
        np.arange(floats).astype("S6"), 6)), b")"),
        "floats": rng.uniform(-5, 5, floats),
        "struct_names": np.char.add(b"M", np.char.zfill(np.arange(structs).astype("S5"), 5))}
    for name, tag in OP_MEMBERS:
        out[name] = rng.integers(0, 4, structs) if tag == INT8 else rng.normal(0, 1, structs)
    return out


def dcop_file(path: Path, floats: int = 20000, structs: int = 5000, seed: int = 3) -> dict:
    """An operating point: `floats` Float64 values, then `structs` values of the
    13-member device struct (12 Float64 and one Int8), then the index."""
    p = Prelude(NONSWEPT, header_for("dc"))
    p.types = [type_decl(1, "V", FLOAT64, properties=[("units", "V")]),
               type_decl(4, "mos1", STRUCT,
                         [(300 + m, name, tag) for m, (name, tag) in enumerate(OP_MEMBERS)])]
    p.type_ids = [1, 4]
    prelude = p.build()
    vals = dcop_values(floats, structs, seed)

    # Float values: 16, id, name "v(nNNNNNN)" (10 bytes, padded to 12), type 1, value.
    frec = np.dtype([("c", ">u4"), ("id", ">u4"), ("len", ">u4"), ("name", "S12"),
                     ("type", ">u4"), ("value", ">f8")])
    fl = np.zeros(floats, frec)
    fl["c"], fl["id"], fl["len"], fl["type"] = DECLARATION, 1000 + np.arange(floats), 10, 1
    fl["name"] = vals["float_names"]
    fl["value"] = vals["floats"]

    # Struct values: 16, id, name "MNNNNN" (6 bytes, padded to 8), type 4, 13 members.
    members = [(name, ">f8" if tag == FLOAT64 else ">u4") for name, tag in OP_MEMBERS]
    srec = np.dtype([("c", ">u4"), ("id", ">u4"), ("len", ">u4"), ("name", "S8"),
                     ("type", ">u4"), *members])
    st = np.zeros(structs, srec)
    st["c"], st["id"], st["len"], st["type"] = DECLARATION, 100000 + np.arange(structs), 6, 4
    st["name"] = vals["struct_names"]
    for name, tag in OP_MEMBERS:
        # An Int8 member is its byte, then 3 padding bytes: as a big-endian word, byte << 24.
        st[name] = vals[name].astype(np.uint32) << 24 if tag == INT8 else vals[name]

    index = np.zeros(floats + structs, [("key", ">u4"), ("at", ">u4")])
    index["key"] = np.concatenate([fl["id"], st["id"]])
    index["at"] = np.arange(floats + structs) * 8
    decls_len = fl.nbytes + st.nbytes
    body_len = 8 + decls_len + 8 + index.nbytes
    with open(path, "wb") as f:
        f.write(prelude)
        f.write(value_open(len(prelude), body_len))
        sub_end = len(prelude) + 12 + 8 + decls_len
        f.write(words(SUBCONTAINER, sub_end))
        f.write(fl.data)
        f.write(st.data)
        f.write(words(INDEX, index.nbytes))
        f.write(index.data)
        f.write(value_close())
    return {"layout": "nonswept", "values": floats + structs, "floats": floats,
            "structs": structs, "array_bytes": 0, "align": None}


def small_dir(path: Path, count: int) -> dict:
    path.mkdir(parents=True, exist_ok=True)
    sizes = 0
    for i in range(count):
        f = path / f"{i:04d}.psfbin"
        windowed_file(f, 456, window=256, traces=4, pad_every=16, seed=1000 + i,
                      header_extra=[("mc iteration", i)])
        sizes += f.stat().st_size
    return {"layout": "directory", "files": count, "points": 456, "arrays": 5,
            "array_bytes": 8 * 5 * 456, "bytes": sizes}


# ---- cross-check against the test writer ----------------------------------------

def check(workdir: Path) -> int:
    """Writes small files of every kind here and the same contents with the test
    suite's writer (tests/psfwriter.py), reads both with quarn.read_psf and
    compares them with the values the generator meant to write."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    import psfwriter as pw
    import quarn

    workdir.mkdir(parents=True, exist_ok=True)
    failures = 0

    def compare(label, got, want):
        nonlocal failures
        (g_sweeps, g_traces, g_values), (w_sweeps, w_traces, w_values) = got, want
        ok = [n for n, _ in g_sweeps] == [n for n, _ in w_sweeps] and \
            [n for n, _ in g_traces] == [n for n, _ in w_traces] and \
            all(np.array_equal(a, b) and a.dtype == b.dtype
                for (_, a), (_, b) in zip(g_sweeps + g_traces, w_sweeps + w_traces)) and \
            g_values == w_values
        print(f"{label}: {'same' if ok else 'DIFFERENT'}")
        failures += not ok

    def placed(info, align, path):
        """The first sample sits at `align` mod 8 and holds the first sweep value."""
        nonlocal failures
        at = info["first_sample"]
        first = np.frombuffer(path.read_bytes()[at:at + 8], ">f8")[0]
        if at % 8 != align or first != quarn.read_psf(path).sweeps[0].data[0]:
            print(f"{path.name}: first sample at {at}, not at {align} mod 8 or not the sweep's")
            failures += 1

    def read(path):
        psf = quarn.read_psf(path)
        return ([(s.name, s.data) for s in psf.sweeps], [(t.name, t.data) for t in psf.traces],
                [(v.name, v.data) for v in psf.values])

    def types(*decls):
        return [pw.TypeDecl(tid, name, tag, members=[pw.TypeDecl(mid, mn, mt)
                                                        for mid, mn, mt in members])
                for tid, name, tag, members in decls]

    def simple_test_file(kind, trace_type, names, freq, points_of):
        """The same Simple file through the test writer: the sweep (id 10, type 1)
        and the traces (ids 11.., type 2 or 3) recorded point after point."""
        tid = trace_type[0]
        return pw.PsfFile(pw.Layout.SIMPLE, header=header_for(kind),
                          types=types((1, "freq", FLOAT64, ()), trace_type),
                          sweeps=[pw.Decl(10, "freq", 1)],
                          traces=[pw.Decl(11 + j, n, tid) for j, n in enumerate(names)],
                          values=[r for i in range(len(freq)) for r in
                                  [pw.Record(10, freq[i])] +
                                  [pw.Record(11 + j, points_of[j][i]) for j in range(len(names))]])

    for align in (0, 4):
        # Windowed: 3 full frames of 16 words, then 7 points; padding after 2 frames.
        points, window, traces = 3 * 16 + 7, 16, 3
        a = workdir / f"windowed_a{align}.psfbin"
        placed(windowed_file(a, points, window=window, traces=traces, pad_every=2, align=align,
                             seed=5), align, a)
        t, wave = tran_signals(0, points, traces, 5)
        want = ([("time", t)], [(n, wave[j]) for j, n in enumerate(TRAN_TRACES[:traces])], [])
        items = []
        for f, lo in enumerate(range(0, points, window)):
            if f and f % 2 == 0:
                items.append(pw.Padding(2040))
            items.append(pw.Frame([t[lo:lo + window]] + [w[lo:lo + window] for w in wave],
                                  window_size=window))
        b = pw.PsfFile(pw.Layout.WINDOWED, header=header_for("tran"),
                       types=types((1, "time", FLOAT64, ()), (2, "V", FLOAT64, ())),
                       sweeps=[pw.Decl(100, "time", 1)],
                       traces=[pw.Decl(101 + j, n, 2) for j, n in enumerate(TRAN_TRACES[:traces])],
                       values=items)
        (workdir / "windowed_tw.psfbin").write_bytes(b.to_bytes())
        compare(f"windowed (samples at {align} mod 8)", read(a), want)
        compare("windowed, test writer", read(workdir / "windowed_tw.psfbin"), want)

        # Simple, complex traces.
        points, traces = 37, 3
        a = workdir / f"ac_a{align}.psfbin"
        placed(ac_file(a, points, traces=traces, align=align, seed=6), align, a)
        freq, h = ac_signals(0, points, points, traces, 6)
        names = AC_TRACES[:traces]
        want = ([("freq", freq)], [(n, h[j]) for j, n in enumerate(names)], [])
        b = simple_test_file("ac", (2, "V", COMPLEX, ()), names, freq, h)
        (workdir / "ac_tw.psfbin").write_bytes(b.to_bytes())
        compare(f"ac (samples at {align} mod 8)", read(a), want)
        compare("ac, test writer", read(workdir / "ac_tw.psfbin"), want)

        # Simple, struct traces.
        points, traces = 23, 2
        a = workdir / f"noise_a{align}.psfbin"
        placed(noise_file(a, points, traces=traces, align=align, seed=7), align, a)
        freq, contributions = noise_signals(0, points, points, traces, 7)
        rec = np.dtype([(m, "<f8") for m in NOISE_MEMBERS])
        names = NOISE_TRACES[:traces]
        want = ([("freq", freq)],
                [(n, np.ascontiguousarray(contributions[j]).view(rec).reshape(-1))
                 for j, n in enumerate(names)], [])
        members = tuple((200 + m, n, FLOAT64) for m, n in enumerate(NOISE_MEMBERS))
        b = simple_test_file("noise", (3, "noise contributions", STRUCT, members), names, freq,
                             contributions)
        (workdir / "noise_tw.psfbin").write_bytes(b.to_bytes())
        compare(f"noise (samples at {align} mod 8)", read(a), want)
        compare("noise, test writer", read(workdir / "noise_tw.psfbin"), want)

    # NonSwept.
    floats, structs = 30, 12
    a = workdir / "dcop.psfbin"
    dcop_file(a, floats, structs, seed=8)
    vals = dcop_values(floats, structs, 8)
    float_values = [(n.decode(), float(v)) for n, v in zip(vals["float_names"], vals["floats"])]
    struct_values = [(n.decode(), {m: (int if tag == INT8 else float)(vals[m][i])
                                   for m, tag in OP_MEMBERS})
                     for i, n in enumerate(vals["struct_names"])]
    want = ([], [], float_values + struct_values)
    members = tuple((300 + m, n, tag) for m, (n, tag) in enumerate(OP_MEMBERS))
    b = pw.PsfFile(pw.Layout.NONSWEPT, header=header_for("dc"),
                   types=types((1, "V", FLOAT64, ()), (4, "mos1", STRUCT, members)),
                   values=[pw.Decl(1000 + i, n, 1, v) for i, (n, v) in enumerate(float_values)] +
                          [pw.Decl(100000 + i, n, 4, v) for i, (n, v) in enumerate(struct_values)])
    (workdir / "dcop_tw.psfbin").write_bytes(b.to_bytes())
    compare("dcop", read(a), want)
    compare("dcop, test writer", read(workdir / "dcop_tw.psfbin"), want)
    print("all the same" if failures == 0 else f"{failures} DIFFERENT")
    return 1 if failures else 0


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir", nargs="?", default="/tmp/quarn-bench")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiplies every sample count (default 1: the full sizes)")
    ap.add_argument("--only", default="",
                    help="comma-separated subset of: windowed,ac,noise,dcop,windowed_a4,"
                         "ac_a4,noise_a4,small")
    ap.add_argument("--check", action="store_true",
                    help="write small files of every kind into OUTDIR, and the same contents "
                         "with tests/psfwriter.py, and compare what read_psf returns for both "
                         "with the intended values")
    args = ap.parse_args(argv)
    out = Path(args.outdir)
    if args.check:
        return check(out)
    out.mkdir(parents=True, exist_ok=True)
    s = args.scale

    def n(x):
        return max(int(x * s), 1)

    # Sizes: windowed 9 x 8 B x 13.9 M points ~ 1.0 GB; ac 208 B x 4.8 M points ~ 1.0 GB;
    # noise 560 B x 0.9 M points ~ 0.5 GB.
    jobs = {
        "windowed": lambda p: windowed_file(p, n(13_900_000) + 777),
        "ac": lambda p: ac_file(p, n(4_800_000)),
        "noise": lambda p: noise_file(p, n(900_000)),
        "dcop": lambda p: dcop_file(p),
        "windowed_a4": lambda p: windowed_file(p, n(13_900_000 // 4) + 777, align=4),
        "ac_a4": lambda p: ac_file(p, n(4_800_000 // 4), align=4),
        "noise_a4": lambda p: noise_file(p, n(900_000 // 4), align=4),
    }
    only = [x for x in args.only.split(",") if x]
    unknown = set(only) - set(jobs) - {"small"}
    if unknown:
        ap.error(f"unknown names: {', '.join(sorted(unknown))}")
    manifest_path = out / "manifest.json"
    manifest = json.loads(manifest_path.read_text()) if manifest_path.exists() else {}
    for name, job in jobs.items():
        if only and name not in only:
            continue
        path = out / f"{name}.psfbin"
        info = job(path)
        info["file"] = path.name
        info["bytes"] = path.stat().st_size
        manifest[name] = info
        print(f"{path}: {info['bytes'] / 1e6:.1f} MB", flush=True)
    if not only or "small" in only:
        info = small_dir(out / "small", 2000)
        info["file"] = "small"
        manifest["small"] = info
        print(f"{out / 'small'}: {info['files']} files, {info['bytes'] / 1e6:.1f} MB", flush=True)
    manifest_path.write_text(json.dumps(manifest, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
