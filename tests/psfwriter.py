"""A writer of psfbin files for the tests, the fuzz corpus and the benchmarks.

Two levels:

* `Writer`, a big-endian word builder (u16/u32/f64/strings/raw bytes) with
  named marks, for hand-made and malformed byte sequences;
* `PsfFile` and the items it is made of (`TypeDecl`, `Decl`, `Group`, the four
  sections, `Record`, `Frame`, `Padding`, `Index`), which lay out a whole file:
  container end words are computed from where the content really ends
  (`Container`: end offset + 4, `SubContainer`: end offset) and every word that
  frames something can be overridden to write a broken file. An override is
  either the word itself or a function of the computed word.

`PsfFile.build()` returns the bytes and a dict of named offsets: the automatic
marks listed in `PsfFile.build`, plus every `Mark(name)` placed in an item list.
`Raw(bytes)` may also stand in any item list.

The realistic files at the end (`ac_analysis`, `dc_sweep`, `transient`,
`noise`, `operating_point`) return the `PsfFile` together with the `Expected`
contents that a reader must produce from it.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from enum import IntEnum
from typing import Any, Callable, Sequence

import numpy as np


class Chunk(IntEnum):
    SECTION_TYPE = 1
    SECTION_SWEEP = 2
    SECTION_TRACE = 3
    SECTION_VALUE = 4
    SECTION_END = 15
    DECLARATION = 16
    GROUP = 17
    STRUCT_END = 18
    INDEX = 19
    PADDING = 20
    CONTAINER = 21
    SUB_CONTAINER = 22
    PROP_STRING = 33
    PROP_INT = 34
    PROP_FLOAT = 35


class Tag(IntEnum):
    """Datatype tags of type declarations."""

    NONE = 0
    INT8 = 1
    STRING = 2
    ARRAY = 3
    INT32 = 5
    FLOAT64 = 11
    COMPLEX = 12
    STRUCT = 16


class Layout(IntEnum):
    """The first word of a file: how its VALUE section is laid out."""

    EMPTY = 0
    SIMPLE = 0x200
    WINDOWED = 0x400
    NONSWEPT = 0x500


MAGIC = b"Clarissa"
FOOTER = MAGIC + b"\x00\x00\x00\x00"
# Bytes that a reader must pass over unread: window padding, the gaps between
# windows, Int8 padding. A NaN pattern, so that a sample read from them shows.
JUNK8 = bytes.fromhex("7ff8deadbeef0001")

Override = int | Callable[[int], int] | None


def _resolve(override: Override, computed: int) -> int:
    if override is None:
        return computed
    return override(computed) if callable(override) else override


def f64_bytes(values) -> bytes:
    """Big-endian binary64 of every float in `values` (complex: real, imaginary), bit for bit."""
    arr = np.asarray(values)
    if np.iscomplexobj(arr):
        arr = np.ascontiguousarray(arr, dtype=np.complex128).view(np.float64)
    arr = np.ascontiguousarray(arr, dtype=np.float64).reshape(-1)
    return arr.view(np.uint64).astype(">u8").tobytes()


class Writer:
    """Appends big-endian words to a byte buffer; records named offsets."""

    def __init__(self) -> None:
        self.buf = bytearray()
        self.marks: dict[str, int] = {}

    @property
    def pos(self) -> int:
        return len(self.buf)

    def u8(self, v: int) -> Writer:
        self.buf.append(v)
        return self

    def u16(self, v: int) -> Writer:
        self.buf += struct.pack(">H", v)
        return self

    def u32(self, v: int) -> Writer:
        self.buf += struct.pack(">I", v)
        return self

    def u64(self, v: int) -> Writer:
        self.buf += struct.pack(">Q", v)
        return self

    def f64(self, x) -> Writer:
        """One float, or the floats of an array / complex value, bit for bit."""
        self.buf += f64_bytes(x)
        return self

    def string(self, s: str | bytes, length: int | None = None, pad: bytes | None = None) -> Writer:
        """Length word, bytes, zero padding to a word; `length` and `pad` override."""
        b = s.encode() if isinstance(s, str) else bytes(s)
        self.u32(len(b) if length is None else length)
        self.buf += b
        self.buf += bytes(-len(b) % 4) if pad is None else pad
        return self

    def raw(self, b: bytes) -> Writer:
        self.buf += b
        return self

    def mark(self, name: str) -> Writer:
        self.marks[name] = self.pos
        return self

    def reserve_u32(self) -> int:
        """Writes a placeholder word and returns its offset, for `patch_u32`."""
        off = self.pos
        self.u32(0)
        return off

    def patch_u32(self, off: int, v: int) -> None:
        struct.pack_into(">I", self.buf, off, v)

    def to_bytes(self) -> bytes:
        return bytes(self.buf)


def patch_u32(data: bytes, off: int, v: int) -> bytes:
    """`data` with the word at `off` replaced."""
    b = bytearray(data)
    struct.pack_into(">I", b, off, v)
    return bytes(b)


# ---------------------------------------------------------------------------
# Items


@dataclass
class Raw:
    """Bytes written as they are, wherever an item may stand."""

    data: bytes

    def write(self, w: Writer, ctx: _Context) -> None:
        w.raw(self.data)


@dataclass
class Mark:
    """Records the offset where it stands under `name`; writes nothing."""

    name: str

    def write(self, w: Writer, ctx: _Context) -> None:
        w.mark(self.name)


@dataclass
class Prop:
    """A property; the chunk word follows the value's type unless given."""

    name: str
    value: str | int | float
    chunk: int | None = None

    def write(self, w: Writer, ctx: _Context) -> None:
        v = self.value
        kind = (Chunk.PROP_STRING if isinstance(v, (str, bytes)) else
                Chunk.PROP_FLOAT if isinstance(v, float) else Chunk.PROP_INT)
        w.u32(kind if self.chunk is None else self.chunk).string(self.name)
        if kind == Chunk.PROP_STRING:
            w.string(v)
        elif kind == Chunk.PROP_INT:
            w.u32(v)
        else:
            w.f64(v)


def _write_props(w: Writer, ctx: _Context, props) -> None:
    for p in props:
        (Prop(*p) if isinstance(p, tuple) else p).write(w, ctx)


@dataclass
class TypeDecl:
    """A type declaration; a struct when `tag` is `Tag.STRUCT` (members are TypeDecls)."""

    id: int
    name: str
    tag: int
    members: Sequence[TypeDecl | Raw | Mark] = ()
    props: Sequence = ()
    leading: int = 0
    chunk: int = Chunk.DECLARATION
    struct_end: int | None = None  # the word closing a struct's members; default 18

    def write(self, w: Writer, ctx: _Context) -> None:
        w.u32(self.chunk).u32(self.id).string(self.name).u32(self.leading).u32(self.tag)
        if self.tag == Tag.STRUCT:
            for m in self.members:
                m.write(w, ctx)
            w.u32(Chunk.STRUCT_END if self.struct_end is None else self.struct_end)
        _write_props(w, ctx, self.props)

    def struct_members(self) -> list[TypeDecl]:
        return [m for m in self.members if isinstance(m, TypeDecl)]


NO_VALUE = object()


def encode_value(w: Writer, tag: int, value, members: Sequence[TypeDecl] = ()) -> None:
    """One non-swept value of a declared type. Int8 padding is junk on purpose."""
    if isinstance(value, Raw):
        w.raw(value.data)
    elif tag == Tag.INT8:
        w.u8(value).raw(JUNK8[:3])
    elif tag == Tag.INT32:
        w.u32(value)
    elif tag in (Tag.FLOAT64, Tag.COMPLEX):
        w.f64(value)
    elif tag == Tag.STRING:
        w.string(value)
    elif tag == Tag.STRUCT:
        parts = [value[m.name] for m in members] if isinstance(value, dict) else value
        for m, part in zip(members, parts, strict=True):
            encode_value(w, m.tag, part)
    else:
        raise ValueError(f"no encoding for a value of datatype tag {tag}; give Raw bytes")


@dataclass
class Decl:
    """A data declaration. In a non-swept VALUE section it carries `value`,
    encoded by its declared type (or given as `Raw`)."""

    id: int
    name: str
    type_id: int
    value: Any = NO_VALUE
    props: Sequence = ()
    chunk: int = Chunk.DECLARATION

    def write(self, w: Writer, ctx: _Context) -> None:
        w.u32(self.chunk).u32(self.id).string(self.name).u32(self.type_id)
        if self.value is not NO_VALUE:
            t = ctx.types.get(self.type_id)
            if t is None and not isinstance(self.value, Raw):
                raise ValueError(f"value of {self.name!r} has undeclared type {self.type_id}")
            encode_value(w, t.tag if t else None, self.value, t.struct_members() if t else ())
        _write_props(w, ctx, self.props)


@dataclass
class Group:
    """A group declaration: its members follow its member count, its properties them."""

    id: int
    name: str
    members: Sequence[Decl | Group | Raw | Mark]
    props: Sequence = ()
    count: int | None = None  # the member count word; default the number of Decl/Group members
    chunk: int = Chunk.GROUP

    def write(self, w: Writer, ctx: _Context) -> None:
        n = sum(isinstance(m, (Decl, Group)) for m in self.members)
        w.u32(self.chunk).u32(self.id).string(self.name).u32(_resolve(self.count, n))
        for m in self.members:
            m.write(w, ctx)
        _write_props(w, ctx, self.props)


@dataclass
class Record:
    """A value record of the simple layout: one point (a float, a complex or a
    sequence of struct member floats) of declaration `id`."""

    id: int
    point: Any
    chunk: int = Chunk.DECLARATION

    def write(self, w: Writer, ctx: _Context) -> None:
        w.u32(self.chunk).u32(self.id).f64(self.point)


@dataclass
class Frame:
    """A windowed frame: one window of samples per id of the frame list (the
    sweep, then the traces). Windows are padded with junk to `window_size`."""

    windows: Sequence[Sequence[float]]
    window_size: int | None = None  # default: the sample count
    num_words: int | None = None  # default: the sample count
    chunk: int = Chunk.DECLARATION
    gap: bytes = JUNK8  # the 8 bytes before every window but the first
    filler: bytes = JUNK8  # one 8-byte word of window padding

    def write(self, w: Writer, ctx: _Context) -> None:
        n = len(self.windows[0]) if self.windows else 0
        size = _resolve(self.window_size, n)
        w.u32(self.chunk).u16(size).u16(_resolve(self.num_words, n))
        for k, win in enumerate(self.windows):
            if k:
                w.raw(self.gap)
            w.f64(np.asarray(win, dtype=np.float64))
            w.raw(self.filler * max(0, size - len(win)))


@dataclass
class Padding:
    """A ContainerPadding chunk between windowed frames; `filler` defaults to `size` bytes."""

    size: int
    filler: bytes | None = None

    def write(self, w: Writer, ctx: _Context) -> None:
        w.u32(Chunk.PADDING).u32(self.size)
        w.raw(b"\xee" * self.size if self.filler is None else self.filler)


@dataclass
class Index:
    """A ContainerIndex. By default one entry per declaration (key = its id,
    payload = its offset, then zeros); `size` overrides the byte count word and
    `extra` is written after the entries."""

    entries: Sequence[tuple[int, bytes]] | None = None
    size: Override = None
    extra: bytes = b""
    chunk: int = Chunk.INDEX

    def write(self, w: Writer, auto: list[tuple[int, int]], payload: int) -> None:
        entries = self.entries
        if entries is None:
            entries = [(key, struct.pack(">I", off) + bytes(payload - 4)) for key, off in auto]
        body = b"".join(struct.pack(">I", k) + p for k, p in entries)
        w.u32(self.chunk).u32(_resolve(self.size, len(body))).raw(body + self.extra)


# ---------------------------------------------------------------------------
# Sections


@dataclass
class _Context:
    layout: int
    types: dict[int, TypeDecl] = field(default_factory=dict)


def _write_decls(w: Writer, ctx: _Context, items) -> list[tuple[int, int]]:
    """Writes the items; returns (id, offset) of each declaration, for the index."""
    entries = []
    for item in items:
        if isinstance(item, (TypeDecl, Decl, Group)):
            entries.append((item.id, w.pos))
        item.write(w, ctx)
        if isinstance(item, TypeDecl):
            ctx.types[item.id] = item
    return entries


@dataclass(kw_only=True)
class _Framed:
    """What the four sections share: the section word and a Container preamble."""

    word: int | None = None  # the section word; default the section's own
    container: int = Chunk.CONTAINER
    end_word: Override = None  # default: container end offset + 4

    def _open(self, w: Writer, default_word: int) -> int:
        w.mark(self.name)
        w.u32(default_word if self.word is None else self.word).u32(self.container)
        return w.reserve_u32()

    def _close(self, w: Writer, end_off: int) -> None:
        w.mark(f"{self.name}.end")
        w.patch_u32(end_off, _resolve(self.end_word, w.pos + 4))


@dataclass(kw_only=True)
class _SubFramed(_Framed):
    sub_container: int = Chunk.SUB_CONTAINER
    sub_end_word: Override = None  # default: sub-container end offset
    index: Index = field(default_factory=Index)

    def _write_sub(self, w: Writer, ctx: _Context, items, payload: int) -> None:
        w.u32(self.sub_container)
        sub_off = w.reserve_u32()
        entries = _write_decls(w, ctx, items)
        w.mark(f"{self.name}.sub_end")
        w.patch_u32(sub_off, _resolve(self.sub_end_word, w.pos))
        w.mark(f"{self.name}.index")
        self.index.write(w, entries, payload)


@dataclass
class TypeSection(_SubFramed):
    decls: Sequence = ()
    name: str = "type"

    def write(self, w: Writer, ctx: _Context) -> None:
        end = self._open(w, Chunk.SECTION_TYPE)
        self._write_sub(w, ctx, self.decls, 4)
        self._close(w, end)


@dataclass
class SweepSection(_Framed):
    decls: Sequence = ()
    name: str = "sweep"

    def write(self, w: Writer, ctx: _Context) -> None:
        end = self._open(w, Chunk.SECTION_SWEEP)
        _write_decls(w, ctx, self.decls)
        self._close(w, end)


@dataclass
class TraceSection(_SubFramed):
    decls: Sequence = ()
    name: str = "trace"

    def write(self, w: Writer, ctx: _Context) -> None:
        end = self._open(w, Chunk.SECTION_TRACE)
        self._write_sub(w, ctx, self.decls, 12)
        self._close(w, end)


@dataclass
class ValueSection(_SubFramed):
    """The VALUE section. Its items are value declarations (non-swept), records
    (simple) or frames and padding (windowed); the sub-container and index are
    written when `nonswept` is true, by default when the file's layout is NONSWEPT."""

    items: Sequence = ()
    nonswept: bool | None = None
    section_end: int | None = Chunk.SECTION_END  # None: no closing word
    name: str = "value"

    def write(self, w: Writer, ctx: _Context) -> None:
        end = self._open(w, Chunk.SECTION_VALUE)
        w.mark(f"{self.name}.body")
        nonswept = ctx.layout == Layout.NONSWEPT if self.nonswept is None else self.nonswept
        if nonswept:
            self._write_sub(w, ctx, self.items, 4)
        else:
            _write_decls(w, ctx, self.items)
        w.mark(f"{self.name}.end")
        w.patch_u32(end, _resolve(self.end_word, w.pos + 4))
        if self.section_end is not None:
            w.u32(self.section_end)


def _section(cls, content):
    if content is None or isinstance(content, (_Framed, Raw, Mark)):
        return content
    return cls(decls=content) if cls is not ValueSection else cls(items=content)


@dataclass
class PsfFile:
    """A whole file: first word, HEADER, the sections, `trailer`, `footer`.

    `types`, `sweeps`, `traces`, `values` are item lists (or section objects)
    written in this order when not None; `sections` replaces them by any list
    of sections, `Raw` and `Mark`, in any order."""

    layout: int = Layout.EMPTY
    header: Sequence = ()
    types: Any = None
    sweeps: Any = None
    traces: Any = None
    values: Any = None
    sections: Sequence | None = None
    first_word: int | None = None
    header_container: int = Chunk.CONTAINER
    header_end_word: Override = None
    trailer: bytes = b""
    footer: bytes = FOOTER

    def build(self) -> tuple[bytes, dict[str, int]]:
        """The bytes and the offsets. Automatic marks: header, header.end,
        <section>, <section>.end (container end offset), <section>.sub_end,
        <section>.index (sections: type, sweep, trace, value), value.body,
        footer, size."""
        w = Writer()
        ctx = _Context(self.layout)
        w.u32(self.layout if self.first_word is None else self.first_word)
        w.mark("header").u32(self.header_container)
        end = w.reserve_u32()
        _write_props(w, ctx, self.header)
        w.mark("header.end")
        w.patch_u32(end, _resolve(self.header_end_word, w.pos + 4))
        sections = self.sections
        if sections is None:
            sections = [_section(cls, content) for cls, content in (
                (TypeSection, self.types), (SweepSection, self.sweeps),
                (TraceSection, self.traces), (ValueSection, self.values))]
        for s in sections:
            if s is not None:
                s.write(w, ctx)
        w.raw(self.trailer).mark("footer").raw(self.footer).mark("size")
        return w.to_bytes(), w.marks

    def to_bytes(self) -> bytes:
        return self.build()[0]


# ---------------------------------------------------------------------------
# Realistic files


@dataclass
class Expected:
    """What a reader must return for a file: header dict, (name, array) pairs
    for sweeps and traces, (name, Python value) pairs for values."""

    header: dict
    sweeps: list[tuple[str, np.ndarray]] = field(default_factory=list)
    traces: list[tuple[str, np.ndarray]] = field(default_factory=list)
    values: list[tuple[str, Any]] = field(default_factory=list)


def _bits(*patterns: int) -> np.ndarray:
    return np.array(patterns, dtype=np.uint64).view(np.float64)


# Samples a reader must hand over unchanged: a NaN with a payload, a signalling
# NaN, a negative NaN, -0.0, both infinities, the smallest subnormal.
SPECIAL = _bits(0x7FF8_0000_DEAD_BEEF, 0x7FF0_0000_0000_0001, 0xFFF8_0000_0000_0000,
                0x8000_0000_0000_0000, 0x7FF0_0000_0000_0000, 0xFFF0_0000_0000_0000,
                0x0000_0000_0000_0001)


def _with_special(x: np.ndarray, at: int = 1) -> np.ndarray:
    x = x.copy()
    flat = x.reshape(-1).view(np.uint64)
    k = min(len(SPECIAL), max(0, len(flat) - at))
    flat[at:at + k] = SPECIAL.view(np.uint64)[:k]
    return x


def _header(analysis: str, points: int, extra=()) -> list[tuple[str, Any]]:
    return [("PSFversion", "1.00"), ("BINPSF creation time", "2024-03-01 10:12:45"),
            ("analysis type", analysis), ("PSF sweep points", points),
            ("temperature", 27.0), ("tnom", 27.0), *extra]


def _struct_array(names: Sequence[str], samples: np.ndarray) -> np.ndarray:
    dt = np.dtype([(n, "<f8") for n in names])
    return np.ascontiguousarray(samples, dtype=np.float64).view(dt).reshape(-1)


T_REAL, T_CPLX = 0x10, 0x11


def ac_analysis(points: int = 41) -> tuple[PsfFile, Expected]:
    """Simple layout: sweep freq, complex traces in a group, one real trace;
    records interleaved point by point."""
    freq = np.logspace(0, 9, points)
    rng = np.random.default_rng(1)
    clean = rng.normal(size=points) + 1j * rng.normal(size=points)
    out = _with_special(clean)
    inp = np.full(points, 1 + 0j)
    inp.imag[:] = -0.0
    ivdd = rng.normal(scale=1e-6, size=points) * np.exp(1j * np.linspace(0, 3, points))
    phase = _with_special(np.angle(clean), at=3)
    traces = [("V(out)", 101, out), ("V(in)", 102, inp), ("I(vdd:p)", 103, ivdd),
              ("phase(out)", 104, phase)]
    f = PsfFile(
        Layout.SIMPLE,
        header=_header("ac", points, [("PSF traces", len(traces)), ("reltol", 1e-3)]),
        types=[TypeDecl(T_REAL, "freq_t", Tag.FLOAT64, props=[("key", "freq"), ("units", "Hz")]),
               TypeDecl(T_CPLX, "V", Tag.COMPLEX, props=[("units", "V")]),
               TypeDecl(0x12, "I", Tag.COMPLEX, props=[("units", "A")]),
               TypeDecl(0x13, "deg", Tag.FLOAT64)],
        sweeps=[Decl(1, "freq", T_REAL, props=[("plot", 0), ("grid", 1)])],
        traces=[Group(100, "signals", [Decl(101, "V(out)", T_CPLX), Decl(102, "V(in)", T_CPLX),
                                       Decl(103, "I(vdd:p)", 0x12)]),
                Decl(104, "phase(out)", 0x13, props=[("units", "deg")])],
        values=[rec for i in range(points) for rec in
                [Record(1, freq[i])] + [Record(tid, data[i]) for _, tid, data in traces]],
    )
    return f, Expected(dict(f.header), [("freq", freq)], [(n, d) for n, _, d in traces])


def dc_sweep(points: int = 31) -> tuple[PsfFile, Expected]:
    """Simple layout: a real sweep and real traces, written trace by trace
    (all sweep records first), not point by point."""
    vin = np.linspace(-1.0, 1.0, points)
    vout = _with_special(np.tanh(3 * vin))
    ivdd = -1e-3 * vin * vin
    f = PsfFile(
        Layout.SIMPLE,
        header=_header("dc", points, [("PSF sweep min", -1.0), ("PSF sweep max", 1.0)]),
        types=[TypeDecl(7, "V", Tag.FLOAT64, props=[("units", "V")]),
               TypeDecl(8, "I", Tag.FLOAT64, props=[("units", "A")])],
        sweeps=[Decl(10, "vin", 7)],
        traces=[Decl(20, "out", 7), Decl(21, "vdd:p", 8)],
        values=[Record(10, x) for x in vin] + [Record(20, x) for x in vout]
               + [Record(21, x) for x in ivdd],
    )
    return f, Expected(dict(f.header), [("vin", vin)], [("out", vout), ("vdd:p", ivdd)])


def transient(points: int = 1000, window: int = 64) -> tuple[PsfFile, Expected]:
    """Windowed layout: time and three real traces; padding before the first
    frame and between frames; the last frame is partial when `points` is not a
    multiple of `window`."""
    time = np.linspace(0.0, 1e-6, points)
    series = [time, _with_special(np.sin(2e7 * time)), np.cos(3e7 * time) * 1e-3,
              np.where(time > 5e-7, 1.8, 0.0)]
    names = ["V(in)", "I(vdd)", "V(clk)"]
    items: list = [Padding(24)]
    for k, start in enumerate(range(0, points, window)):
        items.append(Frame([s[start:start + window] for s in series], window_size=window))
        items.append(Padding(8 * (k % 3)))
    f = PsfFile(
        Layout.WINDOWED,
        header=_header("tran", points, [("PSF window size", 8 * window), ("stop", 1e-6)]),
        types=[TypeDecl(1, "s", Tag.FLOAT64, props=[("units", "s")]),
               TypeDecl(2, "V", Tag.FLOAT64), TypeDecl(3, "A", Tag.FLOAT64)],
        sweeps=[Decl(50, "time", 1)],
        traces=[Group(60, "all", [Decl(61, names[0], 2), Decl(62, names[1], 3)]),
                Decl(63, names[2], 2)],
        values=items,
    )
    return f, Expected(dict(f.header), [("time", time)], list(zip(names, series[1:])))


NOISE_MEMBERS = {"M1": ["id", "fn", "rd", "total"], "R1": ["rn"]}


def noise(points: int = 21) -> tuple[PsfFile, Expected]:
    """Simple layout: sweep freq, a real output trace and struct traces of float64
    members (one contribution per member)."""
    freq = np.logspace(1, 7, points)
    rng = np.random.default_rng(7)
    out = rng.random(points) * 1e-9
    structs = {name: _with_special(rng.random((points, len(members))) * 1e-18, at=2)
               for name, members in NOISE_MEMBERS.items()}
    f = PsfFile(
        Layout.SIMPLE,
        header=_header("noise", points, [("noise output", "out")]),
        types=[TypeDecl(1, "freq", Tag.FLOAT64),
               TypeDecl(2, "V2/Hz", Tag.FLOAT64),
               TypeDecl(3, "mos_noise", Tag.STRUCT,
                        [TypeDecl(0, m, Tag.FLOAT64, props=[("units", "V2/Hz")])
                         for m in NOISE_MEMBERS["M1"]]),
               TypeDecl(4, "res_noise", Tag.STRUCT, [TypeDecl(0, "rn", Tag.FLOAT64)])],
        sweeps=[Decl(1, "freq", 1)],
        traces=[Decl(2, "out", 2), Decl(3, "M1", 3), Decl(4, "R1", 4)],
        values=[rec for i in range(points) for rec in
                (Record(1, freq[i]), Record(2, out[i]), Record(3, structs["M1"][i]),
                 Record(4, structs["R1"][i]))],
    )
    traces = [("out", out)] + [(n, _struct_array(NOISE_MEMBERS[n], s)) for n, s in structs.items()]
    return f, Expected(dict(f.header), [("freq", freq)], traces)


MOS_MEMBERS = [("vgs", Tag.FLOAT64), ("vds", Tag.FLOAT64), ("ids", Tag.FLOAT64),
               ("gm", Tag.FLOAT64), ("region", Tag.INT8)]


def operating_point() -> tuple[PsfFile, Expected]:
    """Non-swept layout: per-device struct values mixing Float64 and an Int8
    region, plain floats, ints, strings and a complex value, partly grouped."""
    nan_payload = float(_bits(0x7FF8_0000_0000_0ABC)[0])
    values = [
        ("M1", 30, {"vgs": 0.9, "vds": 1.2, "ids": 1.5e-4, "gm": 2.1e-3, "region": 2}),
        ("M2", 30, {"vgs": 0.0, "vds": -0.0, "ids": nan_payload, "gm": 0.0, "region": 255}),
        ("R1", 31, {"i": -2.5e-6, "v": 1.25}),
        ("temp", 32, 27.0),
        ("iterations", 33, 4294967295),
        ("status", 34, "converged \u2713"),
        ("zin", 35, complex(50.0, -1e-3)),
        ("vdd", 32, 1.8),
        ("flag", 36, 0),
    ]
    decls = [Decl(200 + i, n, t, v) for i, (n, t, v) in enumerate(values)]
    f = PsfFile(
        Layout.NONSWEPT,
        header=_header("dcOp", 1, [("design", "top"), ("simulator version", "1.2.3")]),
        types=[TypeDecl(30, "mos_op", Tag.STRUCT, [TypeDecl(0, n, t) for n, t in MOS_MEMBERS]),
               TypeDecl(31, "res_op", Tag.STRUCT, [TypeDecl(0, "i", Tag.FLOAT64),
                                                   TypeDecl(0, "v", Tag.FLOAT64)]),
               TypeDecl(32, "float", Tag.FLOAT64), TypeDecl(33, "int", Tag.INT32),
               TypeDecl(34, "str", Tag.STRING), TypeDecl(35, "cplx", Tag.COMPLEX),
               TypeDecl(36, "byte", Tag.INT8)],
        values=[Group(300, "devices", decls[:3], props=[("count", 3)]), *decls[3:]],
    )
    return f, Expected(dict(f.header), values=[(n, v) for n, _, v in values])


REALISTIC = {"ac": ac_analysis, "dc": dc_sweep, "tran": transient, "noise": noise,
             "dcop": operating_point}
