"""The text form through the package: a binary file read, written as text with 17
significant digits, and read again gives the same result bit for bit."""

import numpy as np
import pytest

import quarn
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl, ValueSection
from textwriter import write_text

REAL, CPLX, ST3, INT, STR, OP = 11, 12, 13, 14, 15, 16
TYPES = [TypeDecl(REAL, "real", Tag.FLOAT64), TypeDecl(CPLX, "cplx", Tag.COMPLEX),
         TypeDecl(ST3, "st3", Tag.STRUCT, [TypeDecl(0, n, Tag.FLOAT64) for n in "abc"]),
         TypeDecl(INT, "int", Tag.INT32), TypeDecl(STR, "str", Tag.STRING),
         TypeDecl(OP, "op", Tag.STRUCT, [TypeDecl(0, "v", Tag.FLOAT64),
                                         TypeDecl(0, "n", Tag.INT32)])]
HEADER = [("analysis type", "test"), ("n", 7), ("tol", 1.0), ("tiny", 5e-324),
          ('q"uote\\', 'a "b" \\c')]
# Awkward doubles: subnormals, -0.0, extremes, values 17 digits tell apart.
ODD = [0.1, -0.0, 5e-324, 1.7976931348623157e308, -2.2250738585072014e-308, 1 / 3,
       0.30000000000000004, float("inf"), -float("inf"), 123456789.0]


def swept(points: int) -> PsfFile:
    rng = np.random.default_rng(points)
    bits = rng.integers(0, 2**63, size=(points, 6), dtype=np.uint64)
    rows = bits.view(np.float64)
    rows[~np.isfinite(rows)] = 0.5
    rows[: min(points, len(ODD)), 0] = ODD[:points]
    records = []
    for r in rows:
        records += [Record(1, float(r[0])), Record(2, float(r[1])), Record(3, r[1:3]),
                    Record(4, r[3:6])]
    return PsfFile(Layout.SIMPLE, header=HEADER, types=TYPES,
                   sweeps=[Decl(1, "x", REAL)],
                   traces=[Decl(2, "x", REAL), Decl(3, "V1:p", CPLX), Decl(4, "M1", ST3)],
                   values=ValueSection(records))


def nonswept() -> PsfFile:
    values = [Decl(20 + k, f"r{k}", REAL, v) for k, v in enumerate(ODD)]
    values += [Decl(40, "c", CPLX, [1e-300, -0.0]), Decl(41, "i", INT, 2**32 - 1),
               Decl(42, "s", STR, 'say "hi" \\ there é'), Decl(43, "op", OP, {"v": 0.1, "n": 3}),
               Decl(44, "c", REAL, 2.5)]
    return PsfFile(Layout.NONSWEPT, header=HEADER, types=TYPES, values=ValueSection(values))


def same(a, b) -> bool:
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return type(b) is float and np.float64(a).tobytes() == np.float64(b).tobytes()
    if isinstance(a, complex):
        return type(b) is complex and same(a.real, b.real) and same(a.imag, b.imag)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("make", [lambda: swept(0), lambda: swept(1), lambda: swept(300),
                                  nonswept], ids=["swept0", "swept1", "swept300", "nonswept"])
def test_binary_text_read_equals_binary_read(tmp_path, make):
    binary = tmp_path / "r.bin"
    binary.write_bytes(make().build()[0])
    first = quarn.read_psf(binary)
    text = tmp_path / "r.txt"
    text.write_bytes(write_text(first))
    second = quarn.read_psf(text)
    assert same(first.header, second.header)
    for a_list, b_list in ((first.sweeps, second.sweeps), (first.traces, second.traces),
                           (first.values, second.values)):
        assert [x.name for x in a_list] == [x.name for x in b_list]
        for a, b in zip(a_list, b_list):
            assert same(a.data, b.data), a.name


def test_text_failure_is_the_text_readers(tmp_path):
    path = tmp_path / "cut.ac"
    path.write_bytes(b'HEADER\n"a" 1\nTYPE\n')
    with pytest.raises(ValueError, match=r"^line 4, column 1: file ends before END$") as info:
        quarn.read_psf(path)
    assert not getattr(info.value, "__notes__", None)
    assert info.value.__context__ is None


def test_every_entry_point_reads_the_text_form(tmp_path):
    xr = pytest.importorskip("xarray")
    binary = tmp_path / "r.bin"
    binary.write_bytes(swept(50).build()[0])
    first = quarn.read_psf(binary)
    text = tmp_path / "r.txt"
    text.write_bytes(write_text(first))
    [many] = quarn.read_many([text], errors="return")
    assert same(many.traces[1].data, first.traces[1].data)
    assert same(quarn.read_header(text), first.header)
    with quarn.open_psf(text) as f:
        assert same(f.read("V1:p", 3, 9), first.traces[1].data[3:9])
        assert same(f["x (trace)"], first.traces[0].data)
        picked = f.select(["M1"])
        assert [t.name for t in picked.traces] == ["M1"]
        assert same(picked.traces[0].data, first.traces[2].data)
    ds = xr.open_dataset(text)  # told by content, not by name
    assert same(ds["V1:p"].values, first.traces[1].data)
    ds.close()
