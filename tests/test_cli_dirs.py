"""The `quarn` command on run directories (with an index): exit codes, what it prints,
what it skips, and the files it writes."""

import json

import numpy as np
import pytest

from psfwriter import REALISTIC
from resultdir import RUN_OBJECT, Entry, ac_bytes, family, foreach_run, leaf, meas_bytes, \
    write

FREQ = np.logspace(3, 6, 7)
VBIAS = [0.9, 0.3, 0.6]


def _run(root, missing=False):
    """A foreach of measurements beside an operating point and an AC result, with the
    bookkeeping, a log, a marker and an earlier run's result."""
    foreach_run(root, VBIAS)
    index = (root / "logFile").read_text().replace("END\n", "")
    entries = [Entry("op-dc", "dc", "op.dc"), Entry("acA-ac", "ac", "acA.ac", sweep=["freq"])]
    if missing:
        entries.append(Entry("gone-dc", "dc", "gone.dc"))
    from resultdir import index_text

    extra = index_text(entries).split("VALUE\n", 1)[1]
    write(root, {"op.dc": meas_bytes({"vout": 1.5}), "acA.ac": ac_bytes(FREQ, 1j * FREQ),
                 "noise1.noise": ac_bytes(FREQ, FREQ + 0j), "runObjFile": RUN_OBJECT,
                 ".simDone": b"", "simx.out": "done\n"}, None)
    (root / "logFile").write_text(index + extra)
    return root


@pytest.fixture(scope="module")
def dirs(tmp_path_factory):
    top = tmp_path_factory.mktemp("dirs")
    _run(top / "clean")
    _run(top / "nested" / "broken", missing=True)
    foreach_run(top / "meas", VBIAS)
    (top / "meas" / "tr1-foreach-001.meas_tran").unlink()
    foreach_run(top / "none", [1.0])
    (top / "none" / "tr1-foreach-000.meas_tran").unlink()
    _nested(top / "nested" / "pq")
    write(top / "loose", {"a1.ac": ac_bytes(FREQ, FREQ + 0j), "a2.ac": ac_bytes(FREQ, 1j * FREQ),
                          "b.dc": REALISTIC["dc"]()[0].to_bytes(), "notes.txt": "x\n"}, None)
    write(top / "cut", {"logFile": 'HEADER\n"x" 1\nVALUE\n'}, None)  # ends before END
    return top


def _nested(root):
    """A sweep over p of sweeps over q of AC runs."""
    outer = family("p_acA-sweep", "sweep", "p_acA.sweep", ["p"])
    entries, files = [outer], {}
    for i, p in enumerate([1.0, 2.0]):
        inner = family(f"p-{i}_q_acA-sweep", "sweep", f"p-{i}_q_acA.sweep", ["q"], outer.name)
        entries.append(inner)
        for j, q in enumerate([10.0, 20.0, 30.0]):
            name = f"p-{i}_q-{j}_acA"
            files[f"{name}.ac"] = ac_bytes(FREQ, p * q * FREQ + 0j)
            entries.append(leaf(f"{name}-ac", "ac", f"{name}.ac", inner.name, {"p": p, "q": q},
                                ["freq"]))
    write(root, files, entries)


# (arguments, exit code, fragments on stdout, on stderr, the CSV written: its first lines)
CASES = [
    (["info", "{d}/clean"], 0,
     ["{d}/clean  (run directory: 5 results, 1 family)", "  op  dc  op.dc  1 value",
      "  acA  ac  acA.ac  sweep freq, 7 points, 1 trace",
      "  family tr1_meas  meas_foreach  tr1_meas.meas_foreach  3 runs  vbias 0.3 .. 0.9 "
      "(3 values)\n    runs tr1-foreach-000 .. tr1-foreach-002  meas_tran  3 read",
      "  simx.out: a log", "  .simDone: an empty marker file", "  logFile: the directory's index",
      "  1 stale result the index does not list (earlier runs): noise1.noise"], [], None),
    (["info", "--all", "{d}/clean"], 0,
     ["    tr1-foreach-001  meas_tran  tr1-foreach-001.meas_tran  vbias=0.3  2 values"], [], None),
    (["info", "{d}/nested/broken"], 1, ["  gone  dc  gone.dc  cannot be read: the file is missing"],
     [], None),
    (["info", "{d}/meas"], 1,
     ["3 runs  vbias", "2 read, 1 cannot be read  (--all lists them)\n"
      "      tr1-foreach-001  meas_tran  tr1-foreach-001.meas_tran  vbias=0.3  "
      "cannot be read: the file is missing"], [], None),
    (["info", "{d}/cut"], 1, [], ["{d}/cut/logFile: the directory's index cannot be read"],
     None),
    (["export", "{d}/cut", "-o", "{o}.csv"], 1, [],
     ["{d}/cut/logFile: the directory's index cannot be read", "(skipped)",
      "no files to export: none of the 1 found"], None),
    (["info", "-r", "{d}"], 1, ["{d}/clean  (run", "{d}/nested/broken  (run"], [], None),
    (["info", "{d}/nested/pq"], 0,
     ["  family p_acA  sweep  p_acA.sweep  6 runs  p 1 .. 2 (2 values), q 10 .. 30 (3 values)\n"
      "    family p-0_q_acA  sweep  p-0_q_acA.sweep  3 runs  p 1 .. 1 (1 value), q 10 .. 30 "
      "(3 values)\n      runs p-0_q-0_acA .. p-0_q-2_acA  ac  3 read  (--all lists them)\n"
      "    family p-1_q_acA"], [], None),
    (["plot", "{d}/loose", "-o", "{o}.png"], 0, ["wrote"],
     ["{d}/loose/b.dc: swept over 'vin', not 'freq' as the others are (skipped)\n",
      "{d}/loose/notes.txt: "], None),
    (["plot", "{d}/loose", "--strict", "-o", "{o}.png"], 1, [], ["{d}/loose/notes.txt: "],
     None),
    (["plot", "{d}/nested/pq", "--strict", "-o", "{o}.svg"], 0, ["wrote"], [], None),
    (["export", "{d}/clean", "-o", "{o}.csv"], 1, [],
     ["one table cannot hold swept results (acA.ac) and non-swept ones", "--family NAME"], None),
    (["export", "{d}/clean", "--family", "tr1_meas", "-o", "{o}.csv"], 0, ["wrote"], [],
     "vbias,vmax,vmin\n0.9,0.9,1.8\n0.3,1.3,1.6\n"),
    (["export", "{d}/clean", "--family", "tr1_mes", "-o", "{o}.csv"], 1, [],
     ["no family 'tr1_mes'", "closest: 'tr1_meas'"], None),
    (["export", "{d}/meas", "-o", "{o}.csv"], 0, ["wrote"],
     ["{d}/meas/tr1-foreach-001.meas_tran", "(skipped)"], "file,name,value\n"),
    (["export", "{d}/meas", "--strict", "-o", "{o}.csv"], 1, [], ["tr1-foreach-001"], None),
    (["export", "{d}/meas", "--family", "tr1_meas", "-o", "{o}.csv"], 0, ["wrote"],
     ["tr1-foreach-001.meas_tran: the file is missing (a row of missing values)"],
     "vbias,vmax,vmin\n0.9,0.9,1.8\n0.3,,\n"),
    (["export", "{d}/none", "-o", "{o}.csv"], 1, [], ["no files to export: none of the 1 found"],
     None),
    (["export", "-r", "{d}/nested", "{d}/meas", "-o", "{o}.csv"], 1, [],
     ["{d}/nested/broken/gone.dc", "(skipped)", "one table cannot hold"], None),
    (["plot", "{d}/clean", "-o", "{o}.png"], 0, ["wrote"],
     ["{d}/clean/op.dc: no swept data to plot: the meas_tran result holds 1 non-swept values "
      "(an operating point) (skipped)\n"], None),
    (["plot", "{d}/clean", "--strict", "-o", "{o}.png"], 1, [],
     ["{d}/clean/tr1-foreach-000.meas_tran: no swept data"], None),
    (["plot", "{d}/meas", "-o", "{o}.png"], 1, [], ["(skipped)", "no files to plot"], None),
]


@pytest.mark.parametrize("args, code, out, err, written", CASES, ids=lambda x: None)
def test_commands_on_run_directories(dirs, tmp_path, capsys, args, code, out, err, written):
    from quarn.cli import main

    argv = [a.format(d=dirs, o=tmp_path / "out") for a in args]
    if argv[0] == "plot":
        pytest.importorskip("matplotlib")
    elif argv[0] == "export":
        pytest.importorskip("pandas")
    assert main(argv) == code
    got = capsys.readouterr()
    for want in out:
        assert want.format(d=dirs) in got.out
    for want in err:
        assert want.format(d=dirs) in got.err
    if code == 0 and not any("skipped" in e or "missing" in e for e in err):
        assert got.err == ""
    outputs = list(tmp_path.glob("out.*"))
    assert len(outputs) == (code == 0 and args[0] != "info")
    if written is not None:
        assert outputs[0].read_text().startswith(written)


def test_info_json_on_a_run_directory(dirs, capsys):
    from quarn.cli import main

    assert main(["info", "--json", str(dirs / "meas"), str(dirs / "clean" / "acA.ac")]) == 1
    doc = json.loads(capsys.readouterr().out)
    assert [f["path"] for f in doc["files"]] == [str(dirs / "clean" / "acA.ac")]
    (d,) = doc["directories"]
    assert d["ok"] is False and d["header"]["simulator"] == "simx"
    (fam,) = d["families"]
    assert (fam["name"], fam["variables"], fam["values"]) == (
        "tr1_meas", ["vbias"], {"vbias": {"min": 0.3, "max": 0.9, "distinct": 3}})
    assert [(a["params"], a["ok"]) for a in d["analyses"]] == [
        ({"vbias": v}, k != 1) for k, v in enumerate(VBIAS)]
    assert d["analyses"][1]["error type"] == "FileNotFoundError"
    assert d["stale"] == [] and {"logFile"} <= {o["path"].rsplit("/", 1)[1]
                                                for o in d["other files"]}
