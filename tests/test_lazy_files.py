"""The open file behind `open_psf` and the xarray engine, used carelessly:
names a sweep and a trace share, files rewritten under a pickled Dataset,
forks, descriptor limits, other SIGBUS handlers, and wrong argument types.
Whatever may hang or crash runs in a child interpreter."""

import copy
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC, Decl, Layout, PsfFile, Record, Tag, TypeDecl

PACKAGE_ROOT = os.path.dirname(os.path.abspath(quarn.__path__[0]))


def run_child(code, *args, timeout=120):
    path = os.pathsep.join([PACKAGE_ROOT, os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, PYTHONPATH=path)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def clash_file(points=5):
    """A DC sweep `vi` whose swept source's node is also recorded as trace `vi`."""
    vi = np.linspace(0.0, 1.0, points)
    out = vi * vi
    node = vi + 0.5
    f = PsfFile(Layout.SIMPLE, header=[("PSF sweep points", points)],
                types=[TypeDecl(7, "V", Tag.FLOAT64, props=[("units", "V")])],
                sweeps=[Decl(10, "vi", 7)],
                traces=[Decl(20, "out", 7), Decl(21, "vi", 7)],
                values=[Record(10, x) for x in vi] + [Record(20, x) for x in out]
                + [Record(21, x) for x in node])
    return f.to_bytes(), vi, out, node


@pytest.fixture
def clash(tmp_path):
    data, vi, out, node = clash_file()
    path = tmp_path / "dc.psfbin"
    path.write_bytes(data)
    return path, vi, out, node


def test_a_trace_named_like_the_sweep_is_asked_for_by_its_label(clash):
    path, vi, out, node = clash
    with quarn.open_psf(path) as f:
        assert [(s.name, s.label) for s in (*f.sweeps, *f.traces)] == [
            ("vi", "vi"), ("out", "out"), ("vi", "vi (trace)")]
        np.testing.assert_array_equal(f["vi (trace)"], node)
        np.testing.assert_array_equal(f.read("vi (trace)", 1, 3), node[1:3])
        np.testing.assert_array_equal(f[f.sweeps[0]], vi)
        np.testing.assert_array_equal(f[f.traces[1]], node)
        for ask in (lambda: f["vi"], lambda: f.read("vi", 0, 2)):
            with pytest.raises(KeyError, match=r"'vi' names both a sweep and a trace: ask for the "
                                               r"trace as 'vi \(trace\)' and for the sweep by its "
                                               r"SeriesInfo, f\[f.sweeps\[0\]\]"):
                ask()
        # select() chooses among traces only: either name of the trace is clear.
        for chosen in (["vi (trace)"], ["vi"]):
            psf = f.select(chosen)
            assert [t.name for t in psf.traces] == ["vi"]
            np.testing.assert_array_equal(psf.traces[0].data, node)
        with pytest.raises(KeyError):
            f.select(["nope"])


@pytest.mark.parametrize("call, message", [
    (lambda f, p: quarn.to_pandas(str(p)), r"to_pandas\(\) takes a Psf, not str: read the file"),
    (lambda f, p: quarn.to_pandas(p), r"to_pandas\(\) takes a Psf, not PosixPath: read the file"),
    (lambda f, p: quarn.to_pandas(f), r"to_pandas\(\) takes a Psf, not PsfFile: .*f.select\(\)"),
    (lambda f, p: quarn.to_pandas(42), r"to_pandas\(\) takes a Psf, not int"),
    (lambda f, p: f.select("out"), r"select\(\) takes an iterable of trace names, not a single "
                                   r"name: select\(\['out'\]\)"),
    (lambda f, p: copy.copy(f), "cannot be copied"),
    (lambda f, p: copy.deepcopy(f), "cannot be copied"),
    (lambda f, p: pickle.dumps(f), "cannot be pickled"),
])
def test_wrong_arguments_raise_type_error(clash, call, message):
    path = clash[0]
    with quarn.open_psf(path) as f:
        with pytest.raises(TypeError, match=message):
            call(f, path)
        assert not f.closed and len(f["out"]) == 5  # a failed copy leaves the file as it was


def test_an_open_file_holds_no_descriptor(tmp_path):
    path = tmp_path / "tran.psfbin"
    path.write_bytes(REALISTIC["tran"](points=20_000, window=256)[0].to_bytes())
    before = len(os.listdir("/proc/self/fd"))
    files = [quarn.open_psf(path) for _ in range(20)]
    assert len(os.listdir("/proc/self/fd")) == before
    want = quarn.read_psf(path).traces[0].data
    np.testing.assert_array_equal(files[-1][quarn.read_psf(path).traces[0].name], want)
    for f in files:
        f.close()


# Each way a file at the path stops being the one opened: rewritten shorter in
# place, replaced by another file (a new inode), rewritten with the same bytes
# later (a new modification time).
def shorter(path):
    path.write_bytes(REALISTIC["tran"](points=100, window=16)[0].to_bytes())


def replaced(path):
    other = path.with_name("other")
    other.write_bytes(path.read_bytes())
    os.replace(other, path)


def touched(path):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000))


@pytest.mark.parametrize("change", [shorter, replaced, touched])
def test_a_reopened_dataset_refuses_a_changed_file(tmp_path, change):
    xr = pytest.importorskip("xarray")
    path = tmp_path / "tran.psfbin"
    path.write_bytes(REALISTIC["tran"](points=3000, window=64)[0].to_bytes())
    with xr.open_dataset(path, engine="quarn") as ds:
        shipped = pickle.dumps(ds)  # as Dask ships it to a worker
        intact = pickle.loads(shipped).load()
    xr.testing.assert_identical(intact, xr.open_dataset(path, engine="quarn").load())
    change(path)
    with pytest.raises(OSError, match=f"cannot read {path}: the file changed since it was opened"):
        pickle.loads(shipped).load()


def test_a_closed_dataset_still_computes(tmp_path):
    xr = pytest.importorskip("xarray")
    path = tmp_path / "ac.psfbin"
    path.write_bytes(REALISTIC["ac"]()[0].to_bytes())
    ds = xr.open_dataset(path, engine="quarn")
    ds.close()
    xr.testing.assert_identical(ds.load(), xr.open_dataset(path, engine="quarn").load())


def test_the_engine_reads_a_trace_named_like_the_sweep_after_a_reopen(clash):
    xr = pytest.importorskip("xarray")
    path, vi, out, node = clash
    ds = xr.open_dataset(path, engine="quarn")
    ds.close()
    for reopened in (ds, pickle.loads(pickle.dumps(ds))):
        np.testing.assert_array_equal(reopened["vi (trace)"].values, node)
        np.testing.assert_array_equal(reopened["vi"].values, vi)


def test_open_mfdataset_beyond_the_descriptor_limit(tmp_path):
    """More files than descriptors allowed, at most file_cache_maxsize open."""
    pytest.importorskip("xarray")
    pytest.importorskip("dask")
    data = REALISTIC["tran"](points=50, window=16)[0].to_bytes()
    for i in range(300):
        (tmp_path / f"run{i:03}.psfbin").write_bytes(data)
    child = run_child("""
        import glob, resource, sys
        import xarray as xr
        resource.setrlimit(resource.RLIMIT_NOFILE, (96, 96))
        paths = sorted(glob.glob(sys.argv[1] + "/run*.psfbin"))
        with xr.set_options(file_cache_maxsize=32):
            ds = xr.open_mfdataset(paths, engine="quarn", combine="nested", concat_dim="run")
            total = ds.load()
        ds.close()
        print(total.sizes["run"], len(total.data_vars))
    """, tmp_path)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["300", "3"]


def test_open_mfdataset_names_the_file_that_failed(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    data = REALISTIC["tran"](points=50, window=16)[0].to_bytes()
    paths = [tmp_path / f"run{i}.psfbin" for i in range(3)]
    for p in paths:
        p.write_bytes(data)
    paths[1].write_bytes(data[:-12] + b"notafooter!!")
    with pytest.raises(ValueError, match="footer magic") as e:
        xr.open_mfdataset(paths, engine="quarn", combine="nested", concat_dim="run")
    assert f"while opening {str(paths[1])!r}" in e.value.__notes__


FORKED_CLOSE = """
import os, sys, threading, quarn
path, how = sys.argv[1], sys.argv[2]
if how == "dataset":
    import xarray as xr
    ds = xr.open_dataset(path, engine="quarn")
    var = ds[list(ds.data_vars)[0]].variable
    read, close = (lambda: var[:].values), ds.close
else:
    f = quarn.open_psf(path)
    name = f.traces[0].name
    read, close = (lambda: f[name]), f.close
stop = False
def reader():
    while not stop:
        read()
threads = [threading.Thread(target=reader) for _ in range(2)]
for t in threads:
    t.start()
children = []
for _ in range(20):
    pid = os.fork()
    if pid == 0:  # whatever the parent's threads held at the fork, never wait for it
        import faulthandler
        faulthandler.dump_traceback_later(30, exit=True)  # a hang: its stack, exit code 1
        close()
        read_again = how == "dataset"  # a closed Dataset opens its file again
        if read_again:
            read()
        os._exit(0)
    children.append(pid)
codes = [os.waitpid(pid, 0)[1] for pid in children]
stop = True
for t in threads:
    t.join()
print(codes.count(0))
"""


@pytest.mark.parametrize("how", ["file", "dataset"])
def test_close_in_a_forked_child_never_blocks(tmp_path, how):
    if how == "dataset":
        pytest.importorskip("xarray")
    path = tmp_path / "tran.psfbin"
    path.write_bytes(REALISTIC["tran"](points=200_000, window=1024)[0].to_bytes())
    child = run_child(FORKED_CLOSE, path, how, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["20"], child.stderr[-3000:]


@pytest.mark.parametrize("enable", ["after the first read", "before it"])
def test_the_shrink_guard_survives_a_later_faulthandler(tmp_path, enable):
    """A file cut under its mapping raises the documented OSError whether
    faulthandler took SIGBUS before or after quarn's first read; a foreign
    SIGBUS still reaches faulthandler, which reports it once, and ends the
    process."""
    path = tmp_path / "tran.psfbin"
    path.write_bytes(REALISTIC["tran"](points=400_000, window=1024)[0].to_bytes())
    child = run_child(f"""
        import faulthandler, os, signal, sys, quarn
        path = sys.argv[1]
        if {enable != "after the first read"}:
            faulthandler.enable()
        f = quarn.open_psf(path)
        quarn.read_psf(path)
        faulthandler.enable()
        os.truncate(path, 1 << 20)
        try:
            f.read(f.traces[-1].name)
        except OSError as e:
            print(e, flush=True)
        os.kill(os.getpid(), signal.SIGBUS)
        print("survived")
    """, path)
    assert child.returncode == -signal.SIGBUS, child.stderr[-2000:]
    assert child.stdout.startswith(
        f"cannot read {path}: the file shrank while it was being read (no data at offset ")
    assert "survived" not in child.stdout
    assert child.stderr.count("Fatal Python error: Bus error") == 1


def test_one_internal_error_class():
    assert quarn.InternalError is quarn._native.InternalError
    cls = quarn.InternalError
    assert (cls.__module__, cls.__name__) == ("quarn._quarn", "InternalError")
    assert quarn.InternalError.__bases__ == (BaseException,)
    assert "InternalError" in quarn.__all__
    assert not hasattr(quarn._quarn, "InternalError")  # its surface stays as specified


def test_every_reader_raises_the_one_internal_error(tmp_path):
    """Without NumPy, each reader raises the class `quarn.InternalError` is."""
    path = tmp_path / "ac.psfbin"
    path.write_bytes(REALISTIC["ac"]()[0].to_bytes())
    fake = os.path.join(os.path.dirname(__file__), "fake_numpy", "stub")
    child = run_child("""
        import sys
        sys.path.insert(0, sys.argv[2])
        import quarn
        path = sys.argv[1]
        for read in (lambda: quarn.read_psf(path), lambda: list(quarn.read_many([path])),
                     lambda: quarn.open_psf(path)):
            try:
                read()
            except quarn.InternalError as e:
                print(type(e) is quarn.InternalError, str(e).split(":")[0])
    """, path, fake)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.splitlines() == ["True Failed to access NumPy array API capsule"] * 3
