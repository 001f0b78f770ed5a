"""The `quarn` command, run as `python -m quarn` in a subprocess: exit codes, stderr,
what it prints and the files it writes."""

import contextlib
import fcntl
import json
import io
import os
import pty
import struct
import termios
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import psfwriter
from conftest import bits
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl


def quarn(*args, env=None):
    run_env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    run_env.update(env or {})
    return subprocess.run([sys.executable, "-m", "quarn", *map(str, args)], capture_output=True,
                          text=True, env=run_env, timeout=120)


def damaged(points: int, start: float = 0.0) -> bytes:
    """A swept file whose second trace got one record less than the sweep's `points`."""
    return PsfFile(
        Layout.SIMPLE, header=[("analysis type", "dc")],
        types=[TypeDecl(1, "V", Tag.FLOAT64)],
        sweeps=[Decl(10, "vin", 1)], traces=[Decl(20, "out", 1), Decl(21, "in", 1)],
        values=[Record(k, start * i) for k, n in ((10, points), (20, points), (21, points - 1))
                for i in range(n)],
    ).to_bytes()


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """A result directory: the realistic files, a damaged one and two that do not read."""
    d = tmp_path_factory.mktemp("results")
    for name, make in psfwriter.REALISTIC.items():
        (d / f"{name}.psfbin").write_bytes(make()[0].to_bytes())
    (d / "short.psfbin").write_bytes(damaged(5, start=1.0))
    (d / "inf.psfbin").write_bytes(damaged(2, start=float("-inf")))  # sweep: nan, -inf
    (d / "empty.psfbin").write_bytes(damaged(1))
    (d / "ac17.psfbin").write_bytes(psfwriter.ac_analysis(points=17)[0].to_bytes())
    (d / "text.ac").write_bytes(b'HEADER\n"PSFversion" "1.00"\nTYPE\n')  # cut short
    (d / "zero").write_bytes(b"")
    (d / "old.csv").write_bytes(b"x\n")
    (d / "old.png").write_bytes(b"x\n")
    return d


TEXT_ERROR = "text.ac: line 4, column 1: file ends before END\n"

# (arguments, exit code, lines or fragments on stdout, on stderr); {d} is the directory,
# a dict before the arguments adds to the environment.
COMMANDS = [
    (["--version"], 0, ["quarn 0.2.0"], []),
    ([], 2, [], ["usage: quarn"]),
    (["info"], 2, [], ["usage: quarn info"]),
    (["frobnicate"], 2, [], ["invalid choice"]),
    (["info", "{d}/ac.psfbin"],
     0, ["{d}/ac.psfbin  (", "  analysis: ac\n", "  sweep:    freq, 41 points, 1 .. 1e+09",
         "  traces:   4", "    V(out)      complex", "    phase(out)  real", "  values:   0"], []),
    (["info", "{d}/noise.psfbin", "{d}/dcop.psfbin"],
     0, ["    M1   struct, 4 members", "    R1   struct, 1 members", "  sweep:    none",
         "  values:   9"], []),
    (["info", "{d}/short.psfbin", "{d}/empty.psfbin"],
     0, ["  warning: trace 'in' has 4 points, the sweep 'vin' has 5",
         "  warning: trace 'in' is declared with no points\n"], []),
    (["info", "{d}"],
     1, ["{d}/tran.psfbin  (", "{d}/short.psfbin  ("],
     ["{d}/" + TEXT_ERROR,
      "{d}/zero: file too small to be psfbin (0 bytes)\n", "cannot open {d}/missing: "]),
    (["info", "--brief", "{d}"],
     1, ["{d}/ac.psfbin  ac  41 points  ", "{d}/dcop.psfbin  dcOp  not swept  ",
         "{d}/inf.psfbin  dc  -  "],
     ["{d}/" + TEXT_ERROR]),
    (["export", "{d}/ac.psfbin", "-o", "{d}/old.csv"], 1, [], ["old.csv exists; give --force"]),
    (["export", "{d}/ac.psfbin", "{d}/noise.psfbin", "-o", "{d}/new.npz"],
     2, [], ["usage: quarn export", "a .npz file holds one result"]),
    (["export", "{d}/ac.psfbin", "-o", "{d}/new.xlsx"], 2, [], ["cannot tell the format"]),
    (["export", "{d}/dcop.psfbin", "-o", "{d}/new.npz"], 1, [], ["use .csv, .parquet or .nc"]),
    (["export", "{d}/ac.psfbin", "{d}/text.ac", "-o", "{d}/new.csv"], 1, [], [TEXT_ERROR]),
    (["export", "{d}/ac.psfbin", "--trace", "nope", "-o", "{d}/new.csv"],
     1, [], ["no trace named 'nope'"]),
    (["plot", "{d}/dcop.psfbin", "-o", "{d}/x.png"],
     1, [], ["{d}/dcop.psfbin: no swept data", "quarn info --json", "quarn.to_pandas"]),
    (["plot", "{d}/dc.psfbin", "{d}/ac.psfbin", "-o", "{d}/x.png"],
     1, [], ["sweep 'vin' in {d}/dc.psfbin; sweep 'freq' in {d}/ac.psfbin"]),
    (["plot", "{d}/ac.psfbin", "--trace", "nope", "-o", "{d}/x.png"],
     1, [], ["no trace named 'nope'"]),
    (["plot", "{d}/text.ac", "-o", "{d}/x.png"], 1, [], [TEXT_ERROR]),
    (["plot", "{d}/ac.psfbin", "-o", "{d}/x.gif"], 2, [], ["usage: quarn plot", ".png"]),
    (["plot", "{d}/ac.psfbin", "-o", "{d}/old.png"], 1, [], ["old.png exists; give --force"]),
    (["plot", "{d}/ac.psfbin"], 1, [], ["no display", "-o OUT.png"]),
    ([{"DISPLAY": ":9", "MPLBACKEND": "agg"}, "plot", "{d}/ac.psfbin"],
     1, [], ["no window toolkit", "-o OUT.png"]),
]


@pytest.mark.parametrize("args, code, out, err", COMMANDS, ids=lambda x: None)
def test_command(results, args, code, out, err):
    env = args[0] if args and isinstance(args[0], dict) else None
    args = [a.format(d=results) for a in args[bool(env):]]
    if args[:1] == ["info"] and args[1:] == [str(results)]:
        args.append(f"{results}/missing")
    r = quarn(*args, env=env)
    assert r.returncode == code, r.stderr
    for want in out:
        assert want.format(d=results) in r.stdout
    for want in err:
        assert want.format(d=results) in r.stderr
    assert "Traceback" not in r.stderr
    if code == 0 and args[0] != "--version":
        assert r.stderr == ""
    assert not any(p.name.startswith("new") for p in results.iterdir())


def test_info_json(results):
    r = quarn("info", "--json", results)
    assert r.returncode == 1
    files = {os.path.basename(f["path"]): f for f in json.loads(r.stdout)["files"]}
    assert sorted(files) == sorted(p.name for p in results.iterdir())
    ac = files["ac.psfbin"]
    assert ac["ok"] and ac["analysis type"] == "ac" and ac["values"] == []
    assert ac["sweeps"] == [{"name": "freq", "kind": "real", "points": 41, "first": 1.0,
                             "last": 1e9}]
    assert [(t["name"], t["kind"]) for t in ac["traces"]] == [
        ("V(out)", "complex"), ("V(in)", "complex"), ("I(vdd:p)", "complex"),
        ("phase(out)", "real")]
    assert files["noise.psfbin"]["traces"][1]["members"] == psfwriter.NOISE_MEMBERS["M1"]
    assert files["short.psfbin"]["warnings"] == ["trace 'in' has 4 points, the sweep 'vin' has 5"]
    assert (files["inf.psfbin"]["sweeps"][0]["first"], files["inf.psfbin"]["sweeps"][0]["last"]) \
        == ("nan", "-inf")
    assert files["dcop.psfbin"]["values"][1:6:4] == [
        {"name": "M2", "kind": "struct", "members": ["vgs", "vds", "ids", "gm", "region"],
         "value": {"vgs": 0.0, "vds": -0.0, "ids": "nan", "gm": 0.0, "region": 255}},
        {"name": "status", "kind": "string", "value": "converged \u2713"}]
    text = files["text.ac"]
    assert not text["ok"] and text["error type"] == "ValueError"
    assert text["error"].endswith("file ends before END")


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(results, terminal):
    pytest.importorskip("tqdm")
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
    r = subprocess.run([sys.executable, "-m", "quarn", "info", str(results)],
                       stdout=subprocess.PIPE, stderr=slave if terminal else subprocess.PIPE,
                       timeout=120)
    os.close(slave)
    err = os.read(master, 1 << 16) if terminal else r.stderr  # what the terminal got
    os.close(master)
    assert r.returncode == 1
    assert (b"reading:" in err) == (r.stderr is None)
    assert TEXT_ERROR.strip().encode() in err


def _same(got, want, nan_payloads=True):
    """Bit for bit; without `nan_payloads`, any NaN matches any NaN."""
    got = np.asarray(got)
    if not nan_payloads:
        nan = np.isnan(want)
        if not np.array_equal(np.isnan(got), nan):
            return False
        got, want = got[~nan], want[~nan]
    return np.array_equal(bits(got), bits(want))


def _columns(arrays):
    """The columns of a table export: complex parts and struct members apart."""
    for name, a in arrays:
        parts = ({f"{name}.{m}": a[m] for m in a.dtype.names} if a.dtype.names else
                 {f"{name}.real": a.real, f"{name}.imag": a.imag} if np.iscomplexobj(a) else
                 {name: a})
        yield from parts.items()


# (suffix, files, --trace names); the two table formats also take several files.
EXPORTS = [
    (".csv", ["ac"], []), (".csv", ["ac", "noise"], []), (".csv", ["tran"], ["I(vdd)"]),
    (".parquet", ["ac", "noise"], []), (".parquet", ["ac"], ["V(out)", "phase(out)"]),
    (".npz", ["ac"], []), (".npz", ["noise"], ["R1"]),
    (".nc", ["ac"], []), (".nc", ["noise"], ["M1"]),
]
NEEDS = {".csv": ["pandas"], ".parquet": ["pandas", "pyarrow"], ".npz": [],
         ".nc": ["xarray", "h5netcdf", "h5py"]}


@pytest.mark.parametrize("suffix, files, traces", EXPORTS)
def test_export_round_trip(results, tmp_path, suffix, files, traces):
    modules = [pytest.importorskip(m) for m in NEEDS[suffix]]
    out = tmp_path / f"out{suffix}"
    out.write_bytes(b"old")  # replaced, since --force
    paths = [results / f"{f}.psfbin" for f in files]
    r = quarn("export", *paths, *[a for t in traces for a in ("--trace", t)], "-o", out,
              "--force")
    assert (r.returncode, r.stdout, r.stderr) == (0, f"wrote {out}\n", "")
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # nothing partial left
    kept = {p: psfwriter.REALISTIC[f]()[1] for p, f in zip(paths, files)}
    kept = {p: (e.header, e.sweeps + [(n, a) for n, a in e.traces if not traces or n in traces])
            for p, e in kept.items()}
    header, arrays = kept[paths[0]]

    if suffix == ".npz":
        with np.load(out) as got:
            assert list(got.keys()) == [n for n, _ in arrays]
            assert all(got[n].dtype == a.dtype and _same(got[n], a) for n, a in arrays)
    elif suffix == ".nc":
        with modules[0].open_dataset(out, engine="h5netcdf") as ds:
            assert sorted(ds.data_vars) == sorted(n for n, _ in arrays[1:])
            assert ds.attrs == header
            assert all(_same(ds[n].values, a) for n, a in arrays)
    else:
        pd = modules[0]
        # pandas 3 reads floats exactly by default; older versions are asked to.
        exact = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}
        df = (pd.read_csv(out, keep_default_na=False, na_values=[""], **exact)
              if suffix == ".csv" else pd.read_parquet(out))
        several = len(paths) > 1
        assert (df.columns[0] == "file") == several
        for path, (_, arrays) in kept.items():
            rows = df[df["file"] == str(path)] if several else df
            columns = dict(_columns(arrays))
            assert several or list(df.columns) == list(columns)
            assert all(_same(rows[n].to_numpy(), a, suffix == ".parquet")
                       for n, a in columns.items())



@pytest.mark.parametrize("force, links", [(False, True), (True, True), (False, False)])
def test_output_file_never_replaces_a_file_made_meanwhile(tmp_path, monkeypatch, force, links):
    from quarn.cli._common import CommandError, output_file

    if not links:  # a file system without hard links
        monkeypatch.setattr(os, "link", lambda *a: (_ for _ in ()).throw(OSError(1, "EPERM")))
    out = tmp_path / "out.csv"
    with output_file(out, force) as partial:
        partial.write_text("new")
    with contextlib.nullcontext() if force else pytest.raises(CommandError, match="--force"):
        with output_file(out, force) as partial:
            out.write_text("theirs")  # OUT appears while the file is written
            partial.write_text("ours")
    assert out.read_text() == ("ours" if force else "theirs")
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv"]
    umask = os.umask(0o022)
    os.umask(umask)
    assert out.stat().st_mode & 0o777 == 0o666 & ~umask  # not mkstemp's 0600


def test_export_follows_no_planted_name_and_one_of_two_exports_wins(results, tmp_path):
    (tmp_path / "notes.txt").write_text("mine")
    (tmp_path / ".result.partial.csv").symlink_to(tmp_path / "notes.txt")  # the old name
    out = tmp_path / "result.csv"
    runs = [subprocess.Popen([sys.executable, "-m", "quarn", "export", results / "tran.psfbin",
                              "-o", out], stderr=subprocess.PIPE, text=True) for _ in range(2)]
    done = sorted((p.wait(timeout=120), p.stderr.read()) for p in runs)
    assert [code for code, _ in done] == [0, 1] and "exists; give --force" in done[1][1]
    assert (tmp_path / "notes.txt").read_text() == "mine"
    assert len(list(tmp_path.iterdir())) == 3


@pytest.fixture
def full_disk(tmp_path):
    """A directory on a file system of 256 KiB, 240 KiB of it taken."""
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(tmp_path)],
                      capture_output=True).returncode:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    try:
        (tmp_path / "filler").write_bytes(bytes(240 << 10))
        yield tmp_path
    finally:
        subprocess.run(["umount", str(tmp_path)], check=True)


# (command, OUT's suffix, what it needs); ".nc!" turns the free-space check off, so that
# the file made in memory meets the full disk.
@pytest.mark.parametrize("command, suffix, needs", [
    ("export", ".csv", "pandas"), ("export", ".parquet", "pyarrow"), ("export", ".npz", "numpy"),
    ("export", ".nc", "h5netcdf"), ("export", ".nc!", "h5netcdf"),
    ("plot", ".png", "matplotlib"), ("plot", ".svg", "matplotlib"), ("plot", ".pdf", "matplotlib"),
])
def test_full_disk_gives_one_line(results, full_disk, command, suffix, needs):
    pytest.importorskip(needs)
    if suffix == ".nc!" and not _netcdf4_in_memory():
        pytest.skip("this xarray cannot make netCDF-4 in memory: export writes in place, "
                    "behind the free-space check alone (a documented limitation)")
    out = full_disk / f"out{suffix.rstrip('!')}"
    patch = "import quarn.cli.export as e; e._check_room = lambda *a: None; " * suffix.endswith("!")
    r = subprocess.run([sys.executable, "-c", f"{patch}import sys, quarn.cli; "
                        "sys.exit(quarn.cli.main(sys.argv[1:]))", command,
                        results / "tran.psfbin", "-o", out], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 1 and r.stderr.startswith(f"quarn: error: cannot write {out}: ")
    assert r.stderr.count("\n") == 1 and ("free space" in r.stderr) == (suffix == ".nc")
    assert [p.name for p in full_disk.iterdir()] == ["filler"]


@pytest.mark.parametrize("script, code, err", [
    # An interrupt while the subcommands (and NumPy) load.
    ("""class Interrupt:
           def find_spec(self, name, *args):
               if name == "quarn.cli.export":
                   raise KeyboardInterrupt
       sys.meta_path.insert(0, Interrupt())""", 130, "quarn: interrupted\n"),
    # Files removed once read keep the sizes they had.
    ("""read_many = quarn.read_many
       def removing(paths, **kwargs):
           results = list(read_many(paths := list(paths), **kwargs))
           for path in paths:
               os.unlink(path)
           return iter(results)
       quarn.read_many = removing""", 0, ""),
    ("sys.stdout = open('/dev/full', 'w')",
     1, "quarn: error: cannot write the output: No space left on device\n")])
def test_info_failures_give_one_line(results, tmp_path, script, code, err):
    paths = [tmp_path / f"{k}.psfbin" for k in range(3)]
    for p in paths:
        p.write_bytes((results / "ac.psfbin").read_bytes())
    script = "import os, sys, quarn, quarn.cli\n" + textwrap.dedent("       " + script)
    r = subprocess.run([sys.executable, "-c", script + "\nsys.exit(quarn.cli.main(['info', "
                        "*sys.argv[1:]]))", *paths], capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stderr) == (code, err)
    if code == 0:
        size = (results / "ac.psfbin").stat().st_size
        assert [ln for ln in r.stdout.splitlines() if "bytes)" in ln] == [
            f"{p}  ({size} bytes)" for p in paths]


@pytest.mark.parametrize("made, args, code, out, err", [
    ([], [], 1, "", "{d} holds no files\n"),
    (["a/", "b/.hidden", ".c/x.psfbin"], [], 1, "",
     "{d} holds no files, only 3 directories; give -r to read the files in its subdirectories\n"),
    (["a/", "b/.hidden", ".c/x.psfbin"], ["-r"], 1, "", "{d} holds no files in it or under it\n"),
    (["a/run2.psfbin", "a/b/run1.psfbin", "a/.x/old.psfbin", ".y.psfbin"], ["-r", "--brief"], 0,
     "{d}/a/b/run1.psfbin  ac  41 points  5064 bytes\n{d}/a/run2.psfbin  ac  41 points  5064 "
     "bytes\n", ""),
])
def test_info_on_directories(results, tmp_path, capsys, made, args, code, out, err):
    from quarn.cli import main

    for name in made:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.mkdir() if name.endswith("/") else path.write_bytes(
            (results / "ac.psfbin").read_bytes())
    assert main(["info", *args, str(tmp_path)]) == code
    got = capsys.readouterr()
    assert (got.out, got.err.removeprefix("quarn: error: ")) == (
        out.format(d=tmp_path), err.format(d=tmp_path))


def test_info_escapes_what_is_not_printable(tmp_path):
    names = ["\x1b[31mred", "tab\there", "caf\u00e9 \u2028"]
    path = tmp_path / "esc\x07.psfbin"
    path.write_bytes(PsfFile(
        Layout.SIMPLE, header=[("analysis type", "dc")], types=[TypeDecl(7, "V", Tag.FLOAT64)],
        sweeps=[Decl(10, "sw\x1b]0;title\x07", 7)],
        traces=[Decl(11 + k, n, 7) for k, n in enumerate(names)],
        values=[Record(10 + k, 1.0) for k in range(len(names) + 1)]).to_bytes())
    r = quarn("info", path)
    assert r.returncode == 0 and all(ln.isprintable() for ln in r.stdout.splitlines())
    for want in ["esc\\x07.psfbin", "sweep:    sw\\x1b]0;title\\x07, 1 points",
                 "\\x1b[31mred", "tab\\there", "caf\u00e9 \\u2028"]:
        assert want in r.stdout
    (entry,) = json.loads(quarn("info", "--json", path).stdout)["files"]
    assert [t["name"] for t in entry["traces"]] == names


def _netcdf4_in_memory() -> bool:
    import xarray as xr

    image = io.BytesIO()
    try:
        xr.Dataset({"a": ("x", [1.0])}).to_netcdf(image, engine="h5netcdf")
    except (ValueError, ImportError):
        return False
    return image.getvalue().startswith(b"\x89HDF")
