"""quarn.open_results: result directories, their index, families, and DataTrees."""

from pathlib import Path

import numpy as np
import pytest

import quarn
from textwriter import write_text
from resultdir import (RUN_DATA, RUN_OBJECT, Entry, ac_bytes, family, foreach_run, leaf,
                       meas_bytes, write)

FREQ = np.logspace(3, 6, 7)


def _ac(scale: float, freq=FREQ) -> bytes:
    return ac_bytes(freq, scale * (1 + 1j) * np.arange(len(freq)))


@pytest.fixture
def ordinary(tmp_path) -> Path:
    """The shape of an ordinary run: results, bookkeeping, a split transient, a
    stale result, a missing file and an entry of another format."""
    entries = [Entry("op-dc", "dc", "op.dc", props=[("data_type", "scalar")]),
               Entry("acA-ac", "ac", "acA.ac", sweep=["freq"], description="AC analysis",
                     props=[("data_type", "swept_scalar")]),
               Entry("sw-0-info", "info", "sw-0.info", props=[("data_type", "struct")]),
               Entry("tr-x-tran", "tran", "tr-x.tran.tran", sweep=["time"]),
               Entry("gone-dc", "dc", "gone.dc"),
               Entry("mix-tran", "tran", "mix.trn", format="OTHER")]
    files = {"op.dc": meas_bytes({"vout": 1.5}), "acA.ac": _ac(1.0),
             "sw-0.info": meas_bytes({"x": 2.0}),
             "tr-x.tran.tran": _ac(3.0), "tr-x.tran.tran.psfxl": b"data",
             "tr-x.tran.tran.sig": b"sig",
             "noise1.noise": _ac(9.0),  # earlier runs' results
             "old.tran.tran": b"main", "old.tran.tran.psfxl": b"data",
             "runObjFile": RUN_OBJECT, "simRunData": RUN_DATA, ".simDone": b"",
             "simx.out": "simulation finished\n"}
    return write(tmp_path / "run", files, entries)


def test_ordinary_run(ordinary):
    run = quarn.open_results(ordinary)
    assert run.header["Log Generator"] == "idxwriter 2.0"
    got = [(a.name, a.kind, a.path.name, a.sweep_variables, a.data_type, a.family, a.params)
           for a in run.analyses]
    assert got == [("op", "dc", "op.dc", (), "scalar", None, {}),
                   ("acA", "ac", "acA.ac", ("freq",), "swept_scalar", None, {}),
                   ("sw-0", "info", "sw-0.info", (), "struct", None, {}),
                   ("tr-x", "tran", "tr-x.tran.tran", ("time",), None, None, {}),
                   ("gone", "dc", "gone.dc", (), None, None, {}),
                   ("mix", "tran", "mix.trn", (), None, None, {})]
    problems = {a.name: a.problem for a in run.analyses if a.problem}
    assert set(problems) == {"tr-x", "gone", "mix"}
    assert "split form" in problems["tr-x"] and "missing" in problems["gone"]
    assert "another format" in problems["mix"]
    assert run.families == ()
    assert [p.name for p in run.stale] == ["noise1.noise", "old.tran.tran"]
    what = {p.name: line for p, line in run.other_files()}
    assert set(what) == {"logFile", "noise1.noise", "runObjFile", "simRunData", ".simDone",
                         "simx.out", "tr-x.tran.tran.psfxl", "tr-x.tran.tran.sig",
                         "old.tran.tran", "old.tran.tran.psfxl"}
    assert "index" in what["logFile"] and "run object" in what["runObjFile"]
    assert "run data" in what["simRunData"] and "marker" in what[".simDone"]
    assert "split-form" in what["tr-x.tran.tran.psfxl"] and "log" in what["simx.out"]

    psf = run["acA"].read()
    np.testing.assert_array_equal(psf.sweeps[0].data, FREQ)
    with run["acA"].open() as file:
        assert [t.name for t in file.traces] == ["V(out)"]
    assert run["op"].to_xarray()["vout"].item() == 1.5
    with pytest.raises(ValueError, match="split form"):
        run["tr-x"].read()
    with pytest.raises(FileNotFoundError):
        run["gone"].read()
    with pytest.raises(KeyError, match="'acA'"):
        run["acB"]


def test_foreach_table(tmp_path):
    vbias = [0.9, 0.3, 0.6]  # the index's order, not sorted
    root = foreach_run(tmp_path / "fe", vbias)
    (root / "tr1-foreach-001.meas_tran").unlink()
    run = quarn.open_results(root)
    (fam,) = run.families
    assert (fam.name, fam.kind, fam.variables, len(fam)) == (
        "tr1_meas", "meas_foreach", ("vbias",), 3)
    assert [a.name for a in run.analyses].count("tr1_meas") == 1  # repeats kept once
    np.testing.assert_array_equal(fam.values["vbias"], vbias)
    assert [r.params for r in fam.runs] == [{"vbias": v} for v in vbias]
    assert all(r.family is fam for r in fam.runs)
    assert "missing" in fam.runs[1].problem

    with pytest.raises(ValueError, match="several kinds.*of_kind"):
        other = quarn.Analysis("op-dc", "dc", str(root / "op.dc"))
        quarn.Family(fam.analysis, fam.variables, [*fam.runs, other], None).to_pandas()
    df = fam.of_kind("meas_tran").to_pandas()
    assert df.index.name == "vbias" and list(df.index) == vbias
    assert list(df.columns) == ["vmax", "vmin"]
    np.testing.assert_allclose(df["vmin"].to_numpy(), [1.8, np.nan, 3.2])
    assert df.attrs["units"] == {"vmax": "V", "vmin": "V"}
    assert list(df.attrs["problems"]) == [1]

    pytest.importorskip("xarray")
    node = run.to_datatree()["tr1_meas"]  # a run is missing: one child per run
    assert list(node.children) == ["0", "1", "2"]
    assert "missing" in node["1"].attrs["problem"]
    assert node["2"]["vmax"].item() == pytest.approx(0.6 + 2)


def _sweep_dir(tmp_path, leaves) -> Path:
    """A one-level sweep over rload; `leaves` maps rload to the leaf's bytes."""
    fam = family("sw1_acA-sweep", "sweep", "sw1_acA.sweep", ["rload"])
    entries, files = [fam], {}
    for k, (rload, content) in enumerate(leaves.items()):
        name = f"sw1-{k:03d}_acA"
        files[f"{name}.ac"] = content
        entries.append(leaf(f"{name}-ac", "ac", f"{name}.ac", fam.name, {"rload": rload},
                            ["freq"]))
    # The family's own data file holds one point only: its values are never read from it.
    files["sw1_acA.sweep"] = meas_bytes({"rload": 1.0})
    return write(tmp_path / "sweep", files, entries)


@pytest.mark.parametrize("freqs, error", [
    ((FREQ, FREQ), None),
    ((FREQ, FREQ * 1.01), "'freq' axis differs"),
    ((FREQ, FREQ[:5]), "other sweeps or traces"),
])
def test_sweep_stacking(tmp_path, freqs, error):
    root = _sweep_dir(tmp_path, {2000: _ac(1.0, freqs[0]), 1000: _ac(2.0, freqs[1])})
    (fam,) = quarn.open_results(root).families
    if error is not None:
        with pytest.raises(ValueError, match=error) as info:
            fam.to_xarray()
        assert "family.runs" in str(info.value)
        return
    ds = fam.to_xarray()
    assert ds["V(out)"].dims == ("rload", "freq")
    np.testing.assert_array_equal(ds["rload"], [2000.0, 1000.0])
    np.testing.assert_array_equal(ds["V(out)"][1], 2.0 * (1 + 1j) * np.arange(len(FREQ)))
    with pytest.raises(ValueError, match="swept"):
        fam.to_pandas()


def test_nested_family(tmp_path):
    outer = family("p_acA-sweep", "sweep", "p_acA.sweep", ["p"])
    entries, files = [outer], {}
    for i, p in enumerate([1.0, 2.0]):
        inner = family(f"p-{i:03d}_q_acA-sweep", "sweep", f"p-{i:03d}_q_acA.sweep", ["q"],
                       parent=outer.name)
        entries.append(inner)
        for j, q in enumerate([10, 20, 30]):  # integer tokens are reals
            name = f"p-{i:03d}_q-{j:03d}_acA"
            files[f"{name}.ac"] = _ac(p * q)
            entries.append(leaf(f"{name}-ac", "ac", f"{name}.ac", inner.name, {"p": p, "q": q},
                                ["freq"]))
    run = quarn.open_results(write(tmp_path / "nested", files, entries))
    top = run.family("p_acA")
    assert top.variables == ("p", "q") and len(top) == 6
    assert [f.variables for f in run.families[1:]] == [("p", "q"), ("p", "q")]
    assert all(f.parent is top for f in run.families[1:])
    np.testing.assert_array_equal(top.values["q"], [10, 20, 30] * 2)
    ds = top.to_xarray()
    assert ds["V(out)"].dims == ("p", "q", "freq")
    np.testing.assert_array_equal(ds["V(out)"].sel(p=2.0, q=30)[1], 60 * (1 + 1j))
    tree = run.to_datatree()
    assert list(tree.children) == ["p_acA"]
    assert tree["p_acA"]["V(out)"].shape == (2, 3, len(FREQ))


def test_without_index(ordinary):
    (ordinary / "logFile").write_text("HEADER\nVALUE\n")
    with pytest.raises(ValueError, match="logFile: the directory's index cannot be read"):
        quarn.open_results(ordinary)
    with pytest.raises(NotADirectoryError):
        quarn.open_results(ordinary / "op.dc")
    (ordinary / "logFile").unlink()
    run = quarn.open_results(ordinary)
    assert run.header == {} and run.families == () and run.stale == []
    assert [(a.name, a.kind, a.problem is None) for a in run.analyses] == [
        ("acA", "ac", True), ("noise1", "noise", True), ("old", "tran.tran", False),
        ("op", "dc", True),
        ("sw-0", "info", True), ("tr-x", "tran.tran", False)]


def test_datatree(tmp_path, ordinary):
    xr = pytest.importorskip("xarray")
    tree = xr.open_datatree(ordinary, engine="quarn")
    assert tree.attrs["Log Generator"] == "idxwriter 2.0"
    assert list(tree.children) == ["op", "acA", "sw-0", "tr-x", "gone", "mix"]
    assert tree["acA"]["V(out)"].dims == ("freq",)
    assert "split form" in tree["tr-x"].attrs["problem"]
    with pytest.raises(ValueError, match="open_datatree.*open_results"):
        xr.open_dataset(ordinary, engine="quarn")
    from quarn._dataset import QuarnBackendEntrypoint

    # Only a directory with an index is claimed: other engines open directories too.
    assert [QuarnBackendEntrypoint().guess_can_open(p) for p in (ordinary, tmp_path)] == [
        True, False]

    # Runs that do not stack are one child per run, with their variable values.
    root = _sweep_dir(tmp_path, {2000: _ac(1.0), 1000: _ac(2.0, FREQ[:3])})
    node = quarn.open_results(root).to_datatree()["sw1_acA"]
    assert list(node.children) == ["0", "1"]
    assert node["1"].attrs["rload"] == 1000.0 and node["1"]["rload"].item() == 1000.0
    assert node["1"]["V(out)"].shape == (3,)


def test_family_reads_match_read_psf(tmp_path):
    root = foreach_run(tmp_path / "fe", np.linspace(0, 1, 25))
    # A leaf in the text form is read too (read_many reads the binary form only).
    leaf_path = root / "tr1-foreach-007.meas_tran"
    leaf_path.write_bytes(write_text(quarn.read_psf(leaf_path)))
    (fam,) = quarn.open_results(root).families
    assert fam.to_pandas()["vmin"].iloc[7] == pytest.approx(2 * 7 / 24 + 7)
    for run, psf in zip(fam.runs, fam.read(workers=2)):
        assert [(v.name, v.data) for v in psf.values] == [
            (v.name, v.data) for v in quarn.read_psf(run.path).values]
