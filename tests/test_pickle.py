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


def nan_values():
    """NaNs with payloads in a float, a complex, a struct and the header: pickle's text
    protocol writes a float as 'nan', which keeps no payload."""
    nan, neg = float(_bits(0x7FF8_0000_0000_0ABC)[0]), float(_bits(0xFFF4_0000_0000_0001)[0])
    values = [("x", 1, nan), ("z", 2, complex(1.5, neg)), ("d", 3, {"a": neg, "n": 7})]
    f = PsfFile(Layout.NONSWEPT, header=[("tnom", nan)],
                types=[TypeDecl(1, "f", Tag.FLOAT64), TypeDecl(2, "c", Tag.COMPLEX),
                       TypeDecl(3, "s", Tag.STRUCT, [TypeDecl(0, "a", Tag.FLOAT64),
                                                     TypeDecl(0, "n", Tag.INT32)])],
                values=[Decl(10 + i, n, t, v) for i, (n, t, v) in enumerate(values)])
    return f, Expected(dict(f.header), values=[(n, v) for n, _, v in values])


FILES = {**REALISTIC, "nan_values": nan_values}


def written(tmp_path, name):
    f, expected = FILES[name]()
    (tmp_path / name).write_bytes(f.to_bytes())
    return tmp_path / name, expected


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", sorted(FILES))
def test_round_trip_is_exact(tmp_path, name, protocol):
    path, expected = written(tmp_path, name)
    psf = quarn.read_psf(path)
    check_result(pickle.loads(pickle.dumps(psf, protocol)), expected)
    for one in [*psf.sweeps, *psf.traces, *psf.values]:
        got = pickle.loads(pickle.dumps(one, protocol))
        assert type(got) is type(one) and got.name == one.name
        if isinstance(one.data, np.ndarray):
            assert got.data.dtype == one.data.dtype
            assert np.array_equal(bits(got.data), bits(one.data))
        else:
            assert same_value(got.data, one.data)


def _echo_and_read(path, sent):
    return sent, quarn.read_psf(path)


def test_process_pool_sends_and_returns_results(tmp_path):
    files = [written(tmp_path, name) for name in ("ac", "noise", "dcop")]
    # spawn: a fresh interpreter, which imports quarn to unpickle what it is sent.
    spawn = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
        futures = [pool.submit(_echo_and_read, str(p), quarn.read_psf(p)) for p, _ in files]
        for future, (_, expected) in zip(futures, files):
            for result in future.result(timeout=120):
                check_result(result, expected)


def test_rebuild_takes_only_what_the_reader_makes(tmp_path):
    psf = quarn.read_psf(written(tmp_path, "ac")[0])
    sweep, trace = psf.sweeps[0], psf.traces[0]
    rebuild_named, rebuild_psf = quarn._native.rebuild_named, quarn._native.rebuild_psf
    for fn, args, exc in [(rebuild_named, ("Sweep", "x", [1.0, 2.0]), TypeError),
                          (rebuild_named, ("Trace", "x", np.zeros((2, 2))), TypeError),
                          (rebuild_named, ("Value", "x", True), TypeError),
                          (rebuild_named, ("Psf", "x", 1.0), ValueError),
                          (rebuild_psf, ([], (), (), ()), TypeError),
                          (rebuild_psf, ({}, (trace,), (), ()), TypeError),
                          (rebuild_psf, ({}, (sweep,), iter([trace]), ()), TypeError)]:
        with pytest.raises(exc):
            fn(*args)
    with pytest.raises(TypeError, match="cannot create"):
        quarn.Psf()
    # copy takes the same road: a shallow copy shares the results, a deep one copies them.
    shallow, deep = copy.copy(psf), copy.deepcopy(psf)
    assert shallow is not psf and shallow.traces == psf.traces
    assert deep.traces[0].data is not trace.data
    assert np.array_equal(bits(deep.traces[0].data), bits(trace.data))
