"""The xarray Dataset of a result, and the backend class that opens files as one.

Imported only where xarray is used (see `quarn._xarray` for the layout).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Hashable, Iterable, Mapping, Sequence, Set
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint, CachingFileManager
from xarray.core import indexing
from xarray.indexes import PandasIndex

from ._properties import Properties, known_properties, value_kinds
from ._notes import is_text_form
from ._results import NAME_ATTR, UNSWEPT_AXIS, check_lengths, column, struct_matrix, trace_labels
from ._xarray import MEMBER_DIM_SUFFIX, STRUCT_GROUP_PREFIX, has_psfbin_footer

if TYPE_CHECKING:
    from ._lazy import PsfFile, SeriesInfo
    from ._quarn import Psf

__all__ = ["LazySeries", "QuarnBackendEntrypoint", "SeriesSource", "build_dataset", "file_dataset",
           "psf_dataset", "series_of"]


@dataclass(frozen=True)
class SeriesSource:
    """One sweep or trace, as the Dataset builder takes it.

    `data` becomes the variable's data as it is: a NumPy array for a result in
    memory, or, for a file read on demand, xarray's `LazilyIndexedArray` over a
    `BackendArray`. The builder reads only its `shape`, never its samples, except
    the first sweep's, which become the index. It is 1-D (points,) for a real
    or complex series and 2-D (points, members) float64 for a struct trace,
    whose member names are `members`. `attrs` become the variable's attributes
    (a declaration's properties, "units" among them), and `member_attrs` a
    struct trace's members' own properties, one mapping per member, where known.
    """

    name: str
    data: Any
    members: tuple[str, ...] | None = None
    attrs: Mapping[str, Any] = field(default_factory=dict)
    member_attrs: Sequence[Mapping[str, Any]] = ()

    @property
    def points(self) -> int:
        return int(self.data.shape[0])


def series_of(name: str, data: np.ndarray[Any, np.dtype[Any]],
              attrs: Mapping[str, Any] | None = None,
              member_attrs: Sequence[Mapping[str, Any]] = ()) -> SeriesSource:
    """The `SeriesSource` of an array `read_psf` made (a struct trace viewed as a matrix)."""
    names = data.dtype.names
    if names is None:
        return SeriesSource(name, data, attrs=dict(attrs or {}))
    return SeriesSource(name, struct_matrix(data), tuple(names), dict(attrs or {}),
                        member_attrs)


def build_dataset(
    header: Mapping[str, Any],
    sweeps: Sequence[SeriesSource],
    traces: Sequence[SeriesSource],
    values: Sequence[tuple[str, object]],
    drop_variables: str | Iterable[Hashable] | None = None,
    value_attrs: Sequence[Mapping[str, Any]] | None = None,
    value_kinds: Sequence[str | None] | None = None,
    value_members: Sequence[Sequence[Mapping[str, Any]]] | None = None,
) -> xr.Dataset:
    """The Dataset of one result (layout in the module's docstring).

    `values` are the non-swept (name, value) pairs, a value being an int, float,
    complex, str or a dict of such fields; `value_attrs` their properties (one
    mapping per value) and `value_kinds` the names of their types (one per value,
    None where the file names none) and `value_members` their struct members'
    properties (per value, one mapping per member), where they are known. A
    struct trace's or value's members' properties are the member variables'
    attributes, or for a struct trace (one variable) those all members share
    over the trace's own, the others coordinates "<T>_member.<property>" over
    its member dimension. A trace that shares its name with a
    sweep is the variable `trace_labels` names, with the name in its attributes.
    Dropped variables (by their names in the Dataset) are left out before
    anything else is checked, so a damaged trace can be dropped to read the rest.
    """
    drop: set[Hashable] = (
        {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ()))
    out = _Builder(drop)
    axis = sweeps[0].name if sweeps else UNSWEPT_AXIS
    labels = trace_labels([s.name for s in sweeps], [t.name for t in traces])
    traces = [t if label == t.name else
              SeriesSource(label, t.data, t.members, {**t.attrs, NAME_ATTR: t.name})
              for t, label in zip(traces, labels)]
    kept_sweeps = [s for s in sweeps if s.name not in drop]
    kept_traces = [t for t in traces if t.name not in drop]
    if sweeps:
        points = sweeps[0].points
    else:
        points = kept_traces[0].points if kept_traces else 0
    check_lengths(axis, points,
                  [("sweep", s.name, s.points) for s in kept_sweeps if s is not sweeps[0]]
                  + [("trace", t.name, t.points) for t in kept_traces])

    for s in kept_sweeps:
        out.coordinate(s.name, xr.Variable((axis,), s.data, dict(s.attrs)),
                       indexed=s is sweeps[0])
    for t in kept_traces:
        if t.members is None:
            out.variable(t.name, xr.Variable((axis,), t.data, dict(t.attrs)))
            continue
        dim = t.name + MEMBER_DIM_SUFFIX
        shared: dict[str, Any] = {}
        if len(t.member_attrs) == len(t.members) and any(t.member_attrs):
            # The members' coordinates follow the dimension's own.
            labelled = out.labels(dim, t.members)
            shared = group_attrs(labelled, t.member_attrs, (), out)
        else:
            out.labels(dim, t.members)
        out.variable(t.name, xr.Variable((axis, dim), t.data, {**t.attrs, **shared}))

    attrs = list(value_attrs) if value_attrs is not None else [{}] * len(values)
    kinds = list(value_kinds) if value_kinds is not None else [None] * len(values)
    member_attrs = (list(value_members) if value_members is not None
                    else [()] * len(values))
    groups: dict[tuple[str | None, tuple[str, ...]], list[int]] = {}
    for i, (name, value) in enumerate(values):
        if isinstance(value, dict):
            groups.setdefault((kinds[i], tuple(value)), []).append(i)
    names = struct_group_names(list(groups), {*out.taken, *(n for n, _ in values)})
    for i, (name, value) in enumerate(values):
        if not isinstance(value, dict):
            out.variable(name, xr.Variable((), column([value]).reshape(()), dict(attrs[i])))
            continue
        key = (kinds[i], tuple(value))
        group = groups.pop(key, None)
        if group is None:  # made at the group's first value
            continue
        dim = names[key]
        out.labels(dim, [values[k][0] for k in group],
                   group_attrs(dim, [attrs[k] for k in group], list(value), out))
        # One type, so the first value's members' properties are every value's.
        own = member_attrs[group[0]]
        for j, member in enumerate(value):
            cells = column([values[k][1][member] for k in group])  # type: ignore[index]
            out.variable(f"{dim}.{member}", xr.Variable(
                (dim,), cells, dict(own[j]) if len(own) == len(value) else {}))

    return xr.Dataset(out.data_vars, coords=xr.Coordinates(out.coords, indexes=out.indexes),
                      attrs=dict(header))


class _Builder:
    """The variables of one Dataset as they are made; each name is taken once."""

    def __init__(self, drop: set[Hashable]) -> None:
        self.drop = drop
        self.taken: set[str] = set()
        self.coords: dict[Hashable, Any] = {}
        self.indexes: dict[Hashable, Any] = {}
        self.data_vars: dict[Hashable, Any] = {}

    def _take(self, name: str) -> bool:
        """Whether to make `name` (not dropped); a name kept twice is an error."""
        if name in self.drop:
            return False
        if name in self.taken:
            raise ValueError(
                f"the result has two variables named {name!r}; an xarray Dataset holds one")
        self.taken.add(name)
        return True

    def variable(self, name: str, variable: Any) -> None:
        if self._take(name):
            self.data_vars[name] = variable

    def coordinate(self, name: str, variable: Any, *, indexed: bool) -> None:
        """A coordinate; `indexed`: also its index, over the coordinate's own array."""
        if not self._take(name):
            return
        self.coords[name] = variable
        if indexed:
            self.indexes[name] = _index(variable.values, name)

    def labels(self, dim: str, labels: Sequence[str], attrs: Mapping[str, Any] | None = None
               ) -> str:
        """A dimension of `labels` (member or value names), indexed by them; its name."""
        self.coordinate(dim, xr.Variable((dim,), np.array(labels, dtype=np.str_),
                                         dict(attrs or {})), indexed=True)
        return dim


#: Added to a property's coordinate whose name a member's variable has.
PROPERTY_SUFFIX = " (property)"


def struct_group_names(keys: Sequence[tuple[str | None, tuple[str, ...]]],
                       taken: Set[str] = frozenset()
                       ) -> dict[tuple[str | None, tuple[str, ...]], str]:
    """The dimension of each group of struct values, keyed by (type name, members).

    A group is named after its values' type (the device kind the file names, as
    "mos_op"); groups of one type name but different member lists, and groups
    whose type the file does not name, are "structk" (k counting such groups
    from 0 in file order), as is a type name that would clash with those or is
    `taken` (the name of a value or series).
    """
    named: dict[str | None, int] = {}
    for kind, _ in keys:
        named[kind] = named.get(kind, 0) + 1
    out: dict[tuple[str | None, tuple[str, ...]], str] = {}
    fallback = 0
    for key in keys:
        kind = key[0]
        if kind and named[kind] == 1 and not _is_fallback(kind) and kind not in taken:
            out[key] = kind
        else:
            out[key] = f"{STRUCT_GROUP_PREFIX}{fallback}"
            fallback += 1
    return out


def _is_fallback(name: str) -> bool:
    rest = name[len(STRUCT_GROUP_PREFIX):]
    return name.startswith(STRUCT_GROUP_PREFIX) and rest.isdigit()


def group_attrs(dim: str, attrs: Sequence[Mapping[str, Any]], members: Sequence[str],
                out: _Builder) -> dict[str, Any]:
    """The properties of a group's values: those all of them share with one value
    become attributes of the group's dimension; each other one a coordinate
    "<dim>.<property>" over it (a device's "model", say), "" or NaN where a
    value lacks it; "<dim>.<property> (property)" where a member or another
    variable has that name."""
    shared: dict[str, Any] = {}
    keys = list(dict.fromkeys(k for a in attrs for k in a))
    for key in keys:
        cells = [a.get(key) for a in attrs]
        first = cells[0]
        if all(key in a for a in attrs) and all(
                type(c) is type(first) and c == first for c in cells):
            shared[key] = first
            continue
        present = [c for c in cells if c is not None]
        kinds = {type(c) for c in present}
        if kinds <= {int, float} and kinds:
            data = np.array([np.nan if c is None else c for c in cells],
                            dtype=np.int64 if kinds == {int} and len(present) == len(cells)
                            else np.float64)
        else:
            data = np.array(["" if c is None else str(c) for c in cells], dtype=np.str_)
        name = f"{dim}.{key}"
        if key in members or name in out.taken:
            name += PROPERTY_SUFFIX
        out.coordinate(name, xr.Variable((dim,), data), indexed=False)
    return shared


def _index(data: np.ndarray[Any, np.dtype[Any]], dim: str) -> Any:
    """An index over `data` itself (pandas would copy it otherwise)."""
    return PandasIndex(pd.Index(data, copy=False, name=dim), dim)


def psf_dataset(psf: Psf, drop_variables: str | Iterable[Hashable] | None = None,
                properties: Properties | None = None) -> xr.Dataset:
    """The Dataset of a result `read_psf` made, over its arrays, with `properties`
    (by default those `quarn.properties` knows) as the variables' attributes."""
    if properties is None:
        properties = known_properties(psf)
    if properties is None:
        return build_dataset(
            psf.header,
            [series_of(s.name, s.data) for s in psf.sweeps],
            [series_of(t.name, t.data) for t in psf.traces],
            [(v.name, v.data) for v in psf.values],
            drop_variables)
    return build_dataset(
        psf.header,
        [series_of(s.name, s.data, a) for s, a in zip(psf.sweeps, properties.sweeps)],
        [series_of(t.name, t.data, a, m) for t, a, m in
         zip(psf.traces, properties.traces, properties.trace_members or [()] * len(psf.traces))],
        [(v.name, v.data) for v in psf.values],
        drop_variables, properties.values, properties.kinds or None,
        properties.value_members or None)


class _Opener:
    """Opens the file of a lazy Dataset for xarray's file cache, on every
    reopen (after eviction from the cache, `close()`, or unpickling in a Dask
    worker): each reopen must find the very file first opened, or the old
    index would be combined with other samples. The file already open when the
    Dataset is made is handed out first."""

    def __init__(self, path: str | os.PathLike[Any], file: PsfFile) -> None:
        self.path = path
        self.identity: tuple[int, int, int, int] = file._identity
        self._first: PsfFile | None = file

    def __call__(self, mode: object = None) -> PsfFile:
        # `mode`: an unpickled file manager passes its placeholder for "none".
        first, self._first = self._first, None
        if first is not None and not first.closed:
            return first
        from ._lazy import open_psf

        file = open_psf(self.path)
        if file._identity != self.identity:
            file.close()
            raise OSError(
                f"cannot read {os.fsdecode(self.path)}: the file changed since it was opened "
                "(another file, or rewritten: its device, inode, size or modification time "
                "differ)")
        return file

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path, "identity": self.identity}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.path, self.identity, self._first = state["path"], state["identity"], None

    def __repr__(self) -> str:
        return f"quarn file {os.fsdecode(self.path)!r}"


class _ForkSafeLock:
    """A lock that a child of fork() gets anew. A thread of the parent that
    held it at the fork is not in the child and would never release it; the
    child's first use takes a new lock instead (the child then has one thread,
    the one that forked). Pickles as a new lock."""

    def __init__(self) -> None:
        self._pid = os.getpid()
        self._lock = threading.Lock()

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        if self._pid != os.getpid():
            self._lock, self._pid = threading.Lock(), os.getpid()
        return self._lock.acquire(blocking, timeout)

    def release(self) -> None:
        self._lock.release()

    def __enter__(self) -> bool:
        return self.acquire()

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __reduce__(self) -> tuple[type[_ForkSafeLock], tuple[()]]:
        return (_ForkSafeLock, ())


def _renew_file_cache_locks() -> None:
    """In a child of fork(): xarray's file cache locks made anew, for the same
    reason as `_ForkSafeLock` (the child has only the thread that forked, which
    held none of them)."""
    from xarray.backends import file_manager

    made: dict[int, Any] = {}
    for owner, attr in ((getattr(file_manager, "FILE_CACHE", None), "_lock"),
                        (file_manager, "_PIN_LOCK")):
        lock = getattr(owner, attr, None)
        if lock is None:
            continue
        kind = threading.RLock if "RLock" in type(lock).__name__ else threading.Lock
        setattr(owner, attr, made.setdefault(id(lock), kind()))


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_renew_file_cache_locks)


#: Times a read reopens a file closed under it (by `Dataset.close()` in another thread).
_REOPENS = 3


class LazySeries(BackendArray):
    """One sweep or trace of a file as xarray indexes it: each indexing
    decodes only the points it selects (a struct trace as (points, members)).
    The file comes from xarray's file cache (`file_cache_maxsize`), which
    reopens it when it was closed or evicted."""

    def __init__(self, manager: CachingFileManager[PsfFile], position: int,
                 info: SeriesInfo) -> None:
        self.manager = manager
        self.position = position  # among the file's sweeps, then traces
        members = info.dtype.names
        self.shape: tuple[int, ...] = (info.points,) if members is None else (
            info.points, len(members))
        self.dtype = info.dtype if members is None else np.dtype(np.float64)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: tuple[Any, ...]) -> np.ndarray[Any, np.dtype[Any]]:
        """Basic indexing: an int or a slice along the points, then the members."""
        points, rest = key[0], key[1:]
        if not isinstance(points, slice):
            index = int(points)
            return np.asarray(self._points(index, index + 1)[(0, *rest)])
        chosen = range(*points.indices(self.shape[0]))
        if chosen.step == 1 or len(chosen) <= 1:
            data = self._points(chosen.start, chosen.start + len(chosen))
            return np.asarray(data[(slice(None), *rest)]) if rest else data
        first = min(chosen)
        data = self._points(first, max(chosen) + 1)
        return np.asarray(data[(np.asarray(chosen) - first, *rest)])

    def _points(self, start: int, stop: int) -> np.ndarray[Any, np.dtype[Any]]:
        for _ in range(_REOPENS):
            with self.manager.acquire_context() as file:
                if not file.closed:
                    data = file._read_at(self.position, start, stop)
                    return data if data.dtype.names is None else struct_matrix(data)
        raise ValueError("I/O operation on closed file")


def _lazy_series(manager: CachingFileManager[PsfFile], position: int, info: SeriesInfo,
                 member_attrs: Sequence[Mapping[str, Any]]) -> SeriesSource:
    members = info.dtype.names
    data = indexing.LazilyIndexedArray(LazySeries(manager, position, info))
    return SeriesSource(info.name, data, None if members is None else tuple(members),
                        dict(info.properties), member_attrs)


def file_dataset(file: PsfFile, path: str | os.PathLike[Any],
                 drop_variables: str | Iterable[Hashable] | None = None) -> xr.Dataset:
    """The Dataset of an open file: its sweeps and traces lazily indexed
    variables with their declarations' properties as attributes. The file goes
    to xarray's file cache, which closes it with the Dataset (or when it needs
    room) and opens `path` again when the Dataset is read afterwards."""
    manager: CachingFileManager[PsfFile] = CachingFileManager(
        _Opener(path, file), lock=_ForkSafeLock())
    try:
        file = manager.acquire()
        series = [*file.sweeps, *file.traces]
        members = file._file.member_properties  # per series, then per value
        lazy = [_lazy_series(manager, i, info, members[i]) for i, info in enumerate(series)]
        ds = build_dataset(
            file.header, lazy[:len(file.sweeps)], lazy[len(file.sweeps):],
            [(v.name, v.data) for v in file.values],
            drop_variables, [v.properties for v in file.values], value_kinds(file),
            members[len(series):])
    except BaseException:
        manager.close()
        raise
    ds.set_close(manager.close)
    return ds


def _names_path(exc: BaseException, path: str | os.PathLike[Any]) -> None:
    """Adds a note naming `path` to `exc` (PEP 678) unless its message has it:
    among hundreds of files opened at once, the failure must say which one."""
    shown = os.fsdecode(path)
    if shown in str(exc) or any(shown in n for n in getattr(exc, "__notes__", ())):
        return
    note = f"while opening {shown!r}"
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:  # Python 3.10: the attribute that 3.11 tracebacks print
        exc.__notes__ = [*getattr(exc, "__notes__", ()), note]


def _open_psf_dataset(filename_or_obj: object,
                      drop_variables: str | Iterable[Hashable] | None) -> xr.Dataset:
    if not isinstance(filename_or_obj, (str, os.PathLike)):
        raise TypeError(
            f"quarn opens psfbin files by path, not {type(filename_or_obj).__name__} objects")
    from ._lazy import open_psf

    try:
        return file_dataset(open_psf(filename_or_obj), filename_or_obj, drop_variables)
    except Exception as exc:
        _names_path(exc, filename_or_obj)
        raise


class QuarnBackendEntrypoint(BackendEntrypoint):
    """Opens psfbin result files: `xr.open_dataset(path, engine="quarn")`.

    The file is recognised by its footer, whatever its suffix. See
    `quarn._xarray` for the Dataset's layout.
    """

    open_dataset_parameters = ("filename_or_obj", "drop_variables")
    description = "Open psfbin circuit-simulation results with quarn"
    url = "https://pypi.org/project/quarn/"

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: str | os.PathLike[Any],
        *,
        drop_variables: str | Iterable[Hashable] | None = None,
    ) -> xr.Dataset:
        _refuse_directory(filename_or_obj)
        return _open_psf_dataset(filename_or_obj, drop_variables)

    def open_datatree(  # type: ignore[override]
        self,
        filename_or_obj: str | os.PathLike[Any],
        **kwargs: Any,
    ) -> xr.DataTree:
        """A result directory as a DataTree (see `quarn._datatree`)."""
        from ._directory import open_results

        return open_results(filename_or_obj).to_datatree()

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        return (has_psfbin_footer(filename_or_obj) or _is_text_file(filename_or_obj)
                or _is_result_directory(filename_or_obj))


def _is_text_file(path: Any) -> bool:
    # The text form, by content: it starts with "HEADER" and whitespace.
    return isinstance(path, (str, os.PathLike)) and is_text_form(path)


def _is_result_directory(path: Any) -> bool:
    # A directory is claimed only with its index: other engines open directories too.
    from ._directory import INDEX_NAME

    return isinstance(path, (str, os.PathLike)) and os.path.isfile(os.path.join(path, INDEX_NAME))


def _refuse_directory(path: Any) -> None:
    # A result directory (one with an index) is pointed to the calls that open
    # it; any other directory fails as every entry point fails on it (IsADirectoryError).
    if _is_result_directory(path):
        raise ValueError(
            f"{os.fspath(path)!s} is a directory: open a result directory with "
            "xr.open_datatree(path, engine='quarn') or quarn.open_results(path)")
