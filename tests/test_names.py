"""A trace named like a sweep (sweep "vi", trace "vi") in every converted form: the sweep
keeps the name, the trace is "vi (trace)" with its name in the file as attribute "name"."""

import json
import subprocess
import sys

import numpy as np
import pytest

import quarn
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl

SWEEP = [-1.0, 0.0, 1.0]
# Each trace's name in the file, name in every form and samples; "file" and "allow_pickle"
# are np.savez's keywords.
TRACES = [("vi", "vi (trace)", [-2.0, 0.0, 2.0]), ("file", "file", [1.0, 2.0, 3.0]),
          ("allow_pickle", "allow_pickle", [4.0, 5.0, 6.0])]


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    series = [("vi", SWEEP)] + [(name, data) for name, _, data in TRACES]
    p = tmp_path_factory.mktemp("names") / "dc.psfbin"
    p.write_bytes(PsfFile(
        Layout.SIMPLE, header=[("analysis type", "dc")], types=[TypeDecl(7, "V", Tag.FLOAT64)],
        sweeps=[Decl(10, "vi", 7)], traces=[Decl(11 + k, n, 7) for k, (n, _, _) in
                                            enumerate(TRACES)],
        values=[Record(10 + k, x) for k, (_, data) in enumerate(series) for x in data],
    ).to_bytes())
    return p


@pytest.mark.parametrize("form, drop", [
    ("engine", None), ("to_xarray", None), ("read_runs", None), ("to_pandas", None),
    ("engine", "vi (trace)"), ("engine", "vi"),  # drops the trace, the sweep
])
def test_conversions(path, form, drop):
    if form == "to_pandas":
        pytest.importorskip("pandas")
        df = quarn.to_pandas(quarn.read_psf(path))
        assert df.index.name == "vi" and df.index.tolist() == SWEEP
        assert {c: df[c].tolist() for c in df} == {label: d for _, label, d in TRACES}
        return
    xr = pytest.importorskip("xarray")
    ds = (xr.open_dataset(path, engine="quarn", drop_variables=drop) if form == "engine" else
          quarn.read_runs([path, path]).isel(run=1).drop_vars("run") if form == "read_runs"
          else quarn.to_xarray(quarn.read_psf(path)))
    assert ({k: v.values.tolist() for k, v in ds.coords.items()}
            == ({} if drop == "vi" else {"vi": SWEEP}))
    assert {k: (v.values.tolist(), v.attrs.get("name")) for k, v in ds.data_vars.items()} == {
        label: (d, name if name != label else None) for name, label, d in TRACES if label != drop}


def quarn_cli(*args):
    return subprocess.run([sys.executable, "-m", "quarn", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("suffix, traces, needs", [
    (".csv", [], "pandas"), (".parquet", [], "pyarrow"), (".npz", [], "numpy"),
    (".nc", [], "h5netcdf"), (".csv", ["vi"], "pandas"), (".npz", ["vi (trace)"], "numpy"),
])  # a trace is chosen by its name or its label
def test_export(path, tmp_path, suffix, traces, needs):
    pytest.importorskip(needs)
    out = tmp_path / f"out{suffix}"
    r = quarn_cli("export", path, "-o", out, *[a for t in traces for a in ("--trace", t)])
    assert r.returncode == 0, r.stderr
    if suffix == ".npz":
        with np.load(out) as z:
            got = {k: z[k].tolist() for k in z}
    elif suffix == ".nc":
        with pytest.importorskip("xarray").open_dataset(out, engine="h5netcdf") as ds:
            assert ds["vi (trace)"].attrs["name"] == "vi"
            got = {k: ds[k].values.tolist() for k in ds.variables}
    else:
        pd = pytest.importorskip("pandas")
        if suffix == ".parquet":
            field = pytest.importorskip("pyarrow.parquet").read_schema(out).field("vi (trace)")
            assert field.metadata == {b"name": b"vi"}
        df = pd.read_csv(out) if suffix == ".csv" else pd.read_parquet(out)
        got = {k: df[k].tolist() for k in df}
    assert got == {"vi": SWEEP, **{label: d for name, label, d in TRACES
                                   if not traces or name == "vi"}}


def test_info_and_plot(path, tmp_path):
    r = quarn_cli("info", path)
    assert r.returncode == 0 and "    vi (trace)    real\n    file          real\n" in r.stdout
    (entry,) = json.loads(quarn_cli("info", "--json", path).stdout)["files"]
    assert [t["name"] for t in entry["traces"]] == [n for n, _, _ in TRACES]
    assert [t.get("label") for t in entry["traces"]] == ["vi (trace)", None, None]
    pytest.importorskip("matplotlib")
    r = quarn_cli("plot", path, "-o", tmp_path / "plot.svg")
    assert r.returncode == 0, r.stderr
    assert "vi (trace)" in (tmp_path / "plot.svg").read_text()  # the legend's entry
