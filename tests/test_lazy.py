"""quarn.open_psf against read_psf: the same arrays, bit for bit, whole or in
part; the same failures; and what only an open file has (closing, shrinking)."""

import os
import threading

import numpy as np
import pytest

import psfwriter
import quarn
from conftest import bits, same_value
from psfwriter import MAGIC, REALISTIC, Decl, Group, Layout, PsfFile, Record, Tag, TypeDecl

REALISTIC_CASES = [
    pytest.param(name, kw, id=f"{name}-{'-'.join(map(str, kw.values())) or 'default'}")
    for name, sizes in {
        "ac": [{}, {"points": 1}, {"points": 5000}],
        "dc": [{}],
        "tran": [{}, {"points": 3, "window": 8}, {"points": 400000, "window": 2048}],
        "noise": [{}, {"points": 3000}],
        "dcop": [{}],
    }.items() for kw in sizes]


def both(path):
    """The outcome of read_psf and of open_psf for `path`: a result, or (type, message)."""
    outcomes = []
    for reader in (quarn.read_psf, quarn.open_psf):
        try:
            outcomes.append(reader(path))
        except (OSError, ValueError) as e:
            outcomes.append((type(e), str(e), getattr(e, "__notes__", None)))
    return outcomes


def check_same(psf, f, rng, slices=8):
    """Everything of the open file `f` equals the eager result `psf`."""
    assert f.header == psf.header and list(f.header) == list(psf.header)
    for got, want in ((f.sweeps, psf.sweeps), (f.traces, psf.traces)):
        assert [(s.name, s.dtype, len(s)) for s in got] == [
            (s.name, s.data.dtype, len(s.data)) for s in want]
    for s in psf.sweeps + psf.traces:
        whole = f[s.name]
        assert whole.dtype == s.data.dtype and np.array_equal(bits(whole), bits(s.data))
        n = len(s.data)
        for start, stop in rng.integers(-n - 2, n + 2, size=(slices, 2)).tolist():
            part = f.read(s.name, start, stop)
            assert np.array_equal(bits(part), bits(s.data[start:stop])), (s.name, start, stop)
    assert [(v.name) for v in f.values] == [v.name for v in psf.values]
    assert all(same_value(a.data, b.data) for a, b in zip(f.values, psf.values))


@pytest.mark.parametrize("name, kw", REALISTIC_CASES)
def test_every_series_whole_and_sliced_equals_read_psf(tmp_path, name, kw):
    path = tmp_path / "f.psfbin"
    path.write_bytes(REALISTIC[name](**kw)[0].to_bytes())
    psf, f = both(path)
    with f:
        check_same(psf, f, np.random.default_rng(len(name)))
        # An array owns its buffer: it outlives the file and can be written.
        kept = f[psf.traces[0].name] if psf.traces else None
    if kept is not None:
        kept[:1] = kept[:1]
        assert np.array_equal(bits(kept), bits(psf.traces[0].data))


TRUNCATED = {
    "ac": psfwriter.ac_analysis,
    "tran": lambda: psfwriter.transient(points=150, window=16),
    "noise": psfwriter.noise,
    "dcop": psfwriter.operating_point,
}


@pytest.mark.parametrize("name", TRUNCATED)
def test_every_cut_fails_exactly_as_read_psf(tmp_path, name):
    """Cut at every byte, with the footer put back so that the cut reaches
    every section: opening fails iff reading fails, with the same exception."""
    data = TRUNCATED[name]()[0].to_bytes()
    path = tmp_path / "cut.psfbin"
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    rng = np.random.default_rng(0)
    for n in range(len(data) - len(MAGIC) - 4):
        # Rewritten in place: a new file per cut costs a flush on some file systems.
        os.pwrite(fd, data[:n] + data[-12:], 0)
        os.ftruncate(fd, n + 12)
        psf, f = both(path)
        if isinstance(psf, tuple):
            assert f == psf, n
        else:
            assert not isinstance(f, tuple), (n, f)
            check_same(psf, f, rng, slices=1)
            f.close()
    os.close(fd)


def declared(layout, traces, values):
    """A small file whose sweep and traces carry type and declaration properties."""
    types = [TypeDecl(1, "V", Tag.FLOAT64, props=[("units", "V"), ("scale", 1.0)]),
             TypeDecl(2, "pair", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                              TypeDecl(0, "x", Tag.FLOAT64)])]
    return PsfFile(layout, header=[("title", "props")], types=types,
                   sweeps=[Decl(1, "t", 1, props=[("units", "s")])], traces=traces, values=values)


def test_properties_are_the_declarations_over_their_types(tmp_path):
    path = tmp_path / "p.psfbin"
    traces = [Group(9, "outputs", [Decl(2, "out", 1, props=[("plot", 3)])]), Decl(3, "in", 1)]
    path.write_bytes(declared(Layout.SIMPLE, traces, [
        rec for i in range(3) for rec in (Record(1, i), Record(2, -i), Record(3, 2 * i))]).to_bytes())
    with quarn.open_psf(path) as f:
        got = [(s.name, s.properties, s.group) for s in f.sweeps + f.traces]
    assert got == [("t", {"units": "s", "scale": 1.0}, None),
                   ("out", {"units": "V", "scale": 1.0, "plot": 3}, "outputs"),
                   ("in", {"units": "V", "scale": 1.0}, None)]
    assert list(got[0][1]) == ["units", "scale"]  # the type's order, the declaration's value


def test_a_struct_whose_members_repeat_fails_as_read_psf(tmp_path):
    path = tmp_path / "dup.psfbin"
    path.write_bytes(declared(Layout.SIMPLE, [Decl(2, "n", 2)], [Record(1, 0.0)]).to_bytes())
    psf, f = both(path)
    assert isinstance(psf, tuple) and psf[0] is ValueError and f == psf


@pytest.fixture
def tran_file(tmp_path):
    path = tmp_path / "tran.psfbin"
    f, expected = psfwriter.transient(points=200000, window=512)
    path.write_bytes(f.to_bytes())
    return path, expected


@pytest.mark.parametrize("use", ["close", "with"])
def test_a_closed_file_refuses_reads_and_keeps_its_descriptors(tran_file, use):
    path, expected = tran_file
    if use == "close":
        f = quarn.open_psf(path)
        f.close()
        f.close()
    else:
        with quarn.open_psf(path) as f:
            pass
    assert f.closed and [t.name for t in f.traces] == [n for n, _ in expected.traces]
    for read in (lambda: f.read("V(in)"), lambda: f["V(in)"], lambda: f.read("nothing")):
        with pytest.raises(ValueError, match=r"^I/O operation on closed file$"):
            read()


@pytest.mark.parametrize("name", ["nothing", "", "v(in)", 3, None])
def test_an_unknown_name_is_a_key_error_naming_it(tran_file, name):
    with quarn.open_psf(tran_file[0]) as f:
        with pytest.raises(KeyError) as e:
            f.read(name)
        assert e.value.args == (name,)


def test_a_file_that_shrank_fails_the_read_as_read_psf(tran_file):
    path, expected = tran_file
    with quarn.open_psf(path) as f:
        first = f.read("V(in)", 0, 10)
        os.truncate(path, 64 * 1024)
        with pytest.raises(OSError) as e:
            f.read("V(clk)")
        prefix = f"cannot read {path}: the file shrank while it was being read (no data at offset "
        assert str(e.value).startswith(prefix) and type(e.value) is OSError
        assert int(str(e.value)[len(prefix):-1]) >= 64 * 1024
        # What was read before stays intact.
        assert np.array_equal(bits(first), bits(expected.traces[0][1][:10]))


def test_reads_and_a_close_from_several_threads(tran_file):
    """Reads run without the interpreter lock; a close meanwhile waits for them
    and later reads fail cleanly."""
    path, expected = tran_file
    want = dict(expected.traces)
    f = quarn.open_psf(path)
    outcomes = []

    def reader(name):
        for _ in range(20):
            try:
                got = f[name]
            except ValueError as e:
                outcomes.append(str(e))
                return
            outcomes.append(np.array_equal(bits(got), bits(want[name])))

    threads = [threading.Thread(target=reader, args=(n,)) for n in want]
    for t in threads:
        t.start()
    f.close()
    for t in threads:
        t.join()
    assert set(outcomes) <= {True, "I/O operation on closed file"}


@pytest.fixture
def reads(monkeypatch):
    """Every read the open files make, as (name, start, stop)."""
    made = []
    read = quarn.PsfFile._read_at

    def counted(self, i, start=None, stop=None):
        made.append(((*self.sweeps, *self.traces)[i].name, start, stop))
        return read(self, i, start, stop)

    monkeypatch.setattr(quarn.PsfFile, "_read_at", counted)
    return made


@pytest.mark.parametrize("name, trace", [("tran", "V(clk)"), ("noise", "M1"), ("ac", "V(out)")])
def test_xarray_decodes_only_what_is_indexed(tmp_path, reads, name, trace):
    xr = pytest.importorskip("xarray")
    f, expected = REALISTIC[name](**({"points": 3000} if name != "tran" else {}))
    path = tmp_path / "f.psfbin"
    path.write_bytes(f.to_bytes())
    psf = quarn.read_psf(path)
    want = {t.name: t.data for t in psf.traces}[trace]
    wanted = want if want.dtype.names is None else want.view("<f8").reshape(len(want), -1)

    ds = xr.open_dataset(path, engine="quarn")
    (axis, _), = expected.sweeps
    assert [r[0] for r in reads] == [axis]  # the index of the sweep, and nothing else
    n = len(want)
    for key in [slice(10, 20), slice(n - 7, None, 3), 5, slice(None, None, -400), slice(n, None)]:
        del reads[:]
        got = ds[trace][key].values
        chosen = np.arange(n)[key].reshape(-1)
        span = (chosen.min(), chosen.max() + 1) if len(chosen) else (n, n)
        assert reads == [(trace, *span)], key  # the points that cover the selection, once
        assert np.array_equal(bits(got), bits(wanted[key]))
    del reads[:]
    assert np.array_equal(bits(ds[trace].values), bits(wanted))
    assert reads == [(trace, 0, n)]
    ds.close()


def test_xarray_attributes_are_the_declarations_properties(tmp_path):
    xr = pytest.importorskip("xarray")
    path = tmp_path / "ac.psfbin"
    path.write_bytes(REALISTIC["ac"]()[0].to_bytes())
    with quarn.open_psf(path) as f:
        want = {s.name: dict(s.properties) for s in f.sweeps + f.traces}
    ds = xr.open_dataset(path, engine="quarn")
    assert {v: ds[v].attrs for v in want} == want
    assert ds["V(out)"].attrs["units"] == "V" and ds["freq"].attrs["units"] == "Hz"


def test_xarray_load_and_pickle_give_the_eager_values(tmp_path):
    import pickle

    xr = pytest.importorskip("xarray")
    path = tmp_path / "noise.psfbin"
    path.write_bytes(REALISTIC["noise"]()[0].to_bytes())
    eager = quarn.to_xarray(quarn.read_psf(path))
    loaded = xr.load_dataset(path, engine="quarn")
    xr.testing.assert_identical(loaded, eager)  # attributes too
    opened = xr.open_dataset(path, engine="quarn")
    again = pickle.loads(pickle.dumps(opened))
    opened.close()  # the copy reopens the file by its path
    xr.testing.assert_identical(again.load(), loaded)


@pytest.mark.parametrize("name, chosen", [
    ("ac", ["phase(out)", "V(out)"]), ("noise", ["M1"]), ("tran", []), ("tran", None),
    ("dcop", None), ("ac", ["V(out)", "nope"]), ("ac", ["freq"]),
])
def test_select_is_read_psf_with_the_chosen_traces(tmp_path, name, chosen):
    """What `quarn export/plot --trace` read: only the traces named, decoded."""
    path = tmp_path / "f.psfbin"
    path.write_bytes(REALISTIC[name]()[0].to_bytes())
    psf = quarn.read_psf(path)
    with quarn.open_psf(path) as f:
        missing = set(chosen or ()) - {t.name for t in psf.traces}
        if missing:
            with pytest.raises(KeyError) as e:
                f.select(chosen)
            assert e.value.args == (missing.pop(),)
            return
        got = f.select(chosen)
    assert type(got) is type(psf) and got.header == psf.header
    want = [t for t in psf.traces if chosen is None or t.name in chosen]
    for got_list, want_list in ((got.sweeps, psf.sweeps), (got.traces, want)):
        assert [s.name for s in got_list] == [s.name for s in want_list]
        assert all(np.array_equal(bits(a.data), bits(b.data)) for a, b in zip(got_list, want_list))
    assert [v.name for v in got.values] == [v.name for v in psf.values]
    assert all(same_value(a.data, b.data) for a, b in zip(got.values, psf.values))
