"""The properties of a result read whole: `quarn.properties(psf)`.

A file gives every sweep, trace and value a property list (its declaration's
properties over its type's: "units" among them). `read_psf` returns the
native `Psf`, whose classes hold names and data only and cannot be given
more; the lazy reader (`open_psf`) has the lists. So `quarn.read_psf` notes,
beside each result it returns, where the result came from (the path and the
file's identity: device, inode, size, modification time, the same before and
after the read), and `properties(psf)` walks that file once with the lazy
reader when the properties are first asked for, keeping them from then on.

Why not at read time: walking a large swept file costs up to half a read, and
most reads never ask. Why not a registry of weak references: `Psf` objects
cannot be weakly referenced. So the note holds the result's own header dict
(which the `Psf` owns and hands out itself, so no other live `Psf` can have
it) and is looked up by `id(psf)` and accepted only when `psf.header` is that
dict and the names agree; notes whose dict nobody else holds any more (the
result is gone) are dropped as new ones are made. A result whose file changed
or vanished before its properties were asked for has none (`OSError`), never
another file's.
"""

from __future__ import annotations

import os
import sys
import threading
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._notes import read_psf as _read_psf

if TYPE_CHECKING:
    from ._lazy import PsfFile
    from ._quarn import Psf

__all__ = ["Properties", "properties", "properties_of_file", "read_psf"]


@dataclass(frozen=True)
class Properties:
    """The property lists of a result, one dict per series or value, in the
    order of `psf.sweeps`, `psf.traces` and `psf.values`; `kinds` holds the
    name of each value's type (the device kind of an operating point, as
    "mos_op"; None where the file names none)."""

    sweeps: tuple[Mapping[str, Any], ...]
    traces: tuple[Mapping[str, Any], ...]
    values: tuple[Mapping[str, Any], ...]
    kinds: tuple[str | None, ...] = ()

    def units(self, kind: str, index: int) -> str | None:
        """The "units" property of the `index`-th sweep, trace or value, if it has one."""
        unit = getattr(self, kind)[index].get("units")
        return unit if isinstance(unit, str) and unit else None


_Identity = tuple[int, int, int, int]


def _identity(path: str | os.PathLike[str]) -> _Identity:
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _names(psf: Psf) -> tuple[tuple[str, ...], ...]:
    return (tuple(s.name for s in psf.sweeps), tuple(t.name for t in psf.traces),
            tuple(v.name for v in psf.values))


class _Note:
    __slots__ = ("header", "names", "path", "identity", "found")

    def __init__(self, psf: Psf, path: str | os.PathLike[str], identity: _Identity) -> None:
        self.header = psf.header
        self.names = _names(psf)
        self.path = path
        self.identity = identity
        self.found: Properties | None = None

    def gone(self) -> bool:
        # References: this note's attribute and getrefcount's argument.
        return sys.getrefcount(self.header) <= 2


_lock = threading.Lock()
_notes: dict[int, _Note] = {}
_prune_at = 64


def _remember(psf: Psf, path: str | os.PathLike[str], identity: _Identity) -> None:
    global _prune_at
    with _lock:
        _notes[id(psf)] = _Note(psf, path, identity)
        if len(_notes) >= _prune_at:
            for key in [k for k, note in _notes.items() if note.gone()]:
                del _notes[key]
            _prune_at = max(64, 2 * len(_notes))


def _note(psf: Psf) -> _Note | None:
    with _lock:
        note = _notes.get(id(psf))
    if note is None or note.header is not psf.header or note.names != _names(psf):
        return None
    return note


if TYPE_CHECKING:

    def read_psf(path: str | os.PathLike[str]) -> Psf: ...

else:

    def read_psf(path):
        before = _identity_or_none(path)
        psf = _read_psf(path)
        if before is not None and before == _identity_or_none(path):
            _remember(psf, path, before)
        return psf

    read_psf.__module__ = __package__
    read_psf.__wrapped__ = _read_psf
    read_psf.__doc__ = (_read_psf.__doc__ or "") + (
        "\n\nThe properties of its sweeps, traces and values (units among them) are "
        "`quarn.properties(psf)`.")


def _identity_or_none(path: Any) -> _Identity | None:
    try:
        return _identity(path)
    except (OSError, ValueError, TypeError):
        return None


def value_kinds(file: PsfFile) -> list[str | None]:
    """The type name of each value of an open file (None where it has none)."""
    return [k or None for k in file._file.value_types]


def properties_of_file(path: str | os.PathLike[str], psf: Psf | None = None) -> Properties:
    """The property lists of the file at `path`, walked with the lazy reader;
    with `psf`, checked to be those of that result (the same names)."""
    from ._lazy import open_psf

    with open_psf(path) as f:
        found = Properties(tuple(s.properties for s in f.sweeps),
                           tuple(t.properties for t in f.traces),
                           tuple(v.properties for v in f.values),
                           tuple(value_kinds(f)))
        names = (tuple(s.name for s in f.sweeps), tuple(t.name for t in f.traces),
                 tuple(v.name for v in f.values))
    if psf is not None and names != _names(psf):
        raise OSError(f"{os.fspath(path)}: the file no longer holds this result")
    return found


def properties(psf: Psf) -> Properties:
    """The property lists of a result that `quarn.read_psf` returned.

    Each sweep, trace and value has a dict of its declaration's properties
    over its type's ("units" among them, where the file gives units):

        >>> psf = quarn.read_psf("ac.psfbin")
        >>> quarn.properties(psf).traces[0]
        {'units': 'V'}

    They are read from the file when first asked for and kept. Raises
    LookupError for a result that `quarn.read_psf` did not return (`read_many`
    and `open_psf(...).select()` results: use `open_psf` for theirs), and
    OSError when the file changed or vanished since it was read.
    """
    note = _note(psf)
    if note is None:
        raise LookupError("quarn.properties: this result was not returned by quarn.read_psf; "
                          "open_psf(path) gives the properties of any file")
    if note.found is None:
        if _identity_or_none(note.path) != note.identity:
            raise OSError(f"{os.fspath(note.path)}: the file changed since it was read")
        found = properties_of_file(note.path, psf)
        if _identity_or_none(note.path) != note.identity:
            raise OSError(f"{os.fspath(note.path)}: the file changed since it was read")
        note.found = found
    return note.found


def known_properties(psf: Psf) -> Properties | None:
    """`properties(psf)`, or None where it would raise: silently for a result
    `quarn.read_psf` did not return, with a warning when its file is gone."""
    try:
        return properties(psf)
    except LookupError:
        return None
    except (OSError, ValueError) as exc:
        warnings.warn(f"quarn: the result's properties (units) are left out: {exc}",
                      stacklevel=3)
        return None
