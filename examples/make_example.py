"""Write the example files beside this script with the tests' psfbin writer.

    python examples/make_example.py

ac.psfbin      an AC analysis in the simple layout: the sweep "freq", the complex
               trace "V(out)" and the struct trace "noise(out)" with one float64
               member per contribution
opinfo.psfbin  a dc operating point (non-swept layout): per-device struct values
               mixing float64 members with an Int8 "region", and a few scalars

The samples come from plain arithmetic on decimal literals only, so the bytes are
the same on every machine; the test suite checks that the committed files still
match what this script writes.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from psfwriter import (Decl, Expected, Group, Layout, PsfFile, Record,  # noqa: E402
                       Tag, TypeDecl)

NOISE_FIELDS = ["M1", "R1", "total"]


def ac_example() -> tuple[PsfFile, Expected]:
    # 1, 2, 5 steps per decade from 10 Hz to 1 GHz.
    freq = [m * 10.0**e for e in range(1, 9) for m in (1.0, 2.0, 5.0)] + [1e9]
    fc = 1e6  # a single-pole low-pass with 20 dB of gain
    vout = [10.0 / complex(1.0, f / fc) for f in freq]
    noise = []
    for f in freq:
        m1 = 4e-17 * (1.0 + 1e4 / f)  # flicker corner at 10 kHz
        r1 = 1.6e-17
        noise.append((m1, r1, m1 + r1))
    header = [("PSFversion", "1.00"), ("analysis type", "ac"), ("analysis name", "ac1"),
              ("PSF sweep points", len(freq)), ("temperature", 27.0)]
    psf = PsfFile(
        Layout.SIMPLE,
        header=header,
        types=[TypeDecl(1, "freq", Tag.FLOAT64, props=[("units", "Hz")]),
               TypeDecl(2, "V", Tag.COMPLEX, props=[("units", "V")]),
               TypeDecl(3, "noise_contrib", Tag.STRUCT,
                        [TypeDecl(0, n, Tag.FLOAT64, props=[("units", "V2/Hz")])
                         for n in NOISE_FIELDS])],
        sweeps=[Decl(10, "freq", 1)],
        traces=[Decl(11, "V(out)", 2), Decl(12, "noise(out)", 3)],
        values=[r for i in range(len(freq))
                for r in (Record(10, freq[i]), Record(11, vout[i]), Record(12, noise[i]))],
    )
    noise_dtype = np.dtype([(n, "<f8") for n in NOISE_FIELDS])
    return psf, Expected(
        dict(header), sweeps=[("freq", np.array(freq))],
        traces=[("V(out)", np.array(vout)),
                ("noise(out)", np.array(noise).view(noise_dtype)[:, 0])])


MOS = [("vgs", Tag.FLOAT64), ("vds", Tag.FLOAT64), ("id", Tag.FLOAT64), ("gm", Tag.FLOAT64),
       ("region", Tag.INT8)]


def opinfo_example() -> tuple[PsfFile, Expected]:
    values = [
        ("M1", 20, {"vgs": 0.75, "vds": 0.9, "id": 1.2e-4, "gm": 1.5e-3, "region": 2}),
        ("M2", 20, {"vgs": 0.75, "vds": 0.9, "id": -1.2e-4, "gm": 1.1e-3, "region": 2}),
        ("M3", 20, {"vgs": 0.2, "vds": 0.05, "id": 3.0e-9, "gm": 8.0e-8, "region": 3}),
        ("R1", 21, {"v": 0.9, "i": 9.0e-5, "pwr": 8.1e-5}),
        ("temp", 22, 27.0),
        ("vdd", 22, 1.8),
        ("iterations", 23, 7),
        ("solver", 24, "direct"),
        ("zin", 25, complex(50.0, -0.25)),
    ]
    decls = [Decl(100 + i, n, t, v) for i, (n, t, v) in enumerate(values)]
    header = [("PSFversion", "1.00"), ("analysis type", "dc"), ("analysis name", "opinfo"),
              ("temperature", 27.0)]
    f = PsfFile(
        Layout.NONSWEPT,
        header=header,
        types=[TypeDecl(20, "mos_op", Tag.STRUCT, [TypeDecl(0, n, t) for n, t in MOS]),
               TypeDecl(21, "res_op", Tag.STRUCT,
                        [TypeDecl(0, n, Tag.FLOAT64) for n in ("v", "i", "pwr")]),
               TypeDecl(22, "float", Tag.FLOAT64), TypeDecl(23, "int", Tag.INT32),
               TypeDecl(24, "string", Tag.STRING), TypeDecl(25, "complex", Tag.COMPLEX)],
        values=[Group(90, "devices", decls[:4]), *decls[4:]],
    )
    return f, Expected(dict(header), values=[(n, v) for n, _, v in values])


EXAMPLES = {"ac.psfbin": ac_example, "opinfo.psfbin": opinfo_example}


def main() -> None:
    for name, make in EXAMPLES.items():
        data = make()[0].to_bytes()
        (HERE / name).write_bytes(data)
        print(f"wrote {HERE / name} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
