"""The package's read_psf: the native reader's outcome, plus a note that says what a
refused file is, where the evidence is clear."""

import inspect

import pytest

import quarn
import quarn._quarn as q
from quarn import _notes
from psfwriter import Layout, PsfFile, ac_analysis, transient


def _cut(data: bytes, keep: float) -> bytes:
    return data[:int(len(data) * keep)]


def _broken_type_section() -> bytes:
    """Footer and HEADER fine, the TYPE section's container chunk id wrong."""
    f, _ = ac_analysis()
    data, marks = f.build()
    at = marks["type"] + 4
    return data[:at] + b"\x00\x00\x00\x03" + data[at + 4:]


SPLIT_HEADER = [("PSFversion", "1.00"), ("analysis type", "tran"),
                ("PsfTrailerStart", 4096), ("PsfEndTableStart", 8192)]

CASES = {
    "split main": (PsfFile(Layout.WINDOWED, header=SPLIT_HEADER, footer=b"").to_bytes(),
                   _notes.SPLIT_MAIN),
    "cut short": (_cut(transient()[0].to_bytes(), 0.6), _notes.UNFINISHED),
    "no footer yet": (PsfFile(Layout.SIMPLE, header=[("analysis type", "ac")],
                              footer=b"").to_bytes(), _notes.UNFINISHED),
    # No note where the evidence is unclear:
    "broken after a good HEADER": (_broken_type_section(), None),
    "HEADER cut": (_cut(ac_analysis()[0].to_bytes(), 0.02), None),
    "not psfbin at all": (b"\x89PNG\r\n\x1a\n" + bytes(64), None),
    "too small": (b"HEAD", None),
    "empty marker": (b"", _notes.EMPTY),
    "console log": (b"simulation started\n\xc2\xb5s steps: 42\n", _notes.PLAIN_TEXT),
}


@pytest.mark.parametrize("content, note", CASES.values(), ids=CASES.keys())
def test_note_on_a_refused_file(tmp_path, content, note):
    path = tmp_path / "result"
    path.write_bytes(content)
    with pytest.raises(ValueError) as native:
        q.read_psf(str(path))
    for call in (lambda: quarn.read_psf(str(path)), lambda: quarn.read_psf(path=path)):
        with pytest.raises(ValueError) as e:
            call()
        # The message and type stay the module's; the note is added, never replaces.
        assert type(e.value) is type(native.value)
        assert e.value.args == native.value.args
        assert getattr(e.value, "__notes__", []) == ([note] if note else [])
    # read_header gives the same note; only a fault past the HEADER passes it.
    try:
        quarn.read_header(path)
    except ValueError as exc:
        assert getattr(exc, "__notes__", []) == ([note] if note else [])
    else:
        assert content == CASES["broken after a good HEADER"][0]


BAD_ARGUMENTS = [((), {}), (("a", "b"), {}), ((b"a",), {}), ((3,), {}), (("a",), {"path": "b"}),
                 ((), {"file": "a"})]


@pytest.mark.parametrize("args, kwargs", BAD_ARGUMENTS)
def test_argument_errors_are_the_native_ones(args, kwargs):
    with pytest.raises(TypeError) as native:
        q.read_psf(*args, **kwargs)
    with pytest.raises(TypeError) as wrapped:
        quarn.read_psf(*args, **kwargs)
    assert type(wrapped.value) is type(native.value)
    assert wrapped.value.args == native.value.args
    assert not hasattr(wrapped.value, "__notes__")
    assert str(inspect.signature(quarn.read_psf)) == "(path)"



@pytest.mark.parametrize("read", [quarn.read_psf, quarn.open_psf])
def test_unencodable_path_raises_the_native_error_alone(read):
    """A path the file system encoding cannot hold: the native error, without a
    second one chained from the note's probe."""
    with pytest.raises(ValueError) as e:
        read("\ud800.psfbin")
    assert type(e.value) is UnicodeEncodeError
    assert e.value.__context__ is None and not hasattr(e.value, "__notes__")
    assert _notes.note_for("\ud800.psfbin") is None


def test_a_directory_points_to_open_results(tmp_path):
    with pytest.raises(IsADirectoryError) as e:
        quarn.read_psf(tmp_path)
    assert e.value.__notes__ == [_notes.DIRECTORY]
