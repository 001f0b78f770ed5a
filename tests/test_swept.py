"""Samples of sweeps and traces: the simple record layout and the windowed frame layout."""

import random

import numpy as np
import pytest

from psfwriter import (FOOTER, JUNK8, Decl, Frame, Group, Layout, Mark, Padding, PsfFile, Raw,
                       Record, Tag, TypeDecl, ValueSection, Writer)

REAL, CPLX, ST3, ST2 = 11, 12, 13, 14
TYPES = [TypeDecl(REAL, "real", Tag.FLOAT64), TypeDecl(CPLX, "cplx", Tag.COMPLEX),
         TypeDecl(ST3, "st3", Tag.STRUCT, [TypeDecl(0, n, Tag.FLOAT64) for n in "abc"]),
         TypeDecl(ST2, "st2", Tag.STRUCT, [TypeDecl(0, n, Tag.FLOAT64) for n in "ab"])]


def words(*ws: int) -> bytes:
    w = Writer()
    for v in ws:
        w.u32(v)
    return w.to_bytes()


def swept(layout, values, sweeps=((1, REAL),), traces=(), **section) -> PsfFile:
    """A file with sweeps "s1"... and traces "t<id>" of the given (id, type id)."""
    return PsfFile(layout, header=[("analysis type", "test")], types=TYPES,
                   sweeps=[Decl(i, f"s{i}", t) for i, t in sweeps] if sweeps else None,
                   traces=[Decl(i, f"t{i}", t) for i, t in traces] if traces else None,
                   values=ValueSection(values, **section))


def data_of(psf) -> dict:
    return {x.name: x.data for x in psf.sweeps + psf.traces}


# --- simple records ------------------------------------------------------------------

SIMPLE_TRACES = [(2, REAL), (3, CPLX), (4, ST3)]


def test_simple_without_records(read):
    d = data_of(read(swept(Layout.SIMPLE, [], traces=SIMPLE_TRACES)))
    assert {k: (v.dtype.str, v.dtype.names, v.shape) for k, v in d.items()} == {
        "s1": ("<f8", None, (0,)), "t2": ("<f8", None, (0,)), "t3": ("<c16", None, (0,)),
        "t4": ("|V24", ("a", "b", "c"), (0,))}


def test_simple_records_point_by_point(read):
    records = [r for i in range(3) for r in
               (Record(1, float(i)), Record(2, 10.0 + i), Record(3, complex(i, -i)))]
    data, at = swept(Layout.SIMPLE, records, traces=SIMPLE_TRACES[:2]).build()
    assert at["value.end"] - at["value.body"] == 168
    d = data_of(read(data))
    assert d["s1"].tolist() == [0.0, 1.0, 2.0]
    assert d["t2"].tolist() == [10.0, 11.0, 12.0]
    assert d["t3"].tolist() == [0j, 1 - 1j, 2 - 2j]


def test_simple_struct_records(read):
    rows = np.arange(15.0).reshape(5, 3)
    d = data_of(read(swept(Layout.SIMPLE, [Record(4, r) for r in rows], traces=[(4, ST3)])))
    t = d["t4"]
    assert t.shape == (5,) and t.dtype.itemsize == 24
    assert [t[n].tolist() for n in "abc"] == [rows[:, 0].tolist(), rows[:, 1].tolist(),
                                              rows[:, 2].tolist()]


def test_simple_records_in_any_interleaving(read, bits):
    rng = random.Random(3)
    want = {1: np.arange(7.0), 2: np.linspace(-1, 1, 5),
            3: np.arange(9.0) * (1 - 2j), 4: np.arange(12.0).reshape(4, 3) + 0.5}
    queues = {k: list(v) for k, v in want.items()}
    records = []
    while any(queues.values()):  # take the next point of a random declaration
        k = rng.choice([k for k, q in queues.items() if q])
        records.append(Record(k, queues[k].pop(0)))
    d = data_of(read(swept(Layout.SIMPLE, records, traces=SIMPLE_TRACES)))
    for k, name in ((1, "s1"), (2, "t2"), (3, "t3"), (4, "t4")):
        assert np.array_equal(bits(d[name]), bits(want[k]))


def test_simple_records_naming_only_the_sweep(read):
    d = data_of(read(swept(Layout.SIMPLE, [Record(1, 1.0), Record(1, 2.0)], traces=[(2, REAL)])))
    assert d["s1"].tolist() == [1.0, 2.0] and d["t2"].shape == (0,)


@pytest.mark.parametrize("bad", [77, 90])  # undeclared; the id of a group
def test_simple_record_of_unknown_declaration(error, bad):
    f = swept(Layout.SIMPLE, [Record(1, 1.0), Record(bad, 2.0)])
    f.traces = [Group(90, "g", [Decl(2, "t", REAL)])]
    assert error(f) == f"value record references unknown declaration {bad}"


@pytest.mark.parametrize("item, got", [(Padding(8), 20), (Record(1, 2.0, chunk=17), 17),
                                       (Raw(words(0)), 0)])
def test_simple_record_with_wrong_chunk_word(error, item, got):
    data, at = swept(Layout.SIMPLE, [Record(1, 1.0), Mark("bad"), item, Record(1, 3.0)]).build()
    assert error(data) == f"expected chunk Declaration (16) at offset {at['bad']}, got {got}"


@pytest.mark.parametrize("trace, size", [((2, CPLX), 16), ((2, ST2), 16), ((2, ST3), 24)])
def test_simple_point_cut_by_end_of_file(error, trace, size):
    f = swept(Layout.SIMPLE, [Record(1, 1.0), Raw(words(16, 2)), Mark("cut")], traces=[trace])
    data, at = f.build()
    data = data[:at["cut"]] + FOOTER
    assert error(data) == (f"unexpected end of file: skip {size} bytes at offset {at['cut']} "
                           f"(len {len(data)})")


def test_simple_record_running_past_the_container_end(error):
    f = swept(Layout.SIMPLE, [Record(1, 1.0), Record(1, 2.0)], end_word=lambda v: v - 4)
    data, at = f.build()
    assert error(data) == (f"VALUE container end mismatch: at offset {at['value.end']} "
                           f"but expected {at['value.end'] - 4}")


# --- windowed frames -----------------------------------------------------------------


@pytest.mark.parametrize("sweeps, found", [((), 0), (((1, REAL), (2, REAL)), 2),
                                           (((1, REAL), (1, REAL)), 2)])
def test_windowed_needs_exactly_one_sweep(error, sweeps, found):
    # Checked before anything of the body is read.
    f = swept(Layout.WINDOWED, [Raw(b"\xff" * 12)], sweeps=sweeps, traces=[(5, REAL)])
    assert error(f) == f"WINDOWED value section requires exactly one sweep, found {found}"


@pytest.mark.parametrize("sweep, traces, message", [
    (CPLX, [(2, REAL)], "windowed complex value layout is not supported (trace 's1')"),
    (REAL, [(2, REAL), (3, CPLX), (4, ST2)],
     "windowed complex value layout is not supported (trace 't3')"),
    (REAL, [(2, ST3), (3, CPLX)], "windowed struct value layout is not supported (trace 't2')"),
    (ST2, [], "windowed struct value layout is not supported (trace 's1')"),
])
def test_windowed_refuses_complex_and_struct_series(error, sweep, traces, message):
    f = swept(Layout.WINDOWED, [Raw(b"\xff" * 12)], sweeps=[(1, sweep)], traces=traces)
    assert error(f) == message


def test_windowed_frame_layout(read):
    frame = Frame([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]], window_size=4)
    data, at = swept(Layout.WINDOWED, [frame], traces=[(2, REAL), (3, REAL)]).build()
    assert at["value.end"] - at["value.body"] == 120  # 8 * 3 ids * (W + 1)
    d = data_of(read(data))
    assert [d[n].tolist() for n in ("s1", "t2", "t3")] == [[1, 2, 3], [4, 5, 6], [7, 8, 9]]


def test_windowed_frames_padding_and_window_sizes(read, bits):
    s = np.arange(10.0)
    t = np.array([-0.0, np.inf, np.nan, 1e-320, 5, 6, 7, 8, 9, 10])
    items = [Padding(8), Frame([s[:4], t[:4]], window_size=4), Padding(5),
             Frame([[], []], window_size=3),  # no points, still 8 * 2 * 4 bytes
             Frame([s[4:5], t[4:5]], window_size=7), Padding(0),
             Frame([s[5:10], t[5:10]], window_size=5), Padding(0)]
    data, at = swept(Layout.WINDOWED, items, traces=[(2, REAL)]).build()
    d = data_of(read(data))
    assert np.array_equal(bits(d["s1"]), bits(s)) and np.array_equal(bits(d["t2"]), bits(t))


def test_windowed_without_traces(read):
    frames = [Frame([[1.0, 2.0]], window_size=2), Frame([[3.0]], window_size=4)]
    data, at = swept(Layout.WINDOWED, frames).build()
    assert at["value.end"] - at["value.body"] == (8 + 16) + (8 + 32)
    assert data_of(read(data))["s1"].tolist() == [1.0, 2.0, 3.0]


def test_windowed_num_words_above_window_size(error):
    f = swept(Layout.WINDOWED, [Frame([[1.0] * 5, [2.0] * 5], window_size=4)], traces=[(2, REAL)])
    assert error(f) == "windowed frame: num_words 5 > window_size 4"


@pytest.mark.parametrize("item, got", [(Raw(words(21)), 21),
                                       (Frame([[1.0]], chunk=17), 17),
                                       (Record(1, 1.0, chunk=19), 19)])
def test_windowed_frame_with_wrong_chunk_word(error, item, got):
    data, at = swept(Layout.WINDOWED, [Frame([[0.5]]), Mark("bad"), item]).build()
    assert error(data) == f"expected chunk Declaration (16) at offset {at['bad']}, got {got}"


def test_windowed_frame_running_past_the_container_end(error):
    data, at = swept(Layout.WINDOWED, [Frame([[1.0, 2.0]])], end_word=lambda v: v - 8).build()
    assert error(data) == (f"VALUE container end mismatch: at offset {at['value.end']} "
                           f"but expected {at['value.end'] - 8}")


def test_windowed_huge_window(error):
    f = swept(Layout.WINDOWED, [Mark("f"), Raw(words(16) + bytes([255, 255, 0, 0])),
                                Frame([[1.0], [2.0]])], traces=[(2, REAL)])
    data, at = f.build()
    assert error(data) == (f"unexpected end of file: skip 524280 bytes at offset {at['f'] + 8} "
                           f"(len {len(data)})")


def test_windowed_huge_padding(error):
    f = swept(Layout.WINDOWED, [Frame([[1.0]]), Mark("p"), Padding(0xFFFF_FFFF, filler=b""),
                                Frame([[2.0]])])
    data, at = f.build()
    assert error(data) == (f"unexpected end of file: skip 4294967295 bytes at offset {at['p'] + 8} "
                           f"(len {len(data)})")


def test_windowed_samples_cut_by_end_of_file(error):
    # The first sample is the footer magic; the second would start at size - 4.
    f = swept(Layout.WINDOWED, [Raw(words(16) + bytes([0, 3, 0, 3])), Mark("cut")])
    data, at = f.build()
    data = data[:at["cut"]] + FOOTER
    assert error(data) == \
        f"unexpected end of file: need 8 bytes at offset {at['cut'] + 8} (len {len(data)})"


def test_windowed_gap_cut_by_end_of_file(error):
    # One sweep sample, no window padding, then the 8 bytes before the trace's
    # window: only the footer's last 4 bytes are left for them.
    f = swept(Layout.WINDOWED, [Raw(words(16) + bytes([0, 1, 0, 1])), Mark("cut")],
              traces=[(2, REAL)])
    data, at = f.build()
    data = data[:at["cut"]] + FOOTER
    assert error(data) == \
        f"unexpected end of file: skip 8 bytes at offset {at['cut'] + 8} (len {len(data)})"


def test_windowed_window_padding_is_not_examined(read):
    frame = Frame([[1.0], [2.0]], window_size=3, gap=b"\xff" * 8, filler=JUNK8)
    d = data_of(read(swept(Layout.WINDOWED, [frame], traces=[(2, REAL)])))
    assert d["s1"].tolist() == [1.0] and d["t2"].tolist() == [2.0]
