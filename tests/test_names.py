"""A trace that shares its name with a sweep (a DC sweep records the swept source's node
under the sweep's name): the sweep keeps the name, the trace is "NAME (trace)" in every
converted form, with its name in the file as its attribute "name"."""

import json
import subprocess
import sys

import numpy as np
import pytest

import quarn
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl

SWEEP = np.linspace(-1.0, 1.0, 5)
# The file's traces in order, and what each is called beside the sweep "vi".
TRACES = {"vi": ("vi (trace)", 2 * SWEEP), "out": ("out", 3 * SWEEP)}


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    f = PsfFile(
        Layout.SIMPLE, header=[("analysis type", "dc")],
        types=[TypeDecl(7, "V", Tag.FLOAT64, props=[("units", "V")])],
        sweeps=[Decl(10, "vi", 7)], traces=[Decl(20, "vi", 7), Decl(21, "out", 7)],
        values=[Record(k, x) for k, data in ((10, SWEEP), (20, 2 * SWEEP), (21, 3 * SWEEP))
                for x in data])
    p = tmp_path_factory.mktemp("names") / "dc.psfbin"
    p.write_bytes(f.to_bytes())
    return p


def _dataset(form, path):
    xr = pytest.importorskip("xarray")
    if form == "engine":
        return xr.open_dataset(path, engine="quarn")
    if form == "read_runs":
        return quarn.read_runs([path, path]).isel(run=1).drop_vars("run")
    return quarn.to_xarray(quarn.read_psf(path))


@pytest.mark.parametrize("form", ["engine", "to_xarray", "read_runs"])
def test_datasets_keep_the_sweep_and_label_the_trace(path, form):
    ds = _dataset(form, path)
    assert list(ds.coords) == ["vi"] and ds.indexes["vi"].to_numpy().tolist() == SWEEP.tolist()
    assert list(ds.data_vars) == [label for label, _ in TRACES.values()]
    for name, (label, data) in TRACES.items():
        assert ds[label].values.tolist() == data.tolist()
        assert ds[label].attrs.get("name") == (name if label != name else None)


@pytest.mark.parametrize("drop, kept, coords", [
    ("vi (trace)", ["out"], ["vi"]),       # the trace only
    (["vi"], ["vi (trace)", "out"], []),   # the sweep only
])
def test_drop_variables_drops_what_it_names(path, drop, kept, coords):
    xr = pytest.importorskip("xarray")
    ds = xr.open_dataset(path, engine="quarn", drop_variables=drop)
    assert (list(ds.data_vars), list(ds.coords)) == (kept, coords)
    assert ds[kept[0]].values.tolist() == TRACES[ds[kept[0]].attrs.get("name", kept[0])][1].tolist()


def test_pandas_indexes_by_the_sweep(path):
    pytest.importorskip("pandas")
    df = quarn.to_pandas(quarn.read_psf(path))
    assert df.index.name == "vi" and df.index.tolist() == SWEEP.tolist()
    assert {c: df[c].tolist() for c in df} == {l: d.tolist() for l, d in TRACES.values()}


def quarn_cli(*args):
    return subprocess.run([sys.executable, "-m", "quarn", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def _exported(out):
    """{column or array: values} of an exported file."""
    if out.suffix == ".npz":
        with np.load(out) as z:
            return {k: z[k].tolist() for k in z}
    if out.suffix == ".nc":
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(out, engine="h5netcdf") as ds:
            assert ds["vi (trace)"].attrs["name"] == "vi"
            return {k: ds[k].values.tolist() for k in ds.variables}
    pd = pytest.importorskip("pandas")
    if out.suffix == ".parquet":
        field = pytest.importorskip("pyarrow.parquet").read_schema(out).field("vi (trace)")
        assert field.metadata == {b"name": b"vi"}
    df = pd.read_csv(out) if out.suffix == ".csv" else pd.read_parquet(out)
    return {k: df[k].tolist() for k in df}


@pytest.mark.parametrize("suffix, traces", [
    (".csv", []), (".parquet", []), (".npz", []), (".nc", []),
    (".csv", ["vi"]), (".npz", ["vi (trace)"]),  # chosen by its name or its label
])
def test_export(path, tmp_path, suffix, traces):
    for module in {".parquet": ["pyarrow"], ".nc": ["xarray", "h5netcdf"]}.get(suffix, []):
        pytest.importorskip(module)
    out = tmp_path / f"out{suffix}"
    r = quarn_cli("export", path, "-o", out, *[a for t in traces for a in ("--trace", t)])
    assert r.returncode == 0, r.stderr
    want = {"vi": SWEEP.tolist(), **{l: d.tolist() for n, (l, d) in TRACES.items()
                                     if not traces or n == "vi"}}
    assert _exported(out) == want


def test_info_and_plot(path, tmp_path):
    r = quarn_cli("info", path)
    assert r.returncode == 0 and "    vi (trace)  real\n    out         real\n" in r.stdout
    r = quarn_cli("info", "--json", path)
    (entry,) = json.loads(r.stdout)["files"]
    assert entry["traces"][0] == {"name": "vi", "label": "vi (trace)", "kind": "real",
                                  "points": 5}
    assert "label" not in entry["traces"][1]
    pytest.importorskip("matplotlib")
    r = quarn_cli("plot", path, "-o", tmp_path / "plot.svg")
    assert r.returncode == 0, r.stderr
    assert "vi (trace)" in (tmp_path / "plot.svg").read_text()  # the legend's entry
