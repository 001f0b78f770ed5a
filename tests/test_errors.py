"""Every entry point of the package raises, for a file it cannot open or map, the OSError
subclass of the error number with errno, strerror and filename set and the native message;
quarn._quarn.read_psf keeps its plain OSError."""

import errno
import os
import pickle

import pytest

import quarn
import quarn._quarn

xr = pytest.importorskip("xarray")


def _returned(path):
    result = next(iter(quarn.read_many([path], errors="return")))
    raise result


ENTRY_POINTS = [quarn.read_psf, quarn.open_psf, quarn.read_header, _returned,
                lambda p: next(iter(quarn.read_many([p]))), lambda p: quarn.read_runs([p]),
                lambda p: xr.open_dataset(p, engine="quarn")]


def _unreadable(tmp):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    (tmp / "locked").write_bytes(b"x" * 64)
    os.chmod(tmp / "locked", 0)
    return tmp / "locked"


CASES = {  # path maker, error number, the class Python raises for it
    "missing": (lambda tmp: tmp / "missing.psfbin", errno.ENOENT, FileNotFoundError),
    "directory": (lambda tmp: tmp, errno.EISDIR, IsADirectoryError),
    "under_a_file": (lambda tmp: (tmp / "f").write_bytes(b"x") and tmp / "f" / "x",
                     errno.ENOTDIR, NotADirectoryError),
    "symlink_loop": (lambda tmp: os.symlink("loop", tmp / "loop") or tmp / "loop",
                     errno.ELOOP, OSError),
    "unreadable": (_unreadable, errno.EACCES, PermissionError),
}


@pytest.mark.parametrize("case", CASES)
def test_os_errors_are_pythons_own(tmp_path, case):
    make, number, cls = CASES[case]
    path = make(tmp_path)
    with pytest.raises(OSError) as native:
        quarn._quarn.read_psf(path)
    assert type(native.value) is OSError and native.value.errno is None
    for entry in ENTRY_POINTS:
        with pytest.raises(cls) as e:
            entry(path)
        got = e.value
        assert type(got).__mro__[1] is cls and type(got).__name__ == cls.__name__
        assert (got.errno, got.strerror, got.filename) == (number, os.strerror(number), str(path))
        assert got.args == native.value.args and str(got) == str(native.value)
    again = pickle.loads(pickle.dumps(got))  # failures travel too (read_many in a pool)
    assert type(again) is type(got) and str(again) == str(got)
    assert (again.errno, again.strerror, again.filename) == (got.errno, got.strerror, got.filename)
