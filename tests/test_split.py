"""The split form through the package: `quarn.read_psf` on a main file reads its
data sibling (decided by the file's content), bit for bit, for every way the
writer stores samples. The decoder's messages are the C++ tests'; here, the
boundary: the result's shape and the exception types."""

from __future__ import annotations

import numpy as np
import pytest

import quarn
from psfwriter import SPECIAL
from splitwriter import SplitResult, fastlz2


def _bits(a) -> list[int]:
    return np.asarray(a, dtype=np.float64).view(np.uint64).tolist()


def _result(n: int, generation: str = "1.1", **kwargs) -> SplitResult:
    t = np.linspace(0.0, 1e-6, n)
    wave = np.round(np.sin(np.arange(n) / 7.0), 3)  # few distinct bytes: planes compress
    special = wave.copy()
    special[1:1 + len(SPECIAL)] = SPECIAL[: max(0, n - 1)]
    traces = {"in": wave, "vdd": np.full(n, 1.8), "out": 1.8 - wave, "V0:p": special,
              "V1:p": special.copy(), "ramp": t * 3.0}
    return SplitResult(t, traces, generation, **kwargs)


@pytest.mark.parametrize(
    "result",
    [
        _result(40),
        _result(40, raw=True),
        _result(300, mode11=["in", "out"]),
        _result(40, "1.4"),
        _result(40, "0.1"),
        _result(9500),  # planes long enough for far matches
        _result(1, text_records=False),
    ],
    ids=["1.1", "raw planes", "mode 11", "1.4", "0.1", "far matches", "one point"],
)
def test_read_psf_reads_a_split_result_bit_for_bit(tmp_path, result):
    main = result.write(tmp_path)
    psf = quarn.read_psf(str(main))
    assert [s.name for s in psf.sweeps] == ["time"]
    assert _bits(psf.sweeps[0].data) == _bits(result.sweep)
    assert [t.name for t in psf.traces] == list(result.traces)
    for trace, want in zip(psf.traces, result.traces.values()):
        assert trace.data.dtype == np.float64
        assert _bits(trace.data) == _bits(want), trace.name
    assert psf.header["analysis type"] == "tran"
    assert psf.values == []
    # A shared y block gives two arrays.
    v0, v1 = psf.traces[3].data, psf.traces[4].data
    assert not np.shares_memory(v0, v1)


def test_far_matches_and_long_lengths_in_a_real_block(tmp_path):
    # Plane 0 repeats 256 bytes 9,212 bytes back (only the far form reaches
    # that: without it they would cost 264 literal bytes) and ends in 600
    # equal bytes (a length of several ff bytes).
    plane = bytes(range(256)) * 2 + bytes(8700) + bytes(range(256)) + b"\x07" * 600
    assert len(fastlz2(plane)) < 400
    y = np.frombuffer(plane, np.uint8).astype(np.uint64).view(np.float64)
    result = SplitResult(np.arange(len(plane)) * 1e-9, {"far": y, "near": y[::-1].copy()})
    psf = quarn.read_psf(str(result.write(tmp_path)))
    assert _bits(psf.traces[0].data) == _bits(y)
    assert _bits(psf.traces[1].data) == _bits(y[::-1])


@pytest.mark.parametrize("generation", ["1.1", "0.1"])
def test_a_missing_data_file_is_a_file_not_found_error(tmp_path, generation):
    result = _result(10, generation)
    main = result.write(tmp_path)
    for sibling in tmp_path.iterdir():
        if sibling.suffix in (".psfxl", ".dat"):
            sibling.unlink()
    with pytest.raises(FileNotFoundError, match="split main file without a data file"):
        quarn.read_psf(str(main))


def test_a_damaged_data_file_is_a_value_error(tmp_path):
    main = _result(10).write(tmp_path)
    data = main.with_name(main.name + ".psfxl")
    data.write_bytes(data.read_bytes()[:-3])
    with pytest.raises(ValueError, match=r"\.psfxl: record \d+ at offset \d+"):
        quarn.read_psf(main)


def test_a_single_file_is_not_taken_for_a_split_main_file(tmp_path):
    # An unfinished single file: no footer and no VALUE stub.
    main = _result(10).write(tmp_path)
    cut = tmp_path / "cut"
    cut.write_bytes(main.read_bytes()[:-12])
    with pytest.raises(ValueError) as info:
        quarn.read_psf(str(cut))
    assert "footer" in str(info.value)
    assert not quarn._native.is_split_main(str(cut))
    assert quarn._native.is_split_main(str(main))


def test_read_header_of_a_main_file_and_the_note_on_a_sibling(tmp_path):
    result = _result(10)
    main = result.write(tmp_path)
    assert quarn.read_header(str(main)) == quarn.read_psf(str(main)).header
    (tmp_path / (main.name + ".0.sig.tmp")).write_bytes(b"*demohsweepcount 26 10\n")
    for suffix, what in ((".psfxl", "data file"), (".sig", "signal index"),
                         (".0.sig.tmp", "signal index snapshot")):
        with pytest.raises(ValueError) as info:
            quarn.read_psf(str(main) + suffix)
        assert info.value.__notes__ == [
            f"this is the {what} of the split result {main.name!r} beside it; "
            "open that file instead"]


def test_read_many_and_quarn_info_read_split_results(tmp_path, capsys):
    result = _result(20)
    main = result.write(tmp_path)
    (tmp_path / "missing.tran").write_bytes(main.read_bytes())  # no data sibling
    got = list(quarn.read_many([main, tmp_path / "missing.tran"], errors="return"))
    assert _bits(got[0].traces[0].data) == _bits(result.traces["in"])
    assert isinstance(got[1], FileNotFoundError) and "without a data file" in str(got[1])
    from quarn.cli import main as cli
    assert cli(["info", str(tmp_path)]) == 1  # the main file without its data file fails
    out = capsys.readouterr()
    assert "tran.tran.tran  (" in out.out and "20 points" in out.out
    assert ".psfxl" not in out.out + out.err.replace("missing.tran.psfxl", "")
