"""Whole files as a simulator lays them out, read back bit for bit."""

import importlib.util
import pathlib

import numpy as np
import pytest

import psfwriter
from psfwriter import REALISTIC

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

# The largest of each swept kind (about 10 MB) is decoded on more than one
# thread where the machine has more than one core.
SIZES = {
    "ac": [{}, {"points": 1}, {"points": 2001}, {"points": 90000}],
    "dc": [{}, {"points": 500}],
    "tran": [{}, {"points": 20000, "window": 512}, {"points": 64, "window": 64},
             {"points": 3, "window": 8}, {"points": 400000, "window": 2048}],
    "noise": [{}, {"points": 300}, {"points": 120000}],
    "dcop": [{}],
}
CASES = [pytest.param(name, kw, id=f"{name}-{'-'.join(map(str, kw.values())) or 'default'}")
         for name, sizes in SIZES.items() for kw in sizes]


@pytest.mark.parametrize("name, kw", CASES)
def test_realistic_file(read, check_result, name, kw):
    f, expected = REALISTIC[name](**kw)
    check_result(read(f), expected)


def test_transient_frames_are_windowed_with_a_partial_last_frame():
    f, expected = psfwriter.transient(points=1000, window=64)
    frames = [i for i in f.values if isinstance(i, psfwriter.Frame)]
    assert len(frames) == 16 and len(frames[-1].windows[0]) == 1000 - 15 * 64
    assert all(i.window_size == 64 for i in frames)
    assert any(isinstance(i, psfwriter.Padding) and i.size == 0 for i in f.values)


def test_ac_kinds(read):
    psf = read(psfwriter.ac_analysis()[0])
    assert [(s.name, s.data.dtype) for s in psf.sweeps] == [("freq", np.float64)]
    assert [t.data.dtype for t in psf.traces] == [np.complex128] * 3 + [np.float64]
    assert all(t.data.dtype.names is None for t in psf.traces)


def test_noise_struct_traces(read):
    psf = read(psfwriter.noise()[0])
    structs = {t.name: t.data for t in psf.traces if t.data.dtype.names}
    assert {k: v.dtype.names for k, v in structs.items()} == {
        k: tuple(v) for k, v in psfwriter.NOISE_MEMBERS.items()}
    for v in structs.values():
        assert v.dtype.itemsize == 8 * len(v.dtype.names)
        assert all(v.dtype.fields[n][0] == np.dtype("<f8") for n in v.dtype.names)


def test_operating_point_value_types(read):
    psf = read(psfwriter.operating_point()[0])
    kinds = {v.name: type(v.data) for v in psf.values}
    assert kinds == {"M1": dict, "M2": dict, "R1": dict, "temp": float, "iterations": int,
                     "status": str, "zin": complex, "vdd": float, "flag": int}
    m1 = psf.values[0].data
    assert list(m1) == ["vgs", "vds", "ids", "gm", "region"]
    assert type(m1["region"]) is int and type(m1["gm"]) is float
    assert repr(psf) == "<Psf sweeps=0 traces=0 values=9>"


def load_example_maker():
    spec = importlib.util.spec_from_file_location("make_example", EXAMPLES / "make_example.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("file_name", ["ac.psfbin", "opinfo.psfbin"])
def test_committed_examples_are_current_and_readable(check_result, file_name):
    import quarn

    maker = load_example_maker()
    f, expected = maker.EXAMPLES[file_name]()
    path = EXAMPLES / file_name
    assert path.read_bytes() == f.to_bytes(), "rerun examples/make_example.py"
    check_result(quarn.read_psf(str(path)), expected)
