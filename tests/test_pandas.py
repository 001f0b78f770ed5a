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
    want = {f"{trace}.{m}" if m else trace: data[m] if m else data
            for trace, data in expected.traces for m in data.dtype.names or [None]}
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
    for name, value in values.items():
        fields = value if isinstance(value, dict) else {"value": value}
        assert df.loc[name].drop(list(fields)).isna().all(), name
        for column, want in fields.items():  # the "value" column holds the objects themselves
            assert same_value(type(want)(df.at[name, column]), want), (name, column)


def file(layout, types=(), sweeps=None, traces=None, values=None) -> PsfFile:
    return PsfFile(layout, header=[("analysis type", "dc")], types=types, sweeps=sweeps,
                   traces=traces, values=values)


REAL = [TypeDecl(7, "V", Tag.FLOAT64), TypeDecl(8, "C", Tag.COMPLEX)]


@pytest.mark.parametrize("f, index, columns, dtypes, rows", [
    (file(Layout.EMPTY, REAL, [Decl(1, "x", 7)], [Decl(2, "a", 7), Decl(3, "z", 8)]),
     "x", ["a", "z"], ["float64", "complex128"], 0),
    (file(Layout.NONSWEPT), "name", [], [], 0),
    (file(Layout.EMPTY), "name", [], [], 0),
    (file(Layout.SIMPLE, REAL, None, [Decl(2, "a", 7)], [Record(2, 1.0), Record(2, 2.0)]),
     "point", ["a"], ["float64"], 2),
], ids=["declared-no-points", "no-values", "empty", "no-sweep"])
def test_frames_of_results_without_points_or_sweep(read, f, index, columns, dtypes, rows):
    df = quarn.to_pandas(read(f))
    assert (df.index.name, list(df.index)) == (index, list(range(rows)))
    assert list(df.columns) == columns and df.dtypes.astype(str).tolist() == dtypes


def test_missing_cells_are_missing_and_kinds_are_kept(read):
    f = file(Layout.NONSWEPT,
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
