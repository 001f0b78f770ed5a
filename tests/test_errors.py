"""A file that cannot be opened or mapped fails, at every entry point of the package, as
the OSError subclass of its error number, with errno, strerror and filename set and the
message the native reader gives (quarn._quarn.read_psf keeps its plain OSError)."""

import errno
import os
import pickle

import pytest

import quarn
import quarn._quarn

xr = pytest.importorskip("xarray")


def _first(it):
    return next(iter(it))


ENTRY_POINTS = {
    "read_psf": quarn.read_psf,
    "open_psf": lambda p: quarn.open_psf(p).close(),
    "read_header": quarn.read_header,
    "read_many": lambda p: _first(quarn.read_many([p])),
    "read_many_return": lambda p: _first(_raise(r) for r in quarn.read_many([p], errors="return")),
    "read_runs": lambda p: quarn.read_runs([p]),
    "open_dataset": lambda p: xr.open_dataset(p, engine="quarn"),
}


def _raise(result):
    if isinstance(result, BaseException):
        raise result
    return result


def _missing(tmp):
    return tmp / "missing.psfbin"


def _directory(tmp):
    (tmp / "results").mkdir()
    return tmp / "results"


def _under_a_file(tmp):
    (tmp / "plain").write_bytes(b"x")
    return tmp / "plain" / "ac.psfbin"


def _loop(tmp):
    os.symlink(tmp / "loop", tmp / "loop")
    return tmp / "loop"


def _unreadable(tmp):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    (tmp / "locked.psfbin").write_bytes(b"x" * 64)
    os.chmod(tmp / "locked.psfbin", 0)
    return tmp / "locked.psfbin"


CASES = {  # path maker, error number, the class Python raises for it
    "missing": (_missing, errno.ENOENT, FileNotFoundError),
    "directory": (_directory, errno.EISDIR, IsADirectoryError),
    "under_a_file": (_under_a_file, errno.ENOTDIR, NotADirectoryError),
    "symlink_loop": (_loop, errno.ELOOP, OSError),
    "unreadable": (_unreadable, errno.EACCES, PermissionError),
}


@pytest.mark.parametrize("case", CASES)
def test_os_errors_are_pythons_own(tmp_path, case):
    make, number, cls = CASES[case]
    path = make(tmp_path)
    with pytest.raises(OSError) as native:
        quarn._quarn.read_psf(path)
    assert type(native.value) is OSError and native.value.errno is None
    for name, entry in ENTRY_POINTS.items():
        with pytest.raises(cls) as e:
            entry(path)
        got = e.value
        assert type(got).__mro__[1] is cls and type(got).__name__ == cls.__name__, name
        assert (got.errno, got.strerror, got.filename) == (number, os.strerror(number), str(path))
        assert got.args == native.value.args and str(got) == str(native.value), name
    # It travels as it is (multiprocessing returns failures too).
    again = pickle.loads(pickle.dumps(got))
    assert type(again) is type(got) and again.args == got.args
    assert (again.errno, again.strerror, again.filename) == (got.errno, got.strerror, got.filename)


def test_failures_without_an_error_number_stay_plain(tmp_path):
    path = tmp_path / "a\0b"
    for entry in (quarn.read_psf, quarn.read_header):
        with pytest.raises(OSError) as e:
            entry(str(path))
        assert type(e.value) is OSError and e.value.errno is None
