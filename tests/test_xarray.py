"""Results as xarray Datasets: `xr.open_dataset(path, engine="quarn")` and `quarn.to_xarray`."""

import io
import os

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC, Decl, Layout, PsfFile, Record, Tag, TypeDecl

xr = pytest.importorskip("xarray")

@pytest.fixture
def write(tmp_path):
    def write(f, name="result.psfbin"):
        (tmp_path / name).write_bytes(f.to_bytes() if isinstance(f, PsfFile) else f)
        return tmp_path / name
    return write


def small(traces) -> PsfFile:
    """Real traces given as (name, samples) over a sweep "x" of 3 points."""
    records = [Record(1, v) for v in (0.0, 1.0, 2.0)]
    records += [Record(2 + i, v) for i, (_, samples) in enumerate(traces) for v in samples]
    return PsfFile(Layout.SIMPLE, header=[("analysis type", "dc")],
                   types=[TypeDecl(7, "V", Tag.FLOAT64)], sweeps=[Decl(1, "x", 7)],
                   traces=[Decl(2 + i, n, 7) for i, (n, _) in enumerate(traces)], values=records)


@pytest.mark.parametrize("name", ["ac", "dc", "tran", "noise"])
def test_swept_files_round_trip_bit_for_bit_and_zero_copy(write, bits, name):
    f, expected = REALISTIC[name]()
    path = write(f, f"result.{name}")
    psf = quarn.read_psf(path)
    ds = quarn.to_xarray(psf)
    opened = xr.open_dataset(path, engine="quarn")
    # Attributes included: the declarations' properties reach both the same way.
    xr.testing.assert_identical(opened, ds)
    assert ds.attrs == expected.header
    assert [type(v) for v in ds.attrs.values()] == [type(v) for v in expected.header.values()]

    (axis, sweep), = expected.sweeps
    assert np.array_equal(bits(ds.indexes[axis].to_numpy()), bits(sweep))
    assert np.shares_memory(ds[axis].values, psf.sweeps[0].data)
    assert list(ds.data_vars) == [n for n, _ in expected.traces]
    for (trace, want), got in zip(expected.traces, psf.traces):
        var, members = ds[trace], want.dtype.names
        if members:  # (points, members) over the members' own dimension
            assert var.dims == (axis, f"{trace}_member") and var.dtype == np.float64
            assert list(var[f"{trace}_member"].values) == list(members)
        else:
            assert var.dims == (axis,) and var.dtype == want.dtype
        assert np.array_equal(bits(var.values), bits(want))
        assert np.shares_memory(var.values, got.data)
        # Through the backend too the memory is the parser's: no NumPy array owns it.
        base = opened[trace].values
        while isinstance(base, np.ndarray) and base.base is not None:
            base = base.base
        assert not isinstance(base, np.ndarray)


def test_operating_point_groups_struct_values_by_member_list(write, bits):
    f, expected = REALISTIC["dcop"]()
    ds = xr.open_dataset(write(f), engine="quarn")
    want = dict(expected.values)
    groups = {"mos_op": ["M1", "M2"], "res_op": ["R1"]}  # named after the device kind
    assert {d: list(ds[d].values) for d in ds.dims} == groups
    for dim, names in groups.items():
        for member, first in want[names[0]].items():
            var = ds[f"{dim}.{member}"]
            assert var.dims == (dim,)
            assert var.dtype == {int: np.int64, float: np.float64}[type(first)]
            assert np.array_equal(bits(var.values.astype(np.float64)),
                                  bits(np.array([want[n][member] for n in names], dtype=float)))
    scalars = {n: v for n, v in want.items() if not isinstance(v, dict)}
    assert {n: (ds[n].dims, ds[n].item()) for n in scalars} == {
        n: ((), v) for n, v in scalars.items()}
    assert [ds[n].dtype.kind for n in scalars] == ["f", "i", "U", "c", "f", "i"]
    assert ds.attrs == expected.header


@pytest.mark.parametrize("convert", ["engine", "to_xarray", "to_pandas"])
@pytest.mark.parametrize("traces, message", [
    ([("ok", [1.0, 2.0, 3.0]), ("out", [1.0, 2.0])],
     "trace 'out' has 2 points, but the sweep 'x' has 3"),
    ([("out", [1.0, 2.0, 3.0, 4.0]), ("ok", [1.0, 2.0, 3.0])],
     "trace 'out' has 4 points, but the sweep 'x' has 3"),
    ([("out", [1.0, 2.0, 3.0]), ("out", [4.0, 5.0, 6.0])], "two (variables|columns) named 'out'"),
])
def test_results_a_table_cannot_hold_are_refused(write, convert, traces, message):
    path = write(small(traces))
    with pytest.raises(ValueError, match=message):
        if convert == "engine":
            xr.open_dataset(path, engine="quarn")
        else:
            getattr(quarn, convert)(quarn.read_psf(path))
    if convert == "engine":  # dropping the culprit reads the rest
        ds = xr.open_dataset(path, engine="quarn", drop_variables="out")
        assert list(ds.data_vars) == [n for n, _ in traces if n != "out"]


@pytest.mark.parametrize("name, drop", [
    ("noise", "M1"), ("noise", ["out", "R1"]), ("ac", ["V(in)", "no such variable"]),
    ("dcop", ["mos_op.gm", "temp"]),
])
def test_drop_variables(write, name, drop):
    path = write(REALISTIC[name]()[0])
    ds = xr.open_dataset(path, engine="quarn", drop_variables=drop)
    full = quarn.to_xarray(quarn.read_psf(path))
    kept = [v for v in full.data_vars if v not in ({drop} if isinstance(drop, str) else drop)]
    assert list(ds.data_vars) == kept
    assert set(ds.dims) == {d for v in ds.variables.values() for d in v.dims}


@pytest.mark.parametrize("name", ["noise", "dcop"])
def test_chunks_give_dask_arrays_of_the_same_values(write, name):
    path = write(REALISTIC[name]()[0])
    lazy = xr.open_dataset(path, engine="quarn", chunks={})
    # xarray leaves 0-d variables (scalar values) as they are.
    assert all(type(v.data).__module__.startswith("dask")
               for v in lazy.data_vars.values() if v.ndim)
    xr.testing.assert_identical(lazy.compute(), xr.open_dataset(path, engine="quarn"))


def test_guess_can_open_reads_the_footer_not_the_suffix(write, tmp_path):
    entry = xr.backends.list_engines()["quarn"]
    renamed = write(REALISTIC["ac"]()[0], "result.tran")
    os.mkfifo(tmp_path / "fifo")
    candidates = {
        renamed: True, str(renamed): True,
        write(b"HEADER\n\"PSFversion\" \"1.00\"\n", "result.psfbin"): True,  # the text form
        write(b"Clarissa", "short.psfbin"): False,
        write(renamed.read_bytes()[:-4], "cut.psfbin"): False,
        tmp_path / "missing.psfbin": False, tmp_path: False, tmp_path / "fifo": False,
        "bad\0path": False, io.BytesIO(renamed.read_bytes()): False, 42: False, None: False,
    }
    assert {k: entry.guess_can_open(k) for k in candidates} == candidates
    # With no engine named, xarray asks every engine and finds this one.
    xr.testing.assert_identical(xr.open_dataset(renamed),
                                xr.open_dataset(renamed, engine="quarn"))
