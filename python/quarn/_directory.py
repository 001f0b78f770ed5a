"""A result directory as one object: `open_results(path)` -> `Results`.

    >>> run = quarn.open_results("sim/results")
    >>> [a.name for a in run.analyses], [f.name for f in run.families]
    >>> run.families[0].to_pandas()        # one row per run of a foreach

A run writes one directory. Its index, the text-form file `logFile`, lists one
entry per result file. Entries whose property list says `sweep_tree_type`
`sweepNode` are families (parametric sweeps, foreach runs); entries that say
`leafNode` are one run's result, linked to their family by `parent`, and carry
the family's variable values in their own property lists. Families are found
through those links only, never through file names, and nested families are
followed to any depth (iteratively: the file decides the depth).

Nothing is read but the index until asked: an `Analysis` knows its file's path
and, without opening it, why it cannot be read (`problem`: missing, another
format, the split form). Directories without an index list the files that read
as results by their content, and no families.
"""

from __future__ import annotations

import contextlib
import gc
import operator
import os
import stat
from collections.abc import Hashable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._batch import read_many
from ._lazy import PsfFile, open_psf
from ._notes import is_text_form, read_psf
from ._optional import require
from ._xarray import has_psfbin_footer, to_xarray

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd
    import xarray as xr

    from ._quarn import Psf

__all__ = ["Analysis", "Family", "Results", "open_results"]

#: The directory's index file.
INDEX_NAME = "logFile"
#: The suffix of the data sibling of a split-form main file.
SPLIT_DATA_SUFFIX = ".psfxl"
SPLIT_SIGNAL_SUFFIX = ".sig"
_FAMILY_NODE = "sweepNode"
_LEAF_NODE = "leafNode"


class Analysis:
    """One entry of the index: a result file of the run (or of one run of a family).

    `problem` is None, or one line saying why the file cannot be read, found
    without opening it. `params` holds the values of the family's variables for
    this run (`{}` outside a family).
    """

    __slots__ = ("entry", "name", "kind", "_path", "format", "parent", "description",
                 "sweep_variables", "data_type", "properties", "family", "params", "problem")

    def __init__(self, entry: str, kind: str, path: str, *, format: str = "PSF",
                 parent: str = "", description: str = "",
                 sweep_variables: tuple[str, ...] = (), data_type: str | None = None,
                 properties: Mapping[str, Any] | None = None,
                 listing: Mapping[str, bool] | None = None) -> None:
        self.entry = entry
        suffix = "-" + kind
        # Analysis names contain "-": strip the kind, never split at a dash.
        self.name = entry[:-len(suffix)] if kind and entry.endswith(suffix) else entry
        self.kind = kind
        self._path = path
        self.format = format
        self.parent = parent
        self.description = description
        self.sweep_variables = sweep_variables
        self.data_type = data_type
        self.properties: Mapping[str, Any] = properties or {}
        self.family: Family | None = None
        self.params: dict[str, float] = {}
        self.problem: str | None = _problem_of(path, format, listing)

    @property
    def path(self) -> Path:
        """The result file's path (the directory joined with the index's `dataFile`)."""
        return Path(self._path)

    def read(self) -> Psf:
        """The whole result (`read_psf`); raises when `problem` says it cannot be read."""
        self._check()
        return read_psf(self.path)

    def open(self) -> PsfFile:
        """The result opened lazily (`open_psf`)."""
        self._check()
        return open_psf(self.path)

    def to_xarray(self) -> xr.Dataset:
        """The result's Dataset (`to_xarray(self.read())`)."""
        return to_xarray(self.read())

    def _check(self) -> None:
        if self.problem is not None and os.path.lexists(self.path):
            raise ValueError(f"{self.path}: {self.problem}")

    def __repr__(self) -> str:
        extra = f", params={self.params}" if self.params else ""
        extra += f", problem={self.problem!r}" if self.problem else ""
        return f"Analysis({self.name!r}, kind={self.kind!r}, path={str(self.path)!r}{extra})"


class Family:
    """A family of runs (parametric sweep, foreach, statistical run) and its leaves.

    `variables` are outer first for nested families; `runs` are the leaves in
    index order; `values[v]` is variable `v` over the runs (float64).
    """

    def __init__(self, analysis: Analysis, variables: tuple[str, ...],
                 runs: list[Analysis], parent: Family | None) -> None:
        import numpy

        self.analysis = analysis
        self.name = analysis.name
        self.kind = analysis.kind
        self.variables = variables
        self.runs: tuple[Analysis, ...] = tuple(runs)
        self.parent = parent
        self.values: dict[str, np.ndarray[Any, np.dtype[np.float64]]] = {
            v: numpy.array([run.params.get(v, numpy.nan) for run in runs], dtype=numpy.float64)
            for v in variables}

    def __len__(self) -> int:
        return len(self.runs)

    def __repr__(self) -> str:
        return (f"Family({self.name!r}, kind={self.kind!r}, variables={self.variables}, "
                f"runs={len(self.runs)})")

    def read(self, *, workers: int | None = None) -> Iterator[Psf | Exception]:
        """Each run's result in run order (`read_many`, every core); a run that
        cannot be read gives its exception in its place."""
        return _read_runs(self.runs, workers)

    def to_pandas(self, *, workers: int | None = None) -> pd.DataFrame:
        """One row per run of non-swept leaves (measurements, operating points).

        Indexed by the family's variables (a MultiIndex when there are several);
        one column per value, a struct value `v` as columns "v.member"; the
        units in `df.attrs["units"]`. A run that cannot be read is a row of
        missing values, its reason in `df.attrs["problems"]` by run number.
        """
        pd = require("pandas", "pandas")
        self._one_kind()
        with _collector_paused():
            names, plain, other, problems = self._rows(workers)
        df = pd.DataFrame(list(plain.values()), index=list(plain), columns=names or [])
        if other:
            extra = pd.DataFrame(list(other.values()), index=list(other))
            df = pd.concat([df, extra]) if not df.empty else extra
        if other or problems:
            df = df.reindex(range(len(self.runs)))
        df = df.infer_objects()
        df.index = self._index(pd)
        df.attrs["units"] = self._units()
        if problems:
            df.attrs["problems"] = problems
        return df  # type: ignore[no-any-return]  # `pd` here is the module require() gave

    def _rows(self, workers: int | None) -> tuple[
            list[str] | None, dict[int, list[Any]], dict[int, dict[str, Any]], dict[int, str]]:
        # Runs that hold the same plain values in the same order (the usual case)
        # are rows of one list, by run number; any other run is a dict of its
        # own columns; a run that cannot be read is its reason.
        names: list[str] | None = None
        plain: dict[int, list[Any]] = {}
        other: dict[int, dict[str, Any]] = {}
        problems: dict[int, str] = {}
        for i, result in enumerate(self.read(workers=workers)):
            if isinstance(result, Exception):
                problems[i] = _one_line(result)
                continue
            if result.sweeps:
                raise ValueError(
                    f"the runs of family {self.name!r} are swept ({result.sweeps[0].name!r}): "
                    "use family.to_xarray(), or read them one by one from family.runs")
            values = result.values
            data = list(map(_DATA, values))
            if dict not in map(type, data):  # no struct value
                run_names = list(map(_NAME, values))
                if names is None:
                    names = run_names
                if run_names == names:
                    plain[i] = data
                    continue
            other[i] = _flat_row(values)
        return names, plain, other, problems

    def to_xarray(self, *, workers: int | None = None) -> xr.Dataset:
        """Swept leaves stacked along the family's variables: dims (variable...,
        sweep). ValueError when a run cannot be read or the runs' sweeps or
        traces differ (transients with adaptive steps): then use `family.runs`."""
        xr = require("xarray", "xarray")
        pd = require("pandas", "pandas")
        self._one_kind()
        results: list[Psf] = []
        for i, result in enumerate(self.read(workers=workers)):
            if isinstance(result, Exception):
                raise ValueError(
                    f"family {self.name!r} does not stack: run {i} ({self.runs[i].path}) "
                    f"cannot be read: {_one_line(result)}; read the others from family.runs")
            results.append(result)
        if not results:
            raise ValueError(f"family {self.name!r} has no runs")
        difference = _first_difference(results)
        if difference is not None:
            raise ValueError(
                f"the runs of family {self.name!r} do not stack: {difference}; "
                "read them one by one from family.runs")
        datasets = [to_xarray(r) for r in results]
        stacked = xr.concat(datasets, dim=_STACK_DIM, coords="minimal", compat="override",
                            join="override", combine_attrs="drop_conflicts")
        return _unstack(stacked, self, pd)

    def _index(self, pd: Any) -> Any:
        if len(self.variables) == 1:
            (v,) = self.variables
            return pd.Index(self.values[v], name=v)
        if not self.variables:
            return pd.RangeIndex(len(self.runs), name="run")
        return pd.MultiIndex.from_arrays([self.values[v] for v in self.variables],
                                         names=list(self.variables))

    def of_kind(self, kind: str) -> Family:
        """The family's leaves of one analysis kind (`ac`, `tran`, ...), for a
        family whose runs each leave results of several kinds."""
        return Family(self.analysis, self.variables, [r for r in self.runs if r.kind == kind],
                      self.parent)

    def _one_kind(self) -> None:
        kinds = sorted({run.kind for run in self.runs})
        if len(kinds) > 1:
            raise ValueError(f"family {self.name!r} has leaves of several kinds {kinds}: "
                             f"take one with family.of_kind({kinds[0]!r})")

    def _units(self) -> dict[str, str]:
        # The first run that opens lazily gives the units (a header read, not the data).
        for run in self.runs:
            if run.problem is not None:
                continue
            try:
                with run.open() as file:
                    values = file.values
            except (OSError, ValueError):
                continue
            units: dict[str, str] = {}
            for value in values:
                unit = value.properties.get("units")
                if isinstance(unit, str):
                    units[value.name] = unit
            return units
        return {}


_DATA = operator.attrgetter("data")
_NAME = operator.attrgetter("name")

#: The dimension runs are concatenated along before they are given their variables.
_STACK_DIM = "run"


def _unstack(ds: xr.Dataset, family: Family, pd: Any) -> xr.Dataset:
    variables = family.variables
    coords = {v: (_STACK_DIM, family.values[v]) for v in variables}
    ds = ds.assign_coords(coords)
    if len(variables) == 1 and pd.Index(family.values[variables[0]]).is_unique:
        return ds.swap_dims({_STACK_DIM: variables[0]}).drop_vars(_STACK_DIM, errors="ignore")
    if len(variables) > 1:
        index = pd.MultiIndex.from_arrays([family.values[v] for v in variables],
                                          names=list(variables))
        if index.is_unique:
            grid = 1
            for level in index.levels:
                grid *= len(level)
            if grid == len(index):  # every combination once: a full grid
                levels: dict[Hashable, list[str]] = {_STACK_DIM: list(variables)}
                grid_ds = ds.set_index(levels).unstack(_STACK_DIM)
                return grid_ds.transpose(*variables, ...)
    return ds  # not a grid: the runs stay along "run", each variable a coordinate


def _first_difference(results: Sequence[Psf]) -> str | None:
    import numpy

    first = results[0]
    shape = _shape(first)
    for i, other in enumerate(results[1:], 1):
        if _shape(other) != shape:
            return f"run {i} has other sweeps or traces than run 0"
        for a, b in zip(first.sweeps, other.sweeps):
            if not numpy.array_equal(a.data, b.data):
                return f"run {i}'s {a.name!r} axis differs from run 0's"
    return None


def _shape(psf: Psf) -> tuple[Any, ...]:
    return (tuple((s.name, len(s.data)) for s in psf.sweeps),
            tuple((t.name, t.data.dtype) for t in psf.traces),
            tuple(v.name for v in psf.values))


def _read_runs(runs: Sequence[Analysis], workers: int | None) -> Iterator[Psf | Exception]:
    readable = [run for run in runs if run.problem is None]
    results = read_many([run._path for run in readable], workers=workers, errors="return")
    for run in runs:
        if run.problem is not None:
            yield (FileNotFoundError if not os.path.lexists(run.path) else ValueError)(
                f"{run.path}: {run.problem}")
            continue
        yield next(results)


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    # Tens of thousands of small containers are made and kept, none of them
    # cyclic garbage: the cyclic collector would rescan them many times over.
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _flat_row(values: Sequence[Any]) -> dict[str, Any]:
    # A struct value `v` becomes the columns "v.member", as quarn.to_pandas names them.
    row: dict[str, Any] = {}
    for value in values:
        data = value.data
        if isinstance(data, dict):
            for member, x in data.items():
                row[f"{value.name}.{member}"] = x
        else:
            row[value.name] = data
    return row


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _problem_of(path: str, format: str, listing: Mapping[str, bool] | None) -> str | None:
    """Why the file cannot be read, as far as can be told without opening it.
    `listing` (the directory's names: is a regular file) saves a stat per file."""
    if format != "PSF":
        return f"another format ({format!r}), not read"
    name = os.path.basename(path)
    if listing is not None:
        regular = listing.get(name)
        if regular is None:
            return "the file is missing"
        if not regular:
            return "not a regular file"
        if name + SPLIT_DATA_SUFFIX in listing:
            return f"the split form (data in {name}{SPLIT_DATA_SUFFIX}), not read yet"
        return None
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "the file is missing"
    except OSError as exc:
        return f"the file cannot be examined: {exc.strerror or exc}"
    if not stat.S_ISREG(mode):
        return "not a regular file"
    if os.path.exists(path + SPLIT_DATA_SUFFIX):
        return f"the split form (data in {name}{SPLIT_DATA_SUFFIX}), not read yet"
    return None


class Results:
    """A result directory: its index's header, analyses, families, and what
    every other file is. Made by `open_results`."""

    def __init__(self, path: Path, header: dict[str, Any], analyses: list[Analysis],
                 families: list[Family], indexed: bool) -> None:
        self.path = path
        self.header = header
        self.analyses: tuple[Analysis, ...] = tuple(analyses)
        self.families: tuple[Family, ...] = tuple(families)
        self.indexed = indexed
        self._by_name: dict[str, Analysis] = {}
        for a in analyses:
            self._by_name.setdefault(a.name, a)
        self._files: list[tuple[Path, str]] | None = None

    def __getitem__(self, name: str) -> Analysis:
        try:
            return self._by_name[name]
        except KeyError:
            import difflib

            close = difflib.get_close_matches(name, list(self._by_name), n=3)
            hint = f"; closest: {', '.join(map(repr, close))}" if close else ""
            raise KeyError(f"no analysis {name!r} in {self.path}{hint}") from None

    def __contains__(self, name: object) -> bool:
        return name in self._by_name

    def __iter__(self) -> Iterator[Analysis]:
        return iter(self.analyses)

    def __len__(self) -> int:
        return len(self.analyses)

    def __repr__(self) -> str:
        return (f"Results({str(self.path)!r}, analyses={len(self.analyses)}, "
                f"families={len(self.families)})")

    def family(self, name: str) -> Family:
        """The family of that analysis name."""
        for f in self.families:
            if f.name == name:
                return f
        import difflib

        close = difflib.get_close_matches(name, [f.name for f in self.families], n=3)
        hint = f"; closest: {', '.join(map(repr, close))}" if close else ""
        raise KeyError(f"no family {name!r} in {self.path}{hint}")

    @property
    def problems(self) -> list[Analysis]:
        """The analyses that cannot be read, as far as known without reading them."""
        return [a for a in self.analyses if a.problem is not None]

    @property
    def stale(self) -> list[Path]:
        """Files that read as results but that the index does not list (earlier runs)."""
        return [p for p, what in self.other_files() if what == _STALE]

    def other_files(self) -> list[tuple[Path, str]]:
        """Every file of the directory that is not a listed analysis, with one
        line saying what it is (index, bookkeeping, split-form data, log,
        marker, stale result, ...). Sorted by name; computed once."""
        if self._files is None:
            listed = {os.path.normcase(a._path) for a in self.analyses}
            self._files = []
            with os.scandir(self.path) as scan:
                entries = sorted(scan, key=lambda e: e.name)
            for entry in entries:
                if os.path.normcase(entry.path) in listed:
                    continue
                self._files.append((Path(entry.path), _what_is(entry, listed, self.indexed)))
        return list(self._files)

    def to_datatree(self) -> xr.DataTree:
        """The directory as an xarray DataTree (see `quarn._datatree`)."""
        from ._datatree import results_datatree

        return results_datatree(self)


_STALE = "a result the index does not list (an earlier run's)"


def _what_is(entry: os.DirEntry[str], listed: set[str], indexed: bool) -> str:
    """One line saying what a file that is not a listed analysis is."""
    name = entry.name
    if entry.is_dir():
        return "a directory"
    if indexed and name == INDEX_NAME:  # whatever its size
        return "the directory's index"
    for suffix, what in ((SPLIT_DATA_SUFFIX, "data"), (SPLIT_SIGNAL_SUFFIX, "signal index")):
        main = entry.path[:-len(suffix)]
        if name.endswith(suffix) and (os.path.normcase(main) in listed or os.path.exists(main)):
            return f"the {what} of the split-form result {os.path.basename(main)}"
    try:
        if entry.stat().st_size == 0:
            return "an empty marker file"
    except OSError as exc:
        return f"cannot be examined: {exc.strerror or exc}"
    if os.path.exists(entry.path + SPLIT_DATA_SUFFIX):  # a split-form main file
        return _STALE
    if is_text_form(entry.path):
        role = _bookkeeping(entry.path)
        if role is not None:
            return role
        return _STALE if indexed else "a text-form file"
    if has_psfbin_footer(entry.path):
        return _STALE
    if name.endswith(".out") or name.endswith(".log"):
        return "a log (plain text), not a result"
    return "not a result file"


#: Bookkeeping files are a few hundred bytes; a bigger text-form file is a result.
_BOOKKEEPING_SIZE = 64 * 1024


def _bookkeeping(path: str) -> str | None:
    """What a text-form bookkeeping file is, from its header and entries."""
    from ._native import read_text

    try:
        if os.stat(path).st_size > _BOOKKEEPING_SIZE:
            return None
        header = read_text(path).header
    except (OSError, ValueError):
        return None
    if "Log Generator" in header:
        return "an index of the run" if os.path.basename(path) != INDEX_NAME else \
            "the directory's index"
    if "Run Generator" in header:
        return "the run object (names the run's index files)"
    if "analysisList" in header:
        return "the run data (design, simulator, temperature, host, date)"
    if "Time Stamp" in header and os.path.basename(path) == "variables_file":
        return "the design variables"
    return None


def open_results(path: str | os.PathLike[str]) -> Results:
    """Open a result directory: read its index (`logFile`) when it has one.

    Opens no result file. Without an index, the files that read as results (by
    their content) are the analyses, in name order, and there are no families.
    """
    root = Path(path)
    if not root.is_dir():
        raise NotADirectoryError(f"{root}: not a directory (read_psf reads one result file)")
    index = root / INDEX_NAME
    if not index.is_file():
        return _unindexed(root)
    with _collector_paused():
        return _indexed(root, index)


def _indexed(root: Path, index: Path) -> Results:
    from ._native import read_text_entries

    try:
        psf, details = read_text_entries(index)
    except ValueError as exc:
        raise ValueError(f"{index}: the directory's index cannot be read: {exc}") from exc
    listing = _listing(root)
    analyses: list[Analysis] = []
    # Entries by name with their type names and property lists, to drop identical repeats.
    seen: dict[str, list[tuple[Any, str, dict[str, Any]]]] = {}
    prefix = os.path.join(root, "")
    for value, (type_name, props) in zip(psf.values, details):
        data = value.data
        if not isinstance(data, dict) or "analysisType" not in data or "dataFile" not in data:
            continue
        same = seen.setdefault(value.name, [])
        whole = (data, type_name, props)
        if whole in same:  # the foreach index repeats identical family entries
            continue
        same.append(whole)
        variables: Any = data.get("sweepVariable", ())  # a list of names
        data_file = str(data["dataFile"])
        analyses.append(Analysis(
            value.name, str(data["analysisType"]), prefix + data_file,
            format=str(data.get("format", "PSF")), parent=str(data.get("parent", "")),
            description=str(data.get("description", "")),
            sweep_variables=(variables,) if isinstance(variables, str) else
            tuple(str(v) for v in variables),
            data_type=_str_or_none(props.get("data_type")), properties=props,
            listing=None if "/" in data_file or os.sep in data_file else listing))
    families = _link_families(analyses)
    return Results(root, dict(psf.header), analyses, families, indexed=True)


def _listing(root: Path) -> dict[str, bool]:
    """The directory's names, each with whether it is a regular file: one scan
    instead of a stat per listed file."""
    listing: dict[str, bool] = {}
    with os.scandir(root) as entries:
        for entry in entries:
            try:
                listing[entry.name] = entry.is_file()
            except OSError:
                listing[entry.name] = False
    return listing


def _str_or_none(x: Any) -> str | None:
    return None if x is None else str(x)


def _link_families(analyses: list[Analysis]) -> list[Family]:
    """Families and their leaves through `parent` links, to any depth, without recursion."""
    nodes = {a.entry: a for a in analyses
             if a.properties.get("sweep_tree_type") == _FAMILY_NODE}
    # Each family's chain of enclosing families, outermost first; a cycle stops the walk.
    chains: dict[str, list[Analysis]] = {}
    for entry, node in nodes.items():
        chain = [node]
        seen = {entry}
        parent = node.parent
        while parent in nodes and parent not in seen:
            seen.add(parent)
            chain.append(nodes[parent])
            parent = nodes[parent].parent
        chains[entry] = chain[::-1]
    leaves: dict[str, list[Analysis]] = {entry: [] for entry in nodes}
    for a in analyses:
        if a.properties.get("sweep_tree_type") != _LEAF_NODE or a.parent not in nodes:
            continue
        chain = chains[a.parent]
        for node in chain:  # the leaf is a run of its family and of every enclosing one
            leaves[node.entry].append(a)
        for node in chain:
            for v in node.sweep_variables:
                a.params[v] = _param(a, chain, v)
    families: dict[str, Family] = {}
    for entry, node in nodes.items():  # parents before children: chains are outer first
        chain = chains[entry]
        # Its own and enclosing levels' variables, then those of the levels inside it.
        names = [v for n in chain for v in n.sweep_variables]
        for a in leaves[entry]:
            names += [v for v in a.params if v not in names]
        variables = tuple(dict.fromkeys(names))
        outer = families.get(chain[-2].entry) if len(chain) > 1 else None
        families[entry] = Family(node, variables, leaves[entry], outer)
    for a in analyses:
        if a.entry in families:
            a.family = families[a.entry].parent
        elif a.parent in families:
            a.family = families[a.parent]
    order = {a.entry: i for i, a in enumerate(analyses)}
    return sorted(families.values(), key=lambda f: order[f.analysis.entry])


def _param(leaf: Analysis, chain: list[Analysis], variable: str) -> float:
    # The leaf's own property list says its values; an enclosing family entry
    # that carries the value stands in when the leaf does not.
    for props in [leaf.properties, *(n.properties for n in reversed(chain))]:
        value = props.get(variable)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
    return float("nan")


def _unindexed(root: Path) -> Results:
    analyses: list[Analysis] = []
    for entry in sorted(os.scandir(root), key=lambda e: e.name):
        if not entry.is_file():
            continue
        # A split-form main file is listed: its problem says why it is not read.
        if os.path.exists(entry.path + SPLIT_DATA_SUFFIX) or has_psfbin_footer(entry.path) or (
                is_text_form(entry.path) and _bookkeeping(entry.path) is None):
            stem, dot, kind = entry.name.partition(".")
            analyses.append(Analysis(stem if dot else entry.name, kind, entry.path))
    return Results(root, {}, analyses, [], indexed=False)
