"""Results travel: a Psf, Sweep, Trace or Value pickles and unpickles bit for bit."""

import concurrent.futures
import copy
import multiprocessing
import pickle

import numpy as np
import pytest

import quarn
from conftest import bits, check_result, same_value
from psfwriter import REALISTIC, Decl, Expected, Layout, PsfFile, Tag, TypeDecl, _bits

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
NAN = float(_bits(0x7FF8_0000_0000_0ABC)[0])
NEG_NAN = float(_bits(0xFFF4_0000_0000_0001)[0])


def nan_values():
    """Non-swept values whose floats are NaNs with payloads: plain, in a complex, in a struct,
    and in the header, where pickle's text protocol would write them as 'nan'."""
    values = [("x", 1, NAN), ("z", 2, complex(1.5, NEG_NAN)), ("w", 2, complex(NAN, NEG_NAN)),
              ("dev", 3, {"a": NEG_NAN, "b": -0.0, "n": 7})]
    f = PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcOp"), ("tnom", NAN)],
                types=[TypeDecl(1, "f", Tag.FLOAT64), TypeDecl(2, "c", Tag.COMPLEX),
                       TypeDecl(3, "s", Tag.STRUCT, [TypeDecl(0, "a", Tag.FLOAT64),
                                                     TypeDecl(0, "b", Tag.FLOAT64),
                                                     TypeDecl(0, "n", Tag.INT32)])],
                values=[Decl(10 + i, n, t, v) for i, (n, t, v) in enumerate(values)])
    return f, Expected(dict(f.header), values=[(n, v) for n, _, v in values])


FILES = {**REALISTIC, "nan_values": nan_values}


@pytest.fixture(params=sorted(FILES))
def written(request, tmp_path):
    f, expected = FILES[request.param]()
    path = tmp_path / f"{request.param}.psfbin"
    path.write_bytes(f.to_bytes())
    return path, expected


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip_is_exact(written, protocol):
    path, expected = written
    psf = quarn.read_psf(path)
    again = pickle.loads(pickle.dumps(psf, protocol))
    assert type(again) is quarn.Psf and again is not psf
    check_result(again, expected)
    # Each result alone, and a list holding the same array twice (the memo keeps it one).
    for one in [*psf.sweeps, *psf.traces, *psf.values]:
        got = pickle.loads(pickle.dumps(one, protocol))
        assert type(got) is type(one) and got.name == one.name
        if isinstance(one.data, np.ndarray):
            assert got.data.dtype == one.data.dtype
            assert np.array_equal(bits(got.data), bits(one.data))
        else:
            assert same_value(got.data, one.data)
    if psf.traces:
        pair = pickle.loads(pickle.dumps([psf.traces[0], psf.traces[0]], protocol))
        assert pair[0] is pair[1]


def _read_and_return(path, sent):
    # In the worker: a Psf unpickled there (sent) and one read there travel back.
    return sent, quarn.read_psf(path)


def test_process_pool_returns_results(tmp_path):
    expected = []
    paths = []
    for name in ("ac", "noise", "dcop"):
        f, want = FILES[name]()
        paths.append(tmp_path / f"{name}.psfbin")
        paths[-1].write_bytes(f.to_bytes())
        expected.append(want)
    # spawn: the worker is a fresh interpreter that must import quarn to unpickle.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        futures = [pool.submit(_read_and_return, str(p), quarn.read_psf(p)) for p in paths]
        for future, want in zip(futures, expected):
            sent, read = future.result(timeout=120)
            check_result(sent, want)
            check_result(read, want)


def test_rebuild_takes_only_what_the_reader_makes(tmp_path):
    f, _ = REALISTIC["ac"]()
    path = tmp_path / "ac.psfbin"
    path.write_bytes(f.to_bytes())
    psf = quarn.read_psf(path)
    sweep, trace = psf.sweeps[0], psf.traces[0]
    native = quarn._native
    bad = [
        (native.rebuild_named, ("Sweep", "x", [1.0, 2.0]), TypeError),
        (native.rebuild_named, ("Trace", "x", np.zeros((2, 2))), TypeError),
        (native.rebuild_named, ("Value", "x", object()), TypeError),
        (native.rebuild_named, ("Value", "x", True), TypeError),
        (native.rebuild_named, ("Psf", "x", 1.0), ValueError),
        (native.rebuild_named, ("Value", b"x", 1.0), TypeError),
        (native.rebuild_psf, ([], (), (), ()), TypeError),
        (native.rebuild_psf, ({}, (trace,), (), ()), TypeError),
        (native.rebuild_psf, ({}, (sweep,), iter([trace]), ()), TypeError),
    ]
    for fn, args, exc in bad:
        with pytest.raises(exc):
            fn(*args)
    made = native.rebuild_psf({"k": 1}, [sweep], (trace,), ())
    assert (made.header, made.sweeps, made.traces) == ({"k": 1}, [sweep], [trace])
    # copy goes through the same reducers: a shallow copy shares the results, a deep one not.
    shallow, deep = copy.copy(psf), copy.deepcopy(psf)
    assert shallow.traces == psf.traces and shallow.header == psf.header
    assert deep.traces[0] is not trace and deep.traces[0].data is not trace.data
    assert np.array_equal(bits(deep.traces[0].data), bits(trace.data))
    with pytest.raises(TypeError, match="cannot create"):
        quarn.Psf()
