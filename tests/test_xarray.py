"""Results as xarray Datasets: `xr.open_dataset(path, engine="quarn")` and `quarn.to_xarray`."""

import io
import os
import pathlib

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC, Decl, Layout, PsfFile, Record, Tag, TypeDecl

xr = pytest.importorskip("xarray")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SWEPT = ["ac", "dc", "tran", "noise"]


@pytest.fixture
def write(tmp_path):
    def write(f, name="result.psfbin"):
        path = tmp_path / name
        path.write_bytes(f.to_bytes() if isinstance(f, PsfFile) else f)
        return path
    return write


def small(traces, sweep=(0.0, 1.0, 2.0)) -> PsfFile:
    """Sweep "x" and real traces given as (name, samples)."""
    records = [Record(1, v) for v in sweep]
    for i, (_, samples) in enumerate(traces):
        records += [Record(2 + i, v) for v in samples]
    return PsfFile(Layout.SIMPLE, header=[("analysis type", "dc")],
                   types=[TypeDecl(7, "V", Tag.FLOAT64)], sweeps=[Decl(1, "x", 7)],
                   traces=[Decl(2 + i, n, 7) for i, (n, _) in enumerate(traces)], values=records)


def root_base(a):
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
    return a


@pytest.mark.parametrize("name", SWEPT)
def test_swept_files_round_trip_bit_for_bit_and_zero_copy(write, bits, name):
    f, expected = REALISTIC[name]()
    path = write(f, f"result.{name}")
    psf = quarn.read_psf(path)
    ds = quarn.to_xarray(psf)
    xr.testing.assert_identical(xr.open_dataset(path, engine="quarn"), ds)

    (axis, sweep), = expected.sweeps
    assert list(ds.dims)[0] == axis and ds.indexes[axis].name == axis
    assert np.array_equal(bits(ds[axis].values), bits(sweep))
    assert list(ds.data_vars) == [n for n, _ in expected.traces]
    for (trace, want), got in zip(expected.traces, psf.traces):
        var = ds[trace]
        if want.dtype.names:
            dim = f"{trace}_member"
            assert var.dims == (axis, dim) and var.dtype == np.float64
            assert list(ds[dim].values) == list(want.dtype.names)
            for member in want.dtype.names:
                assert np.array_equal(bits(var.sel({dim: member}).values), bits(want[member]))
        else:
            assert var.dims == (axis,) and var.dtype == want.dtype
            assert np.array_equal(bits(var.values), bits(want))
        assert np.shares_memory(var.values, got.data)
    assert np.shares_memory(ds[axis].values, psf.sweeps[0].data)
    assert ds.attrs == expected.header
    assert [type(v) for v in ds.attrs.values()] == [type(v) for v in expected.header.values()]

    # Through the backend the arrays are still the parser's: no NumPy array owns them.
    opened = xr.open_dataset(path, engine="quarn")
    assert not isinstance(root_base(opened[expected.traces[0][0]].values), np.ndarray)


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.psfbin")), ids=lambda p: p.name)
def test_examples_open_the_same_way_as_to_xarray(path):
    xr.testing.assert_identical(xr.open_dataset(path, engine="quarn"),
                                quarn.to_xarray(quarn.read_psf(path)))


def test_operating_point_groups_struct_values_by_member_list(write, bits):
    f, expected = REALISTIC["dcop"]()
    ds = xr.open_dataset(write(f), engine="quarn")
    want = dict(expected.values)
    assert ds.attrs == expected.header
    groups = {"struct0": ["M1", "M2"], "struct1": ["R1"]}
    assert {d: list(ds[d].values) for d in ds.dims} == groups
    for dim, names in groups.items():
        for member in want[names[0]]:
            var = ds[f"{dim}.{member}"]
            column = [want[n][member] for n in names]
            assert var.dims == (dim,)
            assert var.dtype == (np.int64 if isinstance(column[0], int) else np.float64)
            if var.dtype == np.float64:
                assert np.array_equal(bits(var.values), bits(np.array(column)))
            else:
                assert var.values.tolist() == column
    scalars = {n: v for n, v in want.items() if not isinstance(v, dict)}
    for name, value in scalars.items():
        assert ds[name].dims == () and ds[name].item() == value
    assert [ds[n].dtype.kind for n in scalars] == ["f", "i", "U", "c", "f", "i"]
    assert ds["struct0.gm"].sel(struct0="M1").item() == 2.1e-3


@pytest.mark.parametrize("convert", ["engine", "to_xarray", "to_pandas"])
@pytest.mark.parametrize("traces, message", [
    ([("ok", [1.0, 2.0, 3.0]), ("out", [1.0, 2.0])],
     "trace 'out' has 2 points, but the sweep 'x' has 3"),
    ([("out", [1.0, 2.0, 3.0, 4.0]), ("late", [1.0])],
     "trace 'out' has 4 points, but the sweep 'x' has 3"),
])
def test_a_trace_whose_length_differs_from_the_sweep_is_refused(write, convert, traces, message):
    path = write(small(traces))
    with pytest.raises(ValueError) as e:
        if convert == "engine":
            xr.open_dataset(path, engine="quarn")
        else:
            getattr(quarn, convert)(quarn.read_psf(path))
    assert str(e.value) == message


def test_variables_named_twice_are_refused(write):
    path = write(small([("out", [1.0, 2.0, 3.0]), ("out", [4.0, 5.0, 6.0])]))
    with pytest.raises(ValueError, match="two variables named 'out'"):
        xr.open_dataset(path, engine="quarn")


@pytest.mark.parametrize("name, drop, kept", [
    ("noise", "M1", ["out", "R1"]),
    ("noise", ["out", "R1"], ["M1"]),
    ("ac", ["V(in)", "no such variable"], ["V(out)", "I(vdd:p)", "phase(out)"]),
    ("dcop", ["struct0.gm", "temp"], None),
])
def test_drop_variables(write, name, drop, kept):
    path = write(REALISTIC[name]()[0])
    ds = xr.open_dataset(path, engine="quarn", drop_variables=drop)
    full = quarn.to_xarray(quarn.read_psf(path))
    dropped = {drop} if isinstance(drop, str) else set(drop)
    if kept is not None:
        assert list(ds.data_vars) == kept
    assert set(ds.data_vars) == set(full.data_vars) - dropped
    assert set(ds.dims) == {d for v in ds.variables.values() for d in v.dims}


def test_dropping_a_damaged_trace_reads_the_rest(write):
    path = write(small([("ok", [1.0, 2.0, 3.0]), ("out", [1.0])]))
    ds = xr.open_dataset(path, engine="quarn", drop_variables="out")
    assert ds["ok"].values.tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("name", ["noise", "dcop"])
def test_chunks_give_dask_arrays_of_the_same_values(write, name):
    pytest.importorskip("dask")
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
        write(b"HEADER\n\"PSFversion\" \"1.00\"\n", "result.psfbin"): False,
        write(b"Clarissa", "short.psfbin"): False,
        write(REALISTIC["ac"]()[0].to_bytes()[:-4], "cut.psfbin"): False,
        tmp_path / "missing.psfbin": False, tmp_path: False, tmp_path / "fifo": False,
        "bad\0path": False, io.BytesIO(renamed.read_bytes()): False, 42: False, None: False,
    }
    assert {k: entry.guess_can_open(k) for k in candidates} == candidates
    # With no engine named, xarray asks every engine and finds this one.
    xr.testing.assert_identical(xr.open_dataset(renamed),
                                xr.open_dataset(renamed, engine="quarn"))

