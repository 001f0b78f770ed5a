"""Reading only what is asked for: `open_psf(path)`.

    >>> with quarn.open_psf("tran.psfbin") as f:
    ...     [t.name for t in f.traces]
    ...     out = f["V(out)"]                      # one whole trace
    ...     tail = f.read("V(out)", -1000)          # its last 1000 points

Opening walks and checks the file's structure (so it fails exactly when
`read_psf` fails, with the same exception) and decodes the non-swept values;
the samples of a sweep or trace are decoded when they are read, and only the
windows or records that hold the points asked for. The file stays mapped until
`close()`, the end of the `with` block, or the object's collection; an open
file holds no file descriptor once it is mapped.

Series are asked for by their label (`SeriesInfo.label`): a sweep's name, and a
trace's name unless a sweep has it too. Such a trace (a DC sweep records the
swept source's node under the sweep's name) is labelled as in every converted
form: "vi" sweep, "vi (trace)" trace. Its plain name then stands for both, and
asking for it raises KeyError saying how to ask for each.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any

from . import _native
from ._errors import raise_os_error
from ._notes import add_note, is_text_form

if TYPE_CHECKING:
    import numpy as np

    from ._wholefile import WholeFile

    from ._quarn import Psf

__all__ = ["PsfFile", "SeriesInfo", "ValueInfo", "open_psf"]


class SeriesInfo:
    """One sweep or trace of an open file, without its samples.

    `dtype` is the dtype `read_psf` gives its array (float64, complex128, or a
    structured dtype of one float64 field per member); `len()` is its number of
    points. `properties` are its declaration's properties over those of its type
    (units usually live on the type; the declaration's own value wins), and
    `group` the name of the group it is declared in, or None. `name` is the
    name in the file; `label` the name to ask for it by (see the module's
    docstring), which differs only for a trace that has a sweep's name.
    """

    __slots__ = ("name", "dtype", "points", "properties", "group", "label")

    def __init__(self, name: str, dtype: np.dtype[Any], points: int,
                 properties: Mapping[str, Any], group: str | None,
                 label: str | None = None) -> None:
        self.name = name
        self.dtype = dtype
        self.points = points
        self.properties = properties
        self.group = group
        self.label = name if label is None else label

    def __len__(self) -> int:
        return self.points

    def __repr__(self) -> str:
        shown = self.name if self.label == self.name else f"{self.label} (named {self.name!r})"
        return f"SeriesInfo({shown!r}, {self.dtype}, {self.points} points)"


@dataclass(frozen=True)
class ValueInfo:
    """One non-swept value: `data` as `read_psf` gives it, and its declaration's
    `properties` and `group` as for a `SeriesInfo`."""

    name: str
    data: Any
    properties: Mapping[str, Any]
    group: str | None


class PsfFile:
    """An open psfbin file whose series are decoded when read (see `open_psf`).

    It cannot be copied (`copy.copy` raises TypeError): a copy would share the
    open file, and closing one would close the other. Open the path again.
    """

    __slots__ = ("_file", "header", "sweeps", "traces", "values", "_index", "_infos",
                 "_both", "__weakref__")

    def __init__(self, path: str | os.PathLike[str]) -> None:
        try:
            self._file: _native.LazyFile | WholeFile = _native.LazyFile(path)
        except ValueError as exc:
            if not is_text_form(path):
                add_note(exc, path)
                raise
        except OSError as exc:
            raise_os_error(exc, path)
        if not hasattr(self, "_file"):  # the text form: read whole, its failure its own
            from ._wholefile import WholeFile  # imports NumPy, which `import quarn` does not

            try:
                self._file = WholeFile(path)
            except OSError as exc:
                raise_os_error(exc, path)
        self._describe()

    def _describe(self) -> None:
        from ._results import trace_labels  # imports NumPy, which `import quarn` does not

        series = self._file.series
        count = self._file.sweep_count
        labels = trace_labels([s[0] for s in series[:count]], [s[0] for s in series[count:]])
        infos = [SeriesInfo(*s) for s in series[:count]]
        infos += [SeriesInfo(*s, label=label) for s, label in zip(series[count:], labels)]
        self.header: dict[str, Any] = self._file.header
        self.sweeps: tuple[SeriesInfo, ...] = tuple(infos[:count])
        self.traces: tuple[SeriesInfo, ...] = tuple(infos[count:])
        self.values: tuple[ValueInfo, ...] = tuple([ValueInfo(*v) for v in self._file.values])
        # A label given to several series is the first's.
        self._index: dict[str, int] = {}
        for i, info in enumerate(infos):
            self._index.setdefault(info.label, i)
        # Names of a sweep and a trace at once: asking for them is ambiguous.
        self._both = {t.name for t in self.traces if t.label != t.name}
        self._infos = infos

    def _find(self, name: str | SeriesInfo) -> int:
        """The position of a series among sweeps then traces, by label or SeriesInfo."""
        if isinstance(name, SeriesInfo):
            for i, info in enumerate(self._infos):
                if info is name:
                    return i
            raise KeyError(f"{name!r} is not a series of this file")
        if name in self._both:
            sweep = next(i for i, s in enumerate(self.sweeps) if s.name == name)
            trace = next(t.label for t in self.traces if t.name == name)
            raise KeyError(
                f"{name!r} names both a sweep and a trace: ask for the trace as {trace!r} "
                f"and for the sweep by its SeriesInfo, f[f.sweeps[{sweep}]]")
        try:
            return self._index[name]
        except (KeyError, TypeError):
            raise KeyError(name) from None

    def read(self, name: str | SeriesInfo, start: int | None = None,
             stop: int | None = None) -> np.ndarray[Any, np.dtype[Any]]:
        """Points `start:stop` of the sweep or trace `name` as a new array.

        `name` is a label (see the module's docstring) or one of this file's
        `SeriesInfo` objects. `start` and `stop` are taken as in a slice (None
        for the ends, negative from the end). The array equals that part of
        `read_psf`'s bit for bit. Raises KeyError for a name the file does not
        have or one that names both a sweep and a trace, ValueError when the
        file is closed, and OSError when it shrank since it was opened.
        """
        if self._file.closed:
            raise ValueError("I/O operation on closed file")
        # A plain label is looked up here; `_find` says why anything else is
        # refused. (One call fewer: under a failed allocation, the interpreter
        # leaks the arguments of a call whose frame it cannot make.)
        i = self._index.get(name, -1) if isinstance(name, str) and name not in self._both else -1
        if i < 0:
            i = self._find(name)
        first, last, _ = slice(start, stop).indices(self._infos[i].points)
        return self._file.read(i, first, max(first, last))

    def _read_at(self, i: int, start: int | None = None,
                 stop: int | None = None) -> np.ndarray[Any, np.dtype[Any]]:
        """`read` of the series at position `i` among sweeps then traces."""
        first, last, _ = slice(start, stop).indices(self._infos[i].points)
        return self._file.read(i, first, max(first, last))

    @property
    def _identity(self) -> tuple[int, int, int, int]:
        """(device, inode, size, mtime_ns) of the file as it was opened."""
        return self._file.identity

    def select(self, traces: Iterable[str] | None = None) -> Psf:
        """A `Psf` as `read_psf` gives it, but holding only the traces named
        (every trace when None), in file order, with every sweep and value; the
        series it holds are decoded now. `traces` are the traces' labels or
        names (a trace named like a sweep is chosen by either). Raises TypeError
        for a single str (pass a list of names), KeyError for a name that is
        not a trace's."""
        if isinstance(traces, (str, bytes)):
            raise TypeError(
                f"select() takes an iterable of trace names, not a single name: "
                f"select([{traces!r}])")
        if self._file.closed:
            raise ValueError("I/O operation on closed file")
        count = len(self.sweeps)
        if traces is None:
            chosen: Sequence[int] = range(count, count + len(self.traces))
        else:
            # Only traces are chosen here: a trace's own name is no less clear
            # than its label.
            by_name = {t.name: count + i for i, t in reversed(list(enumerate(self.traces)))}
            by_label = {t.label: count + i for i, t in reversed(list(enumerate(self.traces)))}
            wanted = set()
            for name in traces:
                i = by_label.get(name, by_name.get(name))
                if i is None:
                    raise KeyError(name)
                wanted.add(i)
            chosen = sorted(wanted)
        return self._file.select([*range(count), *chosen])

    def __getitem__(self, name: str | SeriesInfo) -> np.ndarray[Any, np.dtype[Any]]:
        return self.read(name)

    def __contains__(self, name: object) -> bool:
        return name in self._index

    def __copy__(self) -> PsfFile:
        raise TypeError("a PsfFile cannot be copied (a copy would share the open file): "
                        "open the path again with quarn.open_psf")

    def __deepcopy__(self, memo: object) -> PsfFile:
        return self.__copy__()

    def __reduce__(self) -> Any:
        raise TypeError("a PsfFile cannot be pickled: pickle its path and open it again")

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
