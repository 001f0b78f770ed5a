"""Units and properties in every output: `quarn.properties`, the Dataset, the
DataFrame, read_runs and the exported files; operating-point groups named after
their device kind."""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC, Decl, Layout, PsfFile, Record, Tag, TypeDecl

xr = pytest.importorskip("xarray")
pd = pytest.importorskip("pandas")

MOS = [TypeDecl(0, m, Tag.FLOAT64, props=[("units", u)]) for m, u in (("vgs", "V"), ("ids", "A"))]


def op_point() -> PsfFile:
    """Two MOS devices of two models, a resistor, a device kind declared under two
    member lists, a struct type named like a fallback group, and scalars with units."""
    types = [TypeDecl(30, "mos_op", Tag.STRUCT, MOS, props=[("level", 54)]),
             TypeDecl(31, "res_op", Tag.STRUCT, [TypeDecl(0, "i", Tag.COMPLEX)]),
             TypeDecl(32, "V", Tag.FLOAT64, props=[("units", "V")]),
             TypeDecl(33, "diode", Tag.STRUCT, [TypeDecl(0, "id", Tag.FLOAT64)]),
             TypeDecl(34, "diode", Tag.STRUCT, [TypeDecl(0, "vd", Tag.FLOAT64)]),
             TypeDecl(35, "struct0", Tag.STRUCT, [TypeDecl(0, "x", Tag.INT32)])]
    values = [Decl(1, "M1", 30, {"vgs": 0.9, "ids": 1e-4}, props=[("model", "nch"), ("ids", 1)]),
              Decl(2, "vdd", 32, 1.8, props=[("units", "mV")]),
              Decl(3, "M2", 30, {"vgs": 0.5, "ids": 2e-5}, props=[("model", "pch"), ("m", 2)]),
              Decl(4, "R1", 31, {"i": 1 + 2j}),
              Decl(5, "D1", 33, {"id": 1e-9}), Decl(6, "D2", 34, {"vd": 0.6}),
              Decl(7, "X1", 35, {"x": 3}), Decl(8, "out", 32, 0.25)]
    return PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcOp")], types=types,
                   values=values)


@pytest.fixture
def files(tmp_path):
    paths = {}
    for name, make in [*REALISTIC.items(), ("op", lambda: (op_point(), None))]:
        paths[name] = tmp_path / f"{name}.psfbin"
        paths[name].write_bytes(make()[0].to_bytes())
    return paths


@pytest.mark.parametrize("name", [*REALISTIC, "op"])
def test_eager_and_lazy_results_are_identical_with_attributes(files, name):
    psf = quarn.read_psf(files[name])
    with quarn.open_psf(files[name]) as f:
        want = ([s.properties for s in f.sweeps], [t.properties for t in f.traces],
                [v.properties for v in f.values])
    props = quarn.properties(psf)
    assert (list(props.sweeps), list(props.traces), list(props.values)) == want
    with xr.open_dataset(files[name], engine="quarn") as opened:
        xr.testing.assert_identical(quarn.to_xarray(psf), opened)


def test_operating_point_groups_take_their_device_kind_and_keep_the_model(files):
    ds = quarn.to_xarray(quarn.read_psf(files["op"]))
    # Kinds named once get their name; "diode" (two member lists) and a kind named like
    # a fallback group count as unnamed, in file order.
    assert {d: list(ds[d].values) for d in ds.dims} == {
        "mos_op": ["M1", "M2"], "res_op": ["R1"], "struct0": ["D1"], "struct1": ["D2"],
        "struct2": ["X1"]}
    assert ds["mos_op"].attrs == {"level": 54}  # shared by all of the group's values
    assert list(ds["mos_op.model"].values) == ["nch", "pch"]
    assert ds["mos_op.m"].values.tolist()[1] == 2 and math.isnan(ds["mos_op.m"].values[0])
    assert ds["mos_op.ids (property)"].values.tolist()[0] == 1  # "mos_op.ids" is the member
    assert ds["mos_op.vgs"].sel(mos_op="M2").item() == 0.5
    assert (ds["vdd"].attrs, ds["out"].attrs) == ({"units": "mV"}, {"units": "V"})
    assert (ds["mos_op.vgs"].attrs, ds["mos_op.ids"].attrs) == ({"units": "V"}, {"units": "A"})

    df = quarn.to_pandas(quarn.read_psf(files["op"]))
    assert df.attrs["units"] == {"vdd": "mV", "out": "V"}
    assert df.attrs["kinds"]["M1"] == "mos_op" and df.attrs["properties"]["M2"]["model"] == "pch"
    assert df.attrs["column_units"] == {"vgs": "V", "ids": "A"}
    # A complex member a value lacks is missing in both parts.
    assert math.isnan(df.at["M1", "i"].real) and math.isnan(df.at["M1", "i"].imag)


def test_struct_trace_members_keep_their_units(tmp_path):
    members = [TypeDecl(0, "a", Tag.FLOAT64, props=[("units", "V")]),
               TypeDecl(0, "b", Tag.FLOAT64, props=[("units", "A")])]
    path = tmp_path / "mix.psfbin"
    path.write_bytes(PsfFile(
        Layout.SIMPLE, header=[("analysis type", "noise")],
        types=[TypeDecl(1, "f", Tag.FLOAT64, props=[("units", "Hz")]),
               TypeDecl(2, "mix", Tag.STRUCT, members, props=[("units", "?")])],
        sweeps=[Decl(1, "freq", 1)], traces=[Decl(2, "T", 2)],
        values=[r for i in range(3) for r in (Record(1, float(i)), Record(2, [i, -i]))],
    ).to_bytes())
    psf = quarn.read_psf(path)
    ds = quarn.to_xarray(psf)
    with xr.open_dataset(path, engine="quarn") as opened:
        xr.testing.assert_identical(ds, opened)
    assert ds["T"].attrs == {"units": "?"}  # the members differ: a coordinate each
    assert list(ds["T_member.units"].values) == ["V", "A"]
    assert quarn.to_pandas(psf).attrs["units"] == {"freq": "Hz", "T.a": "V", "T.b": "A"}
    noise = quarn.to_xarray(quarn.read_psf(_write(tmp_path, "noise")))
    assert noise["M1"].attrs == {"units": "V2/Hz"}  # one unit for all members


def _write(tmp_path, name):
    path = tmp_path / f"{name}.psfbin"
    path.write_bytes(REALISTIC[name]()[0].to_bytes())
    return path


def test_table_units_follow_the_columns(files):
    df = quarn.to_pandas(quarn.read_psf(files["ac"]))
    assert df.attrs["units"] == {"freq": "Hz", "V(out)": "V", "V(in)": "V", "I(vdd:p)": "A",
                                 "phase(out)": "deg"}
    assert df.attrs["properties"]["freq"] == {"key": "freq", "units": "Hz", "plot": 0, "grid": 1}
    assert df.attrs["header"]["analysis type"] == "ac"


@pytest.mark.parametrize("make", ["read_many", "select"])
def test_results_the_package_cannot_place_have_no_properties(files, make):
    path = files["ac"]
    if make == "read_many":
        psf, = quarn.read_many([path])
    else:
        with quarn.open_psf(path) as f:
            psf = f.select()
    with pytest.raises(LookupError, match="not returned by quarn.read_psf"):
        quarn.properties(psf)
    assert all(not v.attrs for v in quarn.to_xarray(psf).variables.values())


def test_a_file_rewritten_before_its_properties_are_asked_gives_none(files):
    psf = quarn.read_psf(files["ac"])
    files["ac"].write_bytes(REALISTIC["dc"]()[0].to_bytes())
    with pytest.raises(OSError, match="changed since it was read"):
        quarn.properties(psf)
    with pytest.warns(UserWarning, match="properties"):
        ds = quarn.to_xarray(psf)
    assert not ds["V(out)"].attrs


@pytest.mark.parametrize("name", ["dc", "op"])  # an array's weak reference; the header
def test_notes_of_results_gone_are_dropped(files, name):
    from quarn import _properties

    for _ in range(1000):
        quarn.properties(quarn.read_psf(files[name]))
    kept = [quarn.read_psf(files[name]) for _ in range(100)]
    quarn.read_psf(files[name])
    assert 100 <= len(_properties._notes) <= 300
    want = quarn.properties(kept[0])
    assert want.sweeps or want.values
    assert all(quarn.properties(p) == want for p in kept)


def test_read_runs_keeps_the_units(files):
    ds = quarn.read_runs([files["ac"], files["ac"]])
    assert ds["V(out)"].attrs == {"units": "V"} and ds["freq"].attrs["units"] == "Hz"
    op = quarn.read_runs([files["op"]] * 3)
    assert op["mos_op.vgs"].dims == ("run", "mos_op") and op["vdd"].attrs == {"units": "mV"}


def _export(*args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    r = subprocess.run([sys.executable, "-m", "quarn", "export", *map(str, args)],
                       capture_output=True, text=True, env=env, timeout=120)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".nc"])
def test_exports_keep_units(files, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    _export(files["ac"], "-o", out, *(["--units"] if suffix == ".csv" else []))
    if suffix == ".csv":
        first, *_ = out.read_text().splitlines()
        assert first.startswith("# quarn: ")
        units = json.loads(first[len("# quarn: "):])["units"]
        assert pd.read_csv(out, skiprows=1).columns[1] == "V(out).real"
    elif suffix == ".parquet":
        pq = pytest.importorskip("pyarrow.parquet")
        fields = pq.read_schema(out)
        units = {f.name: f.metadata[b"units"].decode() for f in fields if f.metadata}
        assert json.loads(fields.field("freq").metadata[b"properties"])["plot"] == 0
    else:
        pytest.importorskip("h5netcdf")
        with xr.open_dataset(out, engine="h5netcdf") as ds:
            units = {str(n): v.attrs["units"] for n, v in ds.variables.items()}
    assert units["freq"] == "Hz" and units["phase(out)"] == "deg"
    assert units["V(out).real" if suffix != ".nc" else "V(out)"] == "V"


def test_csv_without_units_is_plain(files, tmp_path):
    out = tmp_path / "out.csv"
    _export(files["op"], "-o", out)
    df = pd.read_csv(out)
    assert df.columns[0] == "name"
    # The complex member R1 alone has: both parts empty elsewhere.
    assert df[["i.real", "i.imag"]].isna().sum().tolist() == [len(df) - 1] * 2


@pytest.mark.parametrize("kinds, taken, want", [
    (["mos_op", "res_op"], set(), ["mos_op", "res_op"]),
    ([None, "mos_op"], set(), ["struct0", "mos_op"]),
    (["diode", "diode"], set(), ["struct0", "struct1"]),  # one kind, two member lists
    (["struct1", None], set(), ["struct0", "struct1"]),   # never a fallback's name
    (["vdd", "mos_op"], {"vdd"}, ["struct0", "mos_op"]),  # nor a value's
])
def test_group_names(kinds, taken, want):
    from quarn._dataset import struct_group_names

    keys = [(kind, (f"m{i}",)) for i, kind in enumerate(kinds)]
    assert list(struct_group_names(keys, taken).values()) == want
