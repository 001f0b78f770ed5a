"""Differential check against the test writer: any valid file it lays out
(random layouts, datatypes, sizes, record orders, names, windows, padding)
reads back exactly what was written, bit for bit."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarn
from conftest import check_result
from psfwriter import (Decl, Expected, Frame, Group, Layout, Padding, PsfFile, Record, Tag,
                       TypeDecl)

# Any 64-bit pattern: NaN payloads, signalling NaNs, subnormals, -0.0.
doubles = st.integers(0, 2**64 - 1).map(lambda b: float(np.array(b, np.uint64).view(np.float64)))
names = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=12)
header_values = st.one_of(st.integers(0, 2**31 - 1), doubles, names)


def samples(draw, points: int, width: int) -> np.ndarray:
    bits = draw(st.lists(st.integers(0, 2**64 - 1), min_size=points * width,
                         max_size=points * width))
    return np.array(bits, dtype=np.uint64).view(np.float64).reshape(points, width)


@st.composite
def swept_files(draw):
    windowed = draw(st.booleans())
    points = draw(st.integers(0 if not windowed else 1, 60))
    n = draw(st.integers(1, 5))
    labels = draw(st.lists(names, min_size=n + 1, max_size=n + 1, unique=True))
    # The kind of each trace: 0 real, 1 complex, k >= 2 a struct of k - 1 members.
    kinds = [0] * n if windowed else draw(st.lists(st.integers(0, 4), min_size=n, max_size=n))
    types = [TypeDecl(1, "real", Tag.FLOAT64), TypeDecl(2, "cplx", Tag.COMPLEX)]
    for k in sorted({k for k in kinds if k >= 2}):
        types.append(TypeDecl(k + 1, f"s{k}", Tag.STRUCT,
                              [TypeDecl(0, f"m{j}", Tag.FLOAT64) for j in range(k - 1)]))
    type_of = [1 if k == 0 else 2 if k == 1 else k + 1 for k in kinds]
    width = [1 if k == 0 else 2 if k == 1 else k - 1 for k in kinds]
    sweep = samples(draw, points, 1)
    data = [samples(draw, points, w) for w in width]
    decls = [Decl(100 + i, labels[i + 1], type_of[i]) for i in range(n)]
    if draw(st.booleans()):  # some traces in a group
        cut = draw(st.integers(0, n))
        decls = [Group(99, "grp", decls[:cut])] + decls[cut:] if cut else decls
    if windowed:
        window = draw(st.integers(1, 70))
        items = [Padding(draw(st.integers(0, 3)) * 8)]
        for start in range(0, points, window):
            items.append(Frame([sweep[start:start + window, 0]] +
                               [d[start:start + window, 0] for d in data], window_size=window))
            items.append(Padding(draw(st.integers(0, 2)) * 8))
    else:
        ids = [1] + [100 + i for i in range(n)]
        series = [sweep] + data
        if draw(st.booleans()):  # point by point
            items = [Record(ids[j], point_of(series[j][i], j, kinds)) for i in range(points)
                     for j in range(n + 1)]
        else:  # series by series
            items = [Record(ids[j], point_of(series[j][i], j, kinds)) for j in range(n + 1)
                     for i in range(points)]
    header = draw(st.lists(st.tuples(names, header_values), max_size=4,
                           unique_by=lambda p: p[0]))
    f = PsfFile(Layout.WINDOWED if windowed else Layout.SIMPLE, header=header, types=types,
                sweeps=[Decl(1, labels[0], 1)], traces=decls, values=items)
    expected = Expected(dict(header), [(labels[0], sweep[:, 0].copy())],
                        [(labels[i + 1], as_array(data[i], kinds[i])) for i in range(n)])
    return f, expected


def point_of(row: np.ndarray, j: int, kinds: list[int]):
    return row[0] if j == 0 or kinds[j - 1] == 0 else row


def as_array(d: np.ndarray, kind: int) -> np.ndarray:
    if kind == 0:
        return d[:, 0].copy()
    if kind == 1:
        return np.ascontiguousarray(d).view(np.complex128).reshape(-1)
    dt = np.dtype([(f"m{j}", "<f8") for j in range(kind - 1)])
    return np.ascontiguousarray(d).view(dt).reshape(-1)


@st.composite
def nonswept_files(draw):
    kinds = {Tag.INT32: st.integers(0, 2**32 - 1), Tag.FLOAT64: doubles,
             Tag.COMPLEX: st.tuples(doubles, doubles), Tag.STRING: names}
    chosen = draw(st.lists(st.sampled_from(sorted(kinds)), min_size=0, max_size=8))
    labels = draw(st.lists(names, min_size=len(chosen), max_size=len(chosen), unique=True))
    types = [TypeDecl(int(t), f"t{int(t)}", t) for t in kinds]
    decls, values = [], []
    for i, (tag, label) in enumerate(zip(chosen, labels)):
        v = draw(kinds[tag])
        written = complex(*v) if tag == Tag.COMPLEX else v
        decls.append(Decl(10 + i, label, int(tag), value=written))
        values.append((label, written))
    f = PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcop")], types=types, values=decls)
    return f, Expected({"analysis type": "dcop"}, values=values)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(swept_files(), nonswept_files()))
def test_written_files_read_back_exactly(tmp_path_factory, case):
    f, expected = case
    path = tmp_path_factory.mktemp("rt") / "f.psfbin"
    path.write_bytes(f.to_bytes())
    check_result(quarn.read_psf(str(path)), expected)
