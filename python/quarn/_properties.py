"""The properties of a result read whole: `quarn.properties(psf)`.

A file gives every sweep, trace and value a property list (its declaration's
properties over its type's: "units" among them). `read_psf` returns the
native `Psf`, whose classes hold names and data only and cannot be given
more; the lazy reader (`open_psf`) has the lists. So `quarn.read_psf` notes,
beside each result it returns, where the result came from (the path and the
file's identity: device, inode, size, modification time, taken before the
read), and `properties(psf)` walks that file once with the lazy reader when
the properties are first asked for, if it still has that identity, and keeps
them from then on. (A file replaced during the read has another identity by
the time it is asked for, so its result gets none.)

Why not at read time: walking a large swept file costs up to half a read, and
most reads never ask. `Psf` objects cannot be weakly referenced, so a note is
looked up by `id(psf)` and accepted only when a token the result owns is its:
a weak reference to its first sweep's or trace's array (the `Psf` hands out
the same array every time, and no other live result has it), or, for a result
without arrays, its header dict itself (held by the note). The walk's names
must be the result's too. Notes whose token is gone (a dead array, a header
that nobody else holds) are dropped as new ones are made; a non-swept result
whose header was made to refer to the result itself stays until then. A note
costs the read one `stat`. A result whose file changed
or vanished before its properties were asked for has none (`OSError`), never
another file's.
"""

from __future__ import annotations

import functools
import os
import sys
import threading
import warnings
import weakref
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
    "mos_op"; None where the file names none); `trace_members` and
    `value_members` the properties of each struct trace's and value's members,
    one dict per member (empty for other types)."""

    sweeps: tuple[Mapping[str, Any], ...]
    traces: tuple[Mapping[str, Any], ...]
    values: tuple[Mapping[str, Any], ...]
    kinds: tuple[str | None, ...] = ()
    trace_members: tuple[tuple[Mapping[str, Any], ...], ...] = ()
    value_members: tuple[tuple[Mapping[str, Any], ...], ...] = ()

    def units(self, kind: str, index: int) -> str | None:
        """The "units" property of the `index`-th sweep, trace or value, if it has one."""
        unit = getattr(self, kind)[index].get("units")
        return unit if isinstance(unit, str) and unit else None


_Identity = tuple[int, int, int, int]


def _identity(path: str | os.PathLike[str]) -> _Identity:
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def names_of(psf: Psf) -> tuple[tuple[str, ...], ...]:
    return (tuple(s.name for s in psf.sweeps), tuple(t.name for t in psf.traces),
            tuple(v.name for v in psf.values))


def _first_array(psf: Psf) -> Any:
    for series in (psf.sweeps, psf.traces):
        if series:
            return series[0].data
    return None


class _Note:
    __slots__ = ("token", "path", "identity", "found")

    def __init__(self, psf: Psf, path: str | os.PathLike[str], identity: _Identity) -> None:
        first = _first_array(psf)
        self.token: Any = psf.header if first is None else weakref.ref(first)
        self.path = path
        self.identity = identity
        self.found: Properties | None = None

    def owned_by(self, psf: Psf) -> bool:
        if isinstance(self.token, weakref.ref):
            return self.token() is _first_array(psf)
        return self.token is psf.header

    def gone(self) -> bool:
        if isinstance(self.token, weakref.ref):
            return self.token() is None
        # References to the header: this note's attribute and getrefcount's argument.
        return sys.getrefcount(self.token) <= 2


_lock = threading.Lock()
_notes: dict[int, _Note] = {}
_prune_at = 64


def _remember(psf: Psf, path: str | os.PathLike[str], identity: _Identity) -> None:
    global _prune_at
    note, key = _Note(psf, path, identity), id(psf)
    if isinstance(note.token, weakref.ref):
        # Forgotten with the result's first array, at once: no note outlives its result.
        weakref.finalize(note.token(), _forget, key, note)
    with _lock:
        _notes[key] = note
        if len(_notes) >= _prune_at:
            for key in [k for k, note in _notes.items() if note.gone()]:
                del _notes[key]
            _prune_at = max(64, 2 * len(_notes))


def _forget(key: int, note: _Note) -> None:
    with _lock:
        if _notes.get(key) is note:
            del _notes[key]


def _note(psf: Psf) -> _Note | None:
    with _lock:
        note = _notes.get(id(psf))
    if note is None or not note.owned_by(psf):
        return None
    return note


if TYPE_CHECKING:

    def read_psf(path: str | os.PathLike[str]) -> Psf: ...

else:

    @functools.wraps(_read_psf)
    def read_psf(*args, **kwargs):
        # Arguments the native reader refuses are refused by it, with its message.
        path = args[0] if len(args) == 1 and not kwargs else (
            kwargs.get("path") if not args and len(kwargs) == 1 else None)
        before = None if path is None else _identity_or_none(path)
        psf = _read_psf(*args, **kwargs)
        if before is not None:
            _remember(psf, path, before)
        return psf

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
        members = [tuple(m) for m in f._file.member_properties]
        count = len(f.sweeps) + len(f.traces)
        found = Properties(tuple(s.properties for s in f.sweeps),
                           tuple(t.properties for t in f.traces),
                           tuple(v.properties for v in f.values),
                           tuple(value_kinds(f)), tuple(members[len(f.sweeps):count]),
                           tuple(members[count:]))
        names = (tuple(s.name for s in f.sweeps), tuple(t.name for t in f.traces),
                 tuple(v.name for v in f.values))
    if psf is not None and names != names_of(psf):
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
