"""A writer of split transient results for the tests: a main file, its data
sibling and its index sibling.

The main file is an ordinary windowed file (written with `psfwriter`) that
stops after TRACE with the VALUE stub and has no footer. The data file is a
sequence of records: generation 1.1 or 1.4 writes one signal record per trace
(blocks of byte planes, each plane raw or FastLZ, or one mode-11 stream per
block; constants; x by reference; a trace equal to the one before it refers to
its y block), generation 0.1 one column record. `fastlz2` is a small greedy
level-2 encoder that uses the far form for distances of 8,192 and more.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Sequence

import numpy as np

from psfwriter import Decl, Group, Layout, PsfFile, Tag, TypeDecl

STUB = bytes.fromhex("0000000400000015ffffffff")
MARK = bytes.fromhex("0807060504030201")
WORDS = {"0.1": (0, 0, 1), "1.1": (0, 1, 1), "1.4": (0, 1, 4)}
TEXT_RECORDS = [("VersionIdent", b"test writer 1.0\0"), ("SubVersion", b"sub 1.0\0"),
                ("size_t = 8", b"size_t = 8"), ("db source version", b"rev 1\0")]


def fastlz2(data: bytes, level: int = 2) -> bytes:
    """A FastLZ stream of `data` (greedy; level 1 has no far form)."""
    out = bytearray()
    lit = bytearray()
    table: dict[bytes, int] = {}
    far_limit = 8192 if level == 1 else 65535 + 8192

    def flush() -> None:
        while lit:
            chunk = lit[:32]
            out.append(len(chunk) - 1)
            out.extend(chunk)
            del lit[:32]

    i, n = 0, len(data)
    while i < n:
        length = dist = 0
        if i + 3 <= n:
            key = data[i:i + 3]
            j = table.get(key)
            table[key] = i
            if j is not None and i - j <= far_limit:
                dist = i - j
                while i + length < n and data[j + length] == data[i + length]:
                    length += 1
                if level == 1:
                    length = min(length, 264)
        if length >= 3:
            flush()
            near = dist <= (8192 if level == 1 else 8191)
            d = dist - 1 if near else 8191
            ctrl_hi = d >> 8
            if length <= 8:
                out.append(((length - 2) << 5) | ctrl_hi)
            else:
                out.append((7 << 5) | ctrl_hi)
                e = length - 9
                while level == 2 and e >= 255:
                    out.append(255)
                    e -= 255
                out.append(e)
            out.append(d & 255)
            if not near:
                out.extend(struct.pack(">H", dist - 8192))
            i += length
        else:
            lit.append(data[i])
            i += 1
    flush()
    if level == 2:
        out[0] |= 0x20
    return bytes(out)


def _block(values: np.ndarray, *, compress: Sequence[int], mode11: bool) -> bytes:
    n = len(values)
    planes = np.ascontiguousarray(values.astype("<f8").view(np.uint8).reshape(n, 8).T)
    if mode11:
        stream = fastlz2(planes.tobytes())
        assert len(stream) < 8 * n, "a mode-11 stream must be shorter than 8 n"
        body = struct.pack("<I", len(stream)) + stream
    else:
        body = b""
        for k, plane in enumerate(planes):
            raw = plane.tobytes()
            stream = fastlz2(raw) if k in compress else raw
            stored = stream if len(stream) < n else raw
            body += struct.pack("<I", len(stored)) + stored
    mode = 0x11 if mode11 else 0x01
    return bytes([2, 1, mode, 8]) + struct.pack("<IIII", 8 * n, 8 * n, 20 + len(body), 20) + body


class _Records:
    def __init__(self) -> None:
        self.out = bytearray()

    def add(self, line: str, payload: bytes, pad_after: bool) -> int:
        at = len(self.out)
        self.out += b"\0" + line.encode() + b"\n\0"
        self.out += bytes(-len(self.out) % 8)
        self.out += payload
        if pad_after:
            self.out += bytes(-len(self.out) % 8)
        return at


@dataclass
class SplitResult:
    """A transient in split form. `mode11` names the traces whose y block is
    one stream; `raw` stores every plane raw, else the planes in `compressed` are
    FastLZ streams where that is shorter."""

    sweep: np.ndarray
    traces: dict[str, np.ndarray]
    generation: str = "1.1"
    mode11: Sequence[str] = ()
    raw: bool = False
    compressed: Sequence[int] = range(8)
    text_records: bool = True
    record_at: list[int] = field(default_factory=list)

    def main_file(self) -> bytes:
        header = [("PSFversion", "1.1"), ("PSF style", 7), ("PSF types", 2), ("PSF sweeps", 1),
                  ("PSF sweep points", 1 if self.generation == "0.1" else 0),
                  ("PSF traces", len(self.traces)), ("PsfTrailerFileNumber", 0),
                  ("PsfTrailerStart", 0), ("PsfEndTableFileNumber", 0), ("analysis type", "tran")]
        decls = [Decl(22 + i, name, 11) for i, name in enumerate(self.traces)]
        return PsfFile(
            layout=Layout.WINDOWED, header=header,
            types=[TypeDecl(10, "sweep", Tag.FLOAT64, props=[("units", "s")]),
                   TypeDecl(11, "V", Tag.FLOAT64, props=[("units", "V")])],
            sweeps=[Decl(20, "time", 10)], traces=[Group(21, "group", decls)],
            trailer=STUB, footer=b"").to_bytes()

    def data_file(self) -> bytes:
        g = self.generation
        r = _Records()
        r.add(f"!ngpsf-{g}:0:ffffffffffffffff:4:20", MARK + struct.pack("<3Q", *WORDS[g]), True)
        if self.text_records and g != "1.4":
            for key, text in TEXT_RECORDS:
                at = len(r.out)
                r.add(f"{key}:0:{at:x}:{len(text):x}:{len(text):x}", text, True)
        n = len(self.sweep)
        self.record_at = []
        if g == "0.1":
            payload = b"".join(np.asarray(v, "<f8").tobytes() for v in [self.sweep, *self.traces.values()])
            at = r.add(f"1:0:ffffffffffffffff:{n:x}:{len(payload):x}", payload, False)
            self.record_at = [at] * len(self.traces)
            return bytes(r.out)
        x_at = x_len = 0
        last_y: tuple[np.ndarray, int, int] | None = None
        for i, (name, y) in enumerate(self.traces.items()):
            at = len(r.out)
            y = np.asarray(y, "<f8")
            constant = bool((y.view(np.uint64) == y.view(np.uint64)[0]).all())
            shared = last_y is not None and np.array_equal(last_y[0].view(np.uint64), y.view(np.uint64))
            yb = b"" if constant or shared else _block(y, compress=() if self.raw else self.compressed,
                                                 mode11=name in self.mode11)
            y_payload = y[:1].tobytes() if constant else yb
            if i == 0:
                xb = _block(np.asarray(self.sweep, "<f8"), compress=() if self.raw else self.compressed,
                            mode11=False)
                fields = f"{len(xb):x}" + ("" if constant else f":{len(yb):x}")
                flags = 0x20 if constant else 0x22
                payload = xb + y_payload
                y_start = None
            else:
                fields = f"{at - x_at:x}.{x_len:x}"
                flags = 0xA0 if constant else 0xA2
                if shared and not constant:
                    flags = 0xAA
                    fields += f":{at - last_y[1]:x}.{last_y[2]:x}"
                elif not constant:
                    fields += f":{len(yb):x}"
                payload = b"" if flags == 0xAA else y_payload
            line = f"3:{i:x}:ffffffffffffffff:{n:x}:{len(payload):x}:{flags:x}:{fields}"
            r.add(line, payload, False)
            payload_at = len(r.out) - len(payload)
            if i == 0:
                x_at, x_len = payload_at, len(xb)
            if flags in (0x22, 0xA2):
                y_start = payload_at + (x_len if i == 0 else 0)
                last_y = (y, y_start, len(yb))
            elif flags != 0xAA:
                last_y = None
            self.record_at.append(at)
        return bytes(r.out)

    def index_file(self) -> bytes:
        n = len(self.sweep)
        lines = [f"*testhsweepcount 26 {n}"]
        for i, (name, y) in enumerate(sorted(self.traces.items())):
            lines.append(f"{name} 0 1 0 0 {self.sweep[-1]!r} {min(y)!r} {max(y)!r} {n} {i} ? 0")
        return b"\x01" * 16 + "\n".join(lines).encode() + b"\n"

    def write(self, directory: Path, name: str = "tran.tran.tran", *, index: bool = True) -> Path:
        main = directory / name
        main.write_bytes(self.main_file())
        suffix = ".dat" if self.generation == "0.1" else ".psfxl"
        (directory / (name + suffix)).write_bytes(self.data_file())
        if index:
            (directory / (name + ".sig")).write_bytes(self.index_file())
        return main
