"""`read_psf` for the package: the native reader, plus a note that says what a refused file is.

Users hand the reader every file of a result directory. When a file is refused with
`ValueError`, its message says exactly what is wrong with the bytes; the note (PEP 678,
`exc.add_note`) says what the file most likely is, where the evidence is clear:

* an empty file: a marker a run leaves behind;
* plain text that is not the text form: a log, such as the simulator's console output;
* the data file or signal index of a split result, next to its main file: which file
  to open instead;
* the HEADER section reads but the footer is missing, and the HEADER names the
  placeholders a split result's main file carries: the main file of a split result;
* the HEADER section reads but the footer is missing otherwise: an unfinished file.

A directory given as a file is `IsADirectoryError`, with a note pointing to
`quarn.open_results`. The exception's type and message stay exactly as the reader made them.
"""

from __future__ import annotations

import functools
import os
import stat
from typing import TYPE_CHECKING, Any

from . import _quarn
from ._errors import as_os_error
from ._native import is_split_main, read_header, read_split, read_text

if TYPE_CHECKING:
    from ._quarn import Psf

SPLIT_MAIN = (
    "this looks like the main file of a split result (a transient whose samples live in a "
    "data file beside it), but it does not end as a finished one does: it looks unfinished "
    "or damaged; run the simulation again, or ask for a single-file binary result"
)
UNFINISHED = (
    "the file starts like psfbin (its HEADER reads) but has no footer: it looks unfinished, "
    "cut short or still being written by a running simulation"
)
EMPTY = "the file is empty: a marker a run leaves behind (a run-finished marker, say), not a result"
PLAIN_TEXT = (
    "the file is plain text but not the text form of the format (which starts with 'HEADER'): "
    "a log, such as the simulator's console output, not a result"
)
DIRECTORY = "this is a directory: open a result directory with quarn.open_results(path)"
# The siblings of a split result's main file, by what is appended to its name.
_SPLIT_SIBLINGS = ((".psfxl", "data file"), (".dat", "data file"), (".sig", "signal index"),
                   (".sig.tmp", "signal index snapshot"))

_SPLIT_PREFIXES = ("PsfTrailer", "PsfEndTable")


def note_for(path: str | os.PathLike[str]) -> str | None:
    """The note for a file the reader refused, or None when the evidence is unclear.

    Never raises: it runs on the error path, where a second exception (a path the file
    system cannot encode, say) would hide the first.
    """
    try:
        return _probe(path)
    except Exception:  # noqa: BLE001
        return None


def head(path: str | os.PathLike[str], n: int) -> bytes | None:
    """The first `n` bytes of a regular file, or None; never raises.

    Non-blocking, and regular files only: a FIFO must not stall the error path, and
    a path the file system cannot encode is no file to peek at.
    """
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        return os.pread(fd, n, 0) if stat.S_ISREG(os.fstat(fd).st_mode) else None
    except OSError:
        return None
    finally:
        os.close(fd)


def _probe(path: str | os.PathLike[str]) -> str | None:
    start = head(path, 4096)
    if start is None:
        return None
    if not start:
        return EMPTY
    if is_text_form(path):
        return None  # the text reader's own message says what is wrong
    sibling = _split_sibling(path)
    if sibling is not None:
        return sibling
    if _is_plain_text(start):
        return PLAIN_TEXT
    try:
        read_header(path)
        return None  # the footer is there: the fault lies beyond the HEADER
    except (OSError, ValueError):
        pass
    try:
        header = read_header(path, require_footer=False)
    except (OSError, ValueError):
        return None  # not even the HEADER reads: nothing to say
    if any(name.startswith(_SPLIT_PREFIXES) for name in header):
        return SPLIT_MAIN
    return UNFINISHED


def _is_plain_text(start: bytes) -> bool:
    if b"\0" in start or b"HEADER".startswith(start):  # the text form, cut short
        return False
    try:
        # A character cut at the end of the peek is still text.
        start.decode("utf-8") if len(start) < 4096 else start[:-3].decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _split_sibling(path: str | os.PathLike[str]) -> str | None:
    """The note for a sibling of a split result's main file that lies beside it."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        return None
    for suffix, what in _SPLIT_SIBLINGS:
        if not name.endswith(suffix):
            continue
        main = name[: -len(suffix)]
        if suffix == ".sig.tmp":  # snapshots are also numbered: <main>.0.sig.tmp
            stem, _, number = main.rpartition(".")
            main = stem if number.isdigit() and head(main, 1) is None else main
        if not is_split_main_file(main):
            return None
        return (f"this is the {what} of the split result {os.path.basename(main)!r} beside it; "
                f"open that file instead")
    return None


def add_note(exc: BaseException, path: str | os.PathLike[str], note: str | None = None) -> None:
    """Adds `note` (by default `note_for(path)`) to `exc`, once."""
    if note is None:
        note = note_for(path)
    notes = getattr(exc, "__notes__", None)
    if note is None or (notes is not None and note in notes):
        return
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:  # Python 3.10: the same attribute, which 3.11 tracebacks print
        exc.__notes__ = [*(notes or ()), note]


def is_text_form(path: str | os.PathLike[str]) -> bool:
    """Whether the file starts as the text form does: "HEADER", then whitespace or nothing."""
    start = head(path, 7) or b""
    return start[:6] == b"HEADER" and start[6:] in (b"", b" ", b"\n", b"\t", b"\r")


def is_split_main_file(path: str | os.PathLike[str]) -> bool:
    """Whether the file is the main file of a split result, by content; never raises."""
    try:
        return is_split_main(path)
    except (OSError, ValueError):
        return False


def read_other_form(exc: ValueError, path: str | os.PathLike[str]) -> Psf | Exception:
    """A file the single-file binary reader refused with `exc`: the result of the form
    its content shows (the text form, or the main file of a split result), that read's
    own failure, or else `exc` with its note."""
    try:
        if is_text_form(path):
            return read_text(path)
        if is_split_main_file(path):
            return read_split(path)
    except ValueError as other:
        return other
    except OSError as other:
        return as_os_error(other, path)
    add_note(exc, path)
    return exc


def _path_argument(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    # Only called after the native function bound its argument, so exactly one is there.
    return args[0] if args else kwargs["path"]


if TYPE_CHECKING:

    def read_psf(path: str | os.PathLike[str]) -> Psf: ...

else:

    @functools.wraps(_quarn.read_psf)
    def read_psf(*args, **kwargs):
        try:
            return _quarn.read_psf(*args, **kwargs)
        except ValueError as exc:
            refused = exc
        except OSError as exc:
            path = _path_argument(args, kwargs)
            typed = as_os_error(exc, path)
            if isinstance(typed, IsADirectoryError):
                add_note(typed, path, DIRECTORY)
            if typed is exc:
                raise
            raise typed from None
        # Outside the handler: another form's failure is its own, not chained to this one.
        result = read_other_form(refused, _path_argument(args, kwargs))
        if isinstance(result, Exception):
            raise result
        return result

    read_psf.__module__ = __package__
    read_psf.__doc__ = (
        "Parse a psfbin file and return a [`Psf`].\n\n"
        "Reads the binary, text and split forms, told apart by content. A `ValueError` carries a "
        "note (PEP 678) when the refused file is recognisably something else: a marker, a log, "
        "a split result's main or sibling file, or an unfinished file."
    )
