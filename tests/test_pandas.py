"""Results as pandas DataFrames: `quarn.to_pandas`."""

import math

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC, Decl, Layout, PsfFile, Record, Tag, TypeDecl

pd = pytest.importorskip("pandas")


@pytest.mark.parametrize("name", ["ac", "dc", "tran", "noise"])
def test_swept_files_round_trip_bit_for_bit(read, bits, name):
    f, expected = REALISTIC[name]()
    df = quarn.to_pandas(read(f))
    (axis, sweep), = expected.sweeps
    assert df.index.name == axis
    assert np.array_equal(bits(df.index.to_numpy()), bits(sweep))
    want = {}
    for trace, data in expected.traces:
        for member in data.dtype.names or [None]:
            want[trace if member is None else f"{trace}.{member}"] = (
                data if member is None else data[member])
    assert list(df.columns) == list(want)
    for column, data in want.items():
        assert df[column].dtype == data.dtype
        assert np.array_equal(bits(df[column].to_numpy()), bits(data))


def test_operating_point_one_row_per_value(read, same_value):
    f, expected = REALISTIC["dcop"]()
    df = quarn.to_pandas(read(f))
    values = dict(expected.values)
    assert df.index.name == "name" and list(df.index) == list(values)
    assert list(df.columns) == ["vgs", "vds", "ids", "gm", "region", "i", "v", "value"]
    assert df.dtypes.astype(str).tolist() == ["float64"] * 4 + ["Int64", "float64", "float64",
                                                                "object"]
    for column in df.columns:
        for name, value in values.items():
            fields = value if isinstance(value, dict) else {"value": value}
            cell = df.at[name, column]
            if column not in fields:
                assert pd.isna(cell), (name, column)
            elif column == "value":  # an object column: the Python objects themselves
                assert same_value(cell, fields[column]), name
            else:
                assert same_value(type(fields[column])(cell), fields[column]), (name, column)


def swept_file(points: int, traces=()) -> PsfFile:
    return PsfFile(Layout.EMPTY if not points else Layout.SIMPLE, header=[("analysis type", "dc")],
                   types=[TypeDecl(7, "V", Tag.FLOAT64), TypeDecl(8, "C", Tag.COMPLEX)],
                   sweeps=[Decl(1, "x", 7)],
                   traces=[Decl(2 + i, n, t) for i, (n, t) in enumerate(traces)],
                   values=[Record(1, float(k)) for k in range(points)] or None)


@pytest.mark.parametrize("f, index, columns, dtypes", [
    (swept_file(0, [("a", 7), ("z", 8)]), "x", ["a", "z"], ["float64", "complex128"]),
    (PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcOp")]), "name", [], []),
    (PsfFile(Layout.EMPTY, header=[("analysis type", "dcOp")]), "name", [], []),
])
def test_empty_results_give_empty_frames(read, f, index, columns, dtypes):
    df = quarn.to_pandas(read(f))
    assert len(df) == 0 and df.index.name == index
    assert list(df.columns) == columns
    assert df.dtypes.astype(str).tolist() == dtypes


def test_a_trace_named_like_a_member_column_is_refused(read):
    f, _ = REALISTIC["noise"]()
    f.traces[0].name = "M1.rd"
    with pytest.raises(ValueError, match=r"two columns named 'M1\.rd'"):
        quarn.to_pandas(read(f))


def test_missing_cells_are_missing_and_kinds_are_kept(read):
    f = PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcOp")],
                types=[TypeDecl(1, "a", Tag.STRUCT, [TypeDecl(0, "n", Tag.INT32),
                                                     TypeDecl(0, "z", Tag.COMPLEX),
                                                     TypeDecl(0, "s", Tag.STRING)]),
                       TypeDecl(2, "b", Tag.STRUCT, [TypeDecl(0, "f", Tag.FLOAT64)]),
                       TypeDecl(3, "int", Tag.INT32)],
                values=[Decl(10, "a", 1, {"n": 1, "z": 1j, "s": "on"}),
                        Decl(11, "b", 2, {"f": -0.0}), Decl(12, "c", 3, 2)])
    df = quarn.to_pandas(read(f))
    assert list(df.columns) == ["n", "z", "s", "f", "value"]
    assert [str(df[c].dtype) for c in ["n", "z", "f", "value"]] == [
        "Int64", "complex128", "float64", "Int64"]
    assert df.isna().to_numpy().tolist() == [[False, False, False, True, True],
                                             [True, True, True, False, True],
                                             [True, True, True, True, False]]
    assert df.at["a", "s"] == "on" and df.at["a", "z"] == 1j and df.at["c", "value"] == 2
    assert math.copysign(1, df.at["b", "f"]) == -1
