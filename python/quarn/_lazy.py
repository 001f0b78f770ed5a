"""Reading only what is asked for: `open_psf(path)`.

    >>> with quarn.open_psf("tran.psfbin") as f:
    ...     [t.name for t in f.traces]
    ...     out = f["V(out)"]                      # one whole trace
    ...     tail = f.read("V(out)", -1000)          # its last 1000 points

Opening walks and checks the file's structure (so it fails exactly when
`read_psf` fails, with the same exception) and decodes the non-swept values;
the samples of a sweep or trace are decoded when they are read, and only the
windows or records that hold the points asked for. The file stays mapped until
`close()`, the end of the `with` block, or the object's collection.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any

from . import _native
from ._errors import raise_os_error
from ._notes import add_note

if TYPE_CHECKING:
    import numpy as np

    from ._quarn import Psf

__all__ = ["PsfFile", "SeriesInfo", "ValueInfo", "open_psf"]


class SeriesInfo:
    """One sweep or trace of an open file, without its samples.

    `dtype` is the dtype `read_psf` gives its array (float64, complex128, or a
    structured dtype of one float64 field per member); `len()` is its number of
    points. `properties` are its declaration's properties over those of its type
    (units usually live on the type; the declaration's own value wins), and
    `group` the name of the group it is declared in, or None.
    """

    __slots__ = ("name", "dtype", "points", "properties", "group")

    def __init__(self, name: str, dtype: np.dtype[Any], points: int,
                 properties: Mapping[str, Any], group: str | None) -> None:
        self.name = name
        self.dtype = dtype
        self.points = points
        self.properties = properties
        self.group = group

    def __len__(self) -> int:
        return self.points

    def __repr__(self) -> str:
        return f"SeriesInfo({self.name!r}, {self.dtype}, {self.points} points)"


@dataclass(frozen=True)
class ValueInfo:
    """One non-swept value: `data` as `read_psf` gives it, and its declaration's
    `properties` and `group` as for a `SeriesInfo`."""

    name: str
    data: Any
    properties: Mapping[str, Any]
    group: str | None


class PsfFile:
    """An open psfbin file whose series are decoded when read (see `open_psf`)."""

    __slots__ = ("_file", "header", "sweeps", "traces", "values", "_index", "_infos",
                 "__weakref__")

    def __init__(self, path: str | os.PathLike[str]) -> None:
        try:
            self._file = _native.LazyFile(path)
        except ValueError as exc:
            add_note(exc, path)
            raise
        except OSError as exc:
            raise_os_error(exc, path)
        infos = [SeriesInfo(*s) for s in self._file.series]
        count = self._file.sweep_count
        self.header: dict[str, Any] = self._file.header
        self.sweeps: tuple[SeriesInfo, ...] = tuple(infos[:count])
        self.traces: tuple[SeriesInfo, ...] = tuple(infos[count:])
        self.values: tuple[ValueInfo, ...] = tuple([ValueInfo(*v) for v in self._file.values])
        # A name given to several series is the first's.
        self._index: dict[str, int] = {}
        for i, info in enumerate(infos):
            self._index.setdefault(info.name, i)
        self._infos = infos

    def read(self, name: str, start: int | None = None,
             stop: int | None = None) -> np.ndarray[Any, np.dtype[Any]]:
        """Points `start:stop` of the sweep or trace `name` as a new array.

        `start` and `stop` are taken as in a slice (None for the ends, negative
        from the end). The array equals that part of `read_psf`'s bit for bit.
        Raises KeyError for a name the file does not have, ValueError when the
        file is closed, and OSError when it shrank since it was opened.
        """
        if self._file.closed:
            raise ValueError("I/O operation on closed file")
        try:
            i = self._index[name]
        except (KeyError, TypeError):
            raise KeyError(name) from None
        first, last, _ = slice(start, stop).indices(self._infos[i].points)
        return self._file.read(i, first, max(first, last))

    def select(self, traces: Iterable[str] | None = None) -> Psf:
        """A `Psf` as `read_psf` gives it, but holding only the traces named
        (every trace when None), in file order, with every sweep and value; the
        series it holds are decoded now. Raises KeyError for a name the file's
        traces do not have."""
        if self._file.closed:
            raise ValueError("I/O operation on closed file")
        count = len(self.sweeps)
        if traces is None:
            chosen: Sequence[int] = range(count, count + len(self.traces))
        else:
            wanted = set(traces)
            for name in wanted - {t.name for t in self.traces}:
                raise KeyError(name)
            chosen = [i for i in range(count, len(self._infos)) if self._infos[i].name in wanted]
        return self._file.select([*range(count), *chosen])

    def __getitem__(self, name: str) -> np.ndarray[Any, np.dtype[Any]]:
        return self.read(name)

    def __contains__(self, name: object) -> bool:
        return name in self._index

    @property
    def closed(self) -> bool:
        return self._file.closed

    def close(self) -> None:
        """Unmaps and closes the file; reads then raise ValueError. Idempotent."""
        self._file.close()

    def __enter__(self) -> PsfFile:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return (f"<quarn.PsfFile {state}: {len(self.sweeps)} sweeps, {len(self.traces)} traces, "
                f"{len(self.values)} values>")


def open_psf(path: str | os.PathLike[str]) -> PsfFile:
    """Open a psfbin file for reading its sweeps and traces one at a time.

    Raises exactly what `read_psf(path)` raises for the same file (OSError when
    it cannot be opened, ValueError when it is malformed, with the same message
    and the same note saying what the file most likely is).
    """
    return PsfFile(path)
