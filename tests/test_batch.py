"""Many files at once: read_header and read_many against read_psf, file by file."""

import os

import pytest

import quarn
from psfwriter import FOOTER, REALISTIC


def outcome(fn, *args, **kw):
    """What a call gives: its result, or the exception's exact class and message."""
    try:
        return fn(*args, **kw)
    except (OSError, ValueError) as e:
        return type(e), str(e)


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a new file and returns its path."""
    count = iter(range(10**9))

    def write(data):
        path = tmp_path / f"{next(count)}.psfbin"
        path.write_bytes(data)
        return str(path)

    return write


@pytest.mark.parametrize("name", REALISTIC)
def test_header_at_every_cut_of_the_header(write, name):
    """A file cut anywhere, footer put back, gives read_psf's outcome for the file
    cut at the same place or at the HEADER's end, whichever comes first: the
    HEADER's properties, or read_psf's exception."""
    data, at = REALISTIC[name]()[0].build()
    body, end = data[:at["footer"]], at["header.end"]
    for n in [*range(end + 16), at["value"], len(body)]:
        got = outcome(quarn.read_header, write(body[:n] + FOOTER))
        want = outcome(quarn.read_psf, write(body[:min(n, end)] + FOOTER))
        assert got == (want.header if isinstance(want, quarn.Psf) else want), n


@pytest.mark.parametrize("name", REALISTIC)
def test_header_without_footer(write, name):
    from quarn import _native

    data, at = REALISTIC[name]()[0].build()
    body = data[:at["footer"]]
    header = quarn.read_psf(write(data)).header
    for n in (at["header.end"], at["value"], len(body)):
        path = write(body[:n])
        assert outcome(quarn.read_header, path) == (
            ValueError, "footer magic 'Clarissa' not found (not a psfbin file?)")
        assert _native.read_header(path, require_footer=False) == header


@pytest.mark.parametrize("junk", [b"#!/bin/sh\necho not a result file\n" * 3, bytes(40),
                                  b"\x00\x00\x04\x00\x00\x00\x00\x15" + b"\xff" * 40])
def test_header_of_other_files_without_footer_check(write, junk):
    from quarn import _native

    got = outcome(_native.read_header, write(junk), require_footer=False)
    assert got == outcome(quarn.read_psf, write(junk + FOOTER))
    assert isinstance(got, tuple)


def test_header_argument_errors(tmp_path):
    missing = tmp_path / "missing.psfbin"
    assert outcome(quarn.read_header, missing) == outcome(quarn.read_psf, missing)
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object is not an instance"):
        quarn.read_header(os.fsencode(missing))
