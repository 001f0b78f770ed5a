import itertools
import struct

import numpy as np
import pytest

import quarn
from psfwriter import PsfFile


def _content(content) -> bytes:
    return content.to_bytes() if isinstance(content, PsfFile) else bytes(content)


@pytest.fixture
def read(tmp_path):
    """Writes a `PsfFile` (or bytes) to a fresh file and returns `read_psf` of it."""
    names = itertools.count()

    def read(content):
        path = tmp_path / f"{next(names)}.psfbin"
        path.write_bytes(_content(content))
        return quarn.read_psf(str(path))

    return read


@pytest.fixture
def error(read):
    """The message of the exception of exactly class `cls` that reading `content` raises."""

    def error(content, cls=ValueError):
        with pytest.raises(cls) as e:
            read(content)
        assert type(e.value) is cls
        assert len(e.value.args) == 1
        return str(e.value)

    return error


def bits(a) -> np.ndarray:
    """The 64-bit patterns of every float in an array (complex and structured too)."""
    return np.ascontiguousarray(a).reshape(-1).view(np.uint64)


def same_value(got, want) -> bool:
    """Equal in type and value; floats compared bit for bit, dicts in key order."""
    if type(got) is not type(want):
        return False
    if isinstance(want, float):
        return struct.pack("<d", got) == struct.pack("<d", want)
    if isinstance(want, complex):
        return same_value(got.real, want.real) and same_value(got.imag, want.imag)
    if isinstance(want, dict):
        return (list(got) == list(want)
                and all(same_value(got[k], want[k]) for k in want))
    return got == want


def check_series(got, name: str, want: np.ndarray) -> None:
    assert got.name == name
    assert got.data.dtype == want.dtype
    assert got.data.dtype.names == want.dtype.names
    assert got.data.shape == want.shape
    assert np.array_equal(bits(got.data), bits(want))


def check_result(psf, expected) -> None:
    """`psf` holds exactly what `expected` (a psfwriter.Expected) says, bit for bit."""
    assert list(psf.header) == list(expected.header)
    for key, want in expected.header.items():
        assert same_value(psf.header[key], want), (key, psf.header[key], want)
    for got_list, want_list in ((psf.sweeps, expected.sweeps), (psf.traces, expected.traces)):
        assert len(got_list) == len(want_list)
        for got, (name, want) in zip(got_list, want_list):
            check_series(got, name, want)
    assert [v.name for v in psf.values] == [n for n, _ in expected.values]
    for got, (name, want) in zip(psf.values, expected.values):
        assert same_value(got.data, want), (name, got.data, want)


@pytest.fixture(name="check_result")
def _check_result_fixture():
    return check_result


@pytest.fixture(name="same_value")
def _same_value_fixture():
    return same_value


@pytest.fixture(name="bits")
def _bits_fixture():
    return bits
