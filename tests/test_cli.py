"""The `quarn` command, run as `python -m quarn` in a subprocess: exit codes, stderr,
what it prints and the files it writes."""

import fcntl
import json
import os
import pty
import struct
import termios
import subprocess
import sys

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


def short_trace() -> bytes:
    """A swept file whose second trace got one record less than the sweep."""
    return PsfFile(
        Layout.SIMPLE, header=[("analysis type", "dc")],
        types=[TypeDecl(1, "V", Tag.FLOAT64)],
        sweeps=[Decl(10, "vin", 1)], traces=[Decl(20, "out", 1), Decl(21, "in", 1)],
        values=[Record(10, float(i)) for i in range(5)] + [Record(20, float(i)) for i in range(5)]
        + [Record(21, float(i)) for i in range(4)],
    ).to_bytes()


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """A result directory: the realistic files, a damaged one and two that do not read."""
    d = tmp_path_factory.mktemp("results")
    for name, make in psfwriter.REALISTIC.items():
        (d / f"{name}.psfbin").write_bytes(make()[0].to_bytes())
    (d / "short.psfbin").write_bytes(short_trace())
    (d / "ac17.psfbin").write_bytes(psfwriter.ac_analysis(points=17)[0].to_bytes())
    (d / "text.ac").write_bytes(b'HEADER\n"PSFversion" "1.00"\n')
    (d / "zero").write_bytes(b"")
    (d / "old.csv").write_bytes(b"x\n")
    return d


TEXT_NOTE = "  note: this is the text form"

# (arguments, exit code, lines or fragments on stdout, on stderr); {d} is the directory.
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
    (["info", "{d}/short.psfbin"],
     0, ["  warning: trace 'in' has 4 points, the sweep 'vin' has 5"], []),
    (["info", "{d}"],
     1, ["{d}/tran.psfbin  (", "{d}/short.psfbin  ("],
     ["{d}/text.ac: footer magic 'Clarissa' not found (not a psfbin file?)\n" + TEXT_NOTE,
      "{d}/zero: file too small to be psfbin (0 bytes)\n", "cannot open {d}/missing: "]),
    (["info", "--brief", "{d}"],
     1, ["{d}/ac.psfbin  ac  41 points  ", "{d}/dcop.psfbin  dcOp  1 points  "],
     ["{d}/text.ac: footer magic 'Clarissa' not found (not a psfbin file?)\n" + TEXT_NOTE]),
    (["export", "{d}/ac.psfbin", "-o", "{d}/old.csv"], 1, [], ["old.csv exists; give --force"]),
    (["export", "{d}/ac.psfbin", "{d}/noise.psfbin", "-o", "{d}/new.npz"],
     2, [], ["usage: quarn export", "a .npz file holds one result"]),
    (["export", "{d}/ac.psfbin", "-o", "{d}/new.xlsx"], 2, [], ["cannot tell the format"]),
    (["export", "{d}/dcop.psfbin", "-o", "{d}/new.npz"], 1, [], ["use .csv, .parquet or .nc"]),
    (["export", "{d}/ac.psfbin", "{d}/text.ac", "-o", "{d}/new.csv"], 1, [], [TEXT_NOTE]),
    (["export", "{d}/ac.psfbin", "--trace", "nope", "-o", "{d}/new.csv"],
     1, [], ["no trace named 'nope'"]),
    (["plot", "{d}/dcop.psfbin", "-o", "{d}/x.png"], 1, [], ["{d}/dcop.psfbin: no swept data"]),
    (["plot", "{d}/ac.psfbin", "--trace", "nope", "-o", "{d}/x.png"],
     1, [], ["no trace named 'nope'"]),
    (["plot", "{d}/text.ac", "-o", "{d}/x.png"], 1, [], [TEXT_NOTE]),
    (["plot", "{d}/ac.psfbin", "-o", "{d}/x.gif"], 2, [], ["usage: quarn plot", ".png"]),
    (["plot", "{d}/ac.psfbin"], 1, [], ["no display", "-o OUT.png"]),
]


@pytest.mark.parametrize("args, code, out, err", COMMANDS, ids=lambda x: None)
def test_command(results, args, code, out, err):
    args = [a.format(d=results) for a in args]
    if args[:1] == ["info"] and args[1:] == [str(results)]:
        args.append(f"{results}/missing")
    r = quarn(*args)
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
    assert ac["ok"] and ac["analysis type"] == "ac" and ac["values"] == 0
    assert ac["sweeps"] == [{"name": "freq", "kind": "real", "points": 41, "first": 1.0,
                             "last": 1e9}]
    assert [(t["name"], t["kind"]) for t in ac["traces"]] == [
        ("V(out)", "complex"), ("V(in)", "complex"), ("I(vdd:p)", "complex"),
        ("phase(out)", "real")]
    assert files["noise.psfbin"]["traces"][1]["members"] == psfwriter.NOISE_MEMBERS["M1"]
    assert files["short.psfbin"]["warnings"] == ["trace 'in' has 4 points, the sweep 'vin' has 5"]
    text = files["text.ac"]
    assert not text["ok"] and text["error type"] == "ValueError"
    assert text["notes"][0].startswith("this is the text form")


def _drawn(img, rgb):
    """Pixels of `img` (RGBA floats) within a little of the colour `rgb` (0-255)."""
    return np.all(np.abs(img[..., :3] * 255 - np.array(rgb)) < 40, axis=-1)


BLUE, ORANGE = (31, 119, 180), (255, 127, 14)  # matplotlib's first two line colours

# (files, --trace names, axes rows, colours drawn in every row)
PLOTS = [
    (["ac"], ["V(out)"], 2, [BLUE]),              # Bode: magnitude and phase
    (["ac", "ac17"], ["V(out)"], 2, [BLUE, ORANGE]),  # two files overlaid
    (["noise"], ["M1"], 1, [BLUE, ORANGE]),       # a struct trace: one line per member
    (["tran"], [], 1, [BLUE, ORANGE]),            # real traces against time
    (["ac"], ["V(in)", "phase(out)"], 3, [BLUE]),  # Bode pair and a real axis
]


@pytest.mark.parametrize("files, traces, rows, colours", PLOTS)
def test_plot_image(results, tmp_path, files, traces, rows, colours):
    mpimg = pytest.importorskip("matplotlib.image")
    out = tmp_path / "plot.png"
    paths = [results / f"{f}.psfbin" for f in files]
    r = quarn("plot", *paths, *[a for t in traces for a in ("--trace", t)], "-o", out)
    assert r.returncode == 0, r.stderr
    img = mpimg.imread(out)
    assert img.shape[:2] == (round(100 * (1.0 + 2.5 * rows)), 800)
    # Each row of axes (a horizontal band of the figure) has pixels of each line colour.
    bands = np.array_split(img[int(0.04 * len(img)):], rows)
    for band in bands:
        for rgb in colours:
            assert _drawn(band, rgb).sum() > 50, (rgb, len(bands))


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(results, terminal):
    pytest.importorskip("tqdm")
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
    r = subprocess.run([sys.executable, "-m", "quarn", "info", str(results)],
                       stdout=subprocess.PIPE, stderr=slave if terminal else subprocess.PIPE,
                       timeout=120)
    os.close(slave)
    err = r.stderr or b""
    while terminal:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the terminal's other end is closed and drained
            break
        err += chunk
        terminal = bool(chunk)
    os.close(master)
    assert r.returncode == 1
    assert (b"reading:" in err) == (r.stderr is None)
    assert b"text.ac: footer magic" in err


def _table_columns(expected, traces):
    """The columns a table export holds for a result: complex parts and struct members apart."""
    columns = {}
    for name, a in expected.sweeps + [(n, a) for n, a in expected.traces
                                      if not traces or n in traces]:
        if a.dtype.names:
            columns.update({f"{name}.{m}": a[m] for m in a.dtype.names})
        elif np.iscomplexobj(a):
            columns.update({f"{name}.real": a.real, f"{name}.imag": a.imag})
        else:
            columns[name] = a
    return columns


def _same_floats(got, want, nan_payloads):
    got, want = np.ascontiguousarray(got, dtype=want.dtype), np.ascontiguousarray(want)
    if nan_payloads:
        return np.array_equal(bits(got), bits(want))
    nan = np.isnan(want)
    return np.array_equal(np.isnan(got), nan) and np.array_equal(bits(got[~nan]), bits(want[~nan]))


def _read_table(path, suffix):
    pd = pytest.importorskip("pandas")
    if suffix == ".csv":
        # pandas 3 reads floats exactly by default; older versions are asked to.
        exact = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}
        return pd.read_csv(path, keep_default_na=False, na_values=[""], **exact)
    return pd.read_parquet(path)


# (suffix, files, --trace names); the two table formats also take several files.
EXPORTS = [
    (".csv", ["ac"], []), (".csv", ["ac", "noise"], []), (".csv", ["tran"], ["I(vdd)"]),
    (".parquet", ["ac", "noise"], []), (".parquet", ["ac"], ["V(out)", "phase(out)"]),
    (".npz", ["ac"], []), (".npz", ["noise"], ["M1"]),
    (".nc", ["ac"], []), (".nc", ["noise"], ["R1"]),
]
NEEDS = {".csv": ["pandas"], ".parquet": ["pandas", "pyarrow"], ".npz": [],
         ".nc": ["xarray", "h5netcdf", "h5py"]}


@pytest.mark.parametrize("suffix, files, traces", EXPORTS)
def test_export_round_trip(results, tmp_path, suffix, files, traces):
    for module in NEEDS[suffix]:
        pytest.importorskip(module)
    out = tmp_path / f"out{suffix}"
    out.write_bytes(b"old")  # replaced, since --force
    paths = [results / f"{f}.psfbin" for f in files]
    expected = {p: psfwriter.REALISTIC[f]()[1] for p, f in zip(paths, files)}
    r = quarn("export", *paths, *[a for t in traces for a in ("--trace", t)], "-o", out,
              "--force")
    assert r.returncode == 0, r.stderr
    assert r.stdout == f"wrote {out}\n" and r.stderr == ""
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # nothing partial left

    want = expected[paths[0]]
    kept = [(n, a) for n, a in want.sweeps + want.traces if not traces or n in traces
            or (n, a) in want.sweeps]
    if suffix == ".npz":
        with np.load(out) as got:
            assert list(got.keys()) == [n for n, _ in kept]
            for name, a in kept:
                assert got[name].dtype == a.dtype and np.array_equal(bits(got[name]), bits(a))
    elif suffix == ".nc":
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(out, engine="h5netcdf") as ds:
            assert sorted(ds.data_vars) == sorted(n for n, _ in kept[1:])
            assert ds.attrs == want.header
            for name, a in kept:
                assert ds[name].dtype == (a.dtype if not a.dtype.names else np.float64)
                assert np.array_equal(bits(ds[name].values), bits(a))
    else:
        df = _read_table(out, suffix)
        several = len(paths) > 1
        assert (df.columns[0] == "file") == several
        for path in paths:
            rows = df[df["file"] == str(path)] if several else df
            columns = _table_columns(expected[path], traces)
            if not several:
                assert list(df.columns) == list(columns)
            for name, col in columns.items():
                assert _same_floats(rows[name].to_numpy(), col, suffix == ".parquet"), name
