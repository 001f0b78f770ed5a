"""`read_psf` for the package: the native reader, plus a note that says what a refused file is.

Users hand the reader every file of a result directory. When the native reader refuses
one with `ValueError`, its message says exactly what is wrong with the bytes; the note
(PEP 678, `exc.add_note`) says what the file most likely is, where the evidence is clear:

* the file starts with the text ``HEADER``: the text form of the format;
* the HEADER section reads but the footer is missing, and the HEADER names
  ``PsfTrailer*`` / ``PsfEndTable*`` properties: the main file of a split result,
  whose samples live in other files;
* the HEADER section reads but the footer is missing otherwise: an unfinished file.

The exception's type and message stay exactly as the native reader made them.
"""

from __future__ import annotations

import functools
import os
import stat
from typing import TYPE_CHECKING, Any

from . import _quarn
from ._native import is_split_main, read_header, read_split

if TYPE_CHECKING:
    from ._quarn import Psf

TEXT_FORM = (
    "this is the text form of the result format (it starts with 'HEADER'), which quarn "
    "does not read; ask the simulator for binary (psfbin) output"
)
SPLIT_MAIN = (
    "this looks like the main file of a split result: its HEADER names trailer properties "
    "(PsfTrailer*/PsfEndTable*), but its TRACE section is not followed by the VALUE stub "
    "a finished split main file ends in: it looks unfinished or damaged"
)
UNFINISHED = (
    "the file starts like psfbin (its HEADER reads) but has no footer: it looks unfinished, "
    "cut short or still being written by a running simulation"
)

_SPLIT_PREFIXES = ("PsfTrailer", "PsfEndTable")


def note_for(path: str | os.PathLike[str]) -> str | None:
    """The note for a file the reader refused, or None when the evidence is unclear."""
    try:
        # Non-blocking, and regular files only: a FIFO must not stall the error path.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        start = os.pread(fd, 6, 0)
    except OSError:
        return None
    finally:
        os.close(fd)
    if start == b"HEADER":
        return TEXT_FORM
    name = os.fspath(path)
    if isinstance(name, str):  # a sibling of a split result names its main file
        main, dot, suffix = name.rpartition(".")
        if dot and suffix in ("psfxl", "dat", "sig") and is_split_main(main):
            return f"this is a sibling of the split result whose main file is {main!r}: read that file"
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


def add_note(exc: BaseException, path: str | os.PathLike[str]) -> None:
    """Adds `note_for(path)` to `exc`, once."""
    note = note_for(path)
    notes = getattr(exc, "__notes__", None)
    if note is None or (notes is not None and note in notes):
        return
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:  # Python 3.10: the same attribute, which 3.11 tracebacks print
        exc.__notes__ = [*(notes or ()), note]


def split_or_noted(exc: ValueError, path: str | os.PathLike[str]) -> Psf | Exception:
    """A file the single-file reader refused: read as the split result it is the
    main file of (its own failure if that read fails), or `exc` with its note."""
    if is_split_main(path):
        try:
            return read_split(path)
        except (OSError, ValueError) as split_exc:
            return split_exc
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
            path = _path_argument(args, kwargs)
            # The main file of a split result (by content): its samples are beside it.
            if not is_split_main(path):
                add_note(exc, path)
                raise
        return read_split(path)

    read_psf.__module__ = __package__
    read_psf.__doc__ = (
        "Parse a psfbin file and return a [`Psf`].\n\n"
        "A `ValueError` carries a note (PEP 678) when the file is recognisably the text form, "
        "the main file of a split result, or unfinished."
    )
