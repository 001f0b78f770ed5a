"""Realistic files cut at every byte: a precise ValueError, or (with a footer put
back) a result consistent with the whole file's, never a crash."""

import os

import pytest

import quarn
import psfwriter
from psfwriter import MAGIC

FILES = {
    "ac": psfwriter.ac_analysis,
    "dc": psfwriter.dc_sweep,
    "tran": lambda: psfwriter.transient(points=150, window=16),
    "noise": psfwriter.noise,
    "dcop": psfwriter.operating_point,
}


@pytest.fixture
def cut_reader(tmp_path):
    """Reads byte strings through one file, rewritten in place: truncating a
    file to zero and rewriting it can cost a flush on some file systems."""
    fd = os.open(tmp_path / "cut.psfbin", os.O_RDWR | os.O_CREAT, 0o600)
    path = str(tmp_path / "cut.psfbin")

    def read(data):
        os.pwrite(fd, data, 0)
        os.ftruncate(fd, len(data))
        return quarn.read_psf(path)

    yield read
    os.close(fd)


@pytest.mark.parametrize("name", FILES)
def test_cut_without_footer(cut_reader, name):
    data = FILES[name]()[0].to_bytes()
    for n in range(len(data)):
        with pytest.raises(ValueError) as e:
            cut_reader(data[:n])
        want = (f"file too small to be psfbin ({n} bytes)" if n < 12 else
                "footer magic 'Clarissa' not found (not a psfbin file?)")
        assert str(e.value) == want


def check_cut_result(psf, n, at, expected, check_result):
    """A cut file that reads is the whole file when the cut lies after the VALUE
    section (nothing after it is examined). Before it no VALUE section can be
    complete, since its closing word cannot come from the footer: then there are
    no samples and no values, and the sections that were read are whole."""
    if n >= at["value.end"] + 4:
        check_result(psf, expected)
        return
    assert psf.values == []
    assert len(psf.header) == len(expected.header)
    assert len(psf.sweeps) in (0, len(expected.sweeps))
    assert len(psf.traces) in (0, len(expected.traces))
    assert all(x.data.size == 0 for x in psf.sweeps + psf.traces)


@pytest.mark.parametrize("tail", [b"\x00\x00\x00\x00", b"\xff\xff\xff\xff"], ids=["zero", "ones"])
@pytest.mark.parametrize("name", FILES)
def test_cut_with_footer(cut_reader, check_result, name, tail):
    f, expected = FILES[name]()
    data, at = f.build()
    body = data[:at["footer"]]
    results = []
    for n in range(len(body) + 1):
        try:
            psf = cut_reader(body[:n] + MAGIC + tail)
        except ValueError:
            continue
        check_cut_result(psf, n, at, expected, check_result)
        results.append(n)
    # A cut right after the HEADER reads as a file without sections.
    assert at["header.end"] in results and len(body) in results


def test_cut_large_transient_with_footer(cut_reader, check_result):
    f, expected = psfwriter.transient(points=1000, window=64)
    data, at = f.build()
    body = data[:at["footer"]]
    for n in range(at["value"] - 64, len(body) + 1):
        try:
            psf = cut_reader(body[:n] + MAGIC + b"\x00\x00\x00\x00")
        except ValueError:
            continue
        check_cut_result(psf, n, at, expected, check_result)
