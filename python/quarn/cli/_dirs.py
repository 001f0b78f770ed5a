"""Result directories on the command line.

A directory with an index (`logFile`) is a run directory: it is read as one run
(`quarn.open_results`), its listed results are the files the commands read, and every
other file in it is explained rather than read. Any other directory stands for the
files in it, as before. With -r, the run directories below a directory are found
(each read as a run, nothing below it walked) beside the loose files there.

Files found in a directory may be skipped when they cannot be read (export, plot);
files named one by one never are.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._directory import INDEX_NAME, Analysis, Family, Results, _read_runs, _STALE, \
    open_results
from ._common import CommandError, escape, expand_paths, notes, print_failure, progress, \
    read_results

if TYPE_CHECKING:
    import pandas as pd

    from quarn import Psf

#: Names of stale results shown on their counted line before "...".
STALE_SHOWN = 3


@dataclass
class Sources:
    """What the command line names, in its order: files (each with whether it was found
    in a directory, and so may be skipped) and run directories."""

    items: list[tuple[Path, str]] = field(default_factory=list)  # (path, "file"|"found"|"run")

    @property
    def files(self) -> list[Path]:
        return [p for p, what in self.items if what != "run"]

    @property
    def runs(self) -> list[Path]:
        return [p for p, what in self.items if what == "run"]


def is_run(path: Path) -> bool:
    """Whether `path` is a run directory: one with an index."""
    return (path / INDEX_NAME).is_file()


def collect(args: Iterable[str], recursive: bool | None) -> Sources:
    """The sources the command line names (see the module's description). A directory
    that holds nothing to read raises CommandError as `expand_paths` says."""
    sources = Sources()
    for arg in args:
        path = Path(arg)
        if not path.is_dir():
            sources.items.append((path, "file"))
        elif is_run(path):
            sources.items.append((path, "run"))
        else:
            found = _walk(path) if recursive else []
            if not any(what == "run" for _, what in found):
                found = [(p, "found") for p in expand_paths([arg], recursive)]
            sources.items += found
    return sources


def _walk(top: Path) -> list[tuple[Path, str]]:
    """The run directories under `top` and the loose files outside them, by path."""
    found: list[tuple[Path, str]] = []

    def fail(exc: OSError) -> None:
        raise exc

    try:
        for root, dirs, names in os.walk(top, onerror=fail):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            if root != os.fspath(top) and INDEX_NAME in names and \
                    os.path.isfile(os.path.join(root, INDEX_NAME)):
                found.append((Path(root), "run"))
                dirs[:] = []
                continue
            found += [(p, "found") for p in (Path(root, n) for n in names
                                             if not n.startswith(".")) if p.is_file()]
    except OSError as exc:
        raise CommandError(f"cannot list {top}: {exc.strerror or exc}") from None
    return sorted(found)


def open_run(path: Path) -> Results | Exception:
    try:
        return open_results(path)
    except (OSError, ValueError) as exc:
        return exc


def listed(run: Results) -> list[Analysis]:
    """The results a run's index lists: every analysis but the families' own entries
    (whose data files hold no run's data)."""
    nodes = {id(f.analysis) for f in run.families}
    return [a for a in run.analyses if id(a) not in nodes]


def read_sources(sources: Sources, traces: Sequence[str] | None
                 ) -> Iterator[tuple[Path, Psf | Exception, bool]]:
    """Each result with its path and whether it may be skipped: the files read as
    `read_results` reads them, the listed results of each run directory in index order.
    A run directory whose index cannot be read is one failure, under its path."""
    batch: list[tuple[Path, str]] = []

    def flush() -> Iterator[tuple[Path, Psf | Exception, bool]]:
        found = [what == "found" for _, what in batch]
        paths = [p for p, _ in batch]
        batch.clear()
        for (path, result), lenient in zip(read_results(paths, traces), found):
            yield path, result, lenient

    for path, what in sources.items:
        if what != "run":
            batch.append((path, what))
            continue
        yield from flush()
        run = open_run(path)
        if isinstance(run, Exception):
            yield path, run, True
            continue
        analyses = listed(run)
        results = progress(_read_runs(analyses, None), len(analyses), "reading")
        for analysis, result in zip(analyses, results):
            yield analysis.path, result, True
    yield from flush()


def skip(path: Path, exc: BaseException) -> None:
    """One line on stderr for a result left out (its notes stay in `quarn info`)."""
    print_failure(path, f"{_first_line(exc).split('; ')[0]} (skipped)", [])


def _first_line(exc: BaseException) -> str:
    lines = str(exc).strip().splitlines()
    return lines[0] if lines else type(exc).__name__


# -- quarn info on a run directory -----------------------------------------------------

def _range(values: Any) -> dict[str, Any]:
    import numpy as np

    finite = values[~np.isnan(values)]
    if not len(finite):
        return {"min": None, "max": None, "distinct": 0}
    return {"min": float(finite.min()), "max": float(finite.max()),
            "distinct": len(np.unique(finite))}


def _analysis_entry(a: Analysis, result: Psf | Exception) -> dict[str, Any]:
    entry: dict[str, Any] = {"name": a.name, "kind": a.kind, "path": a._path,  # str
                             "family": a.family.name if a.family is not None else None,
                             "params": dict(a.params)}
    if isinstance(result, Exception):
        entry.update({"ok": False, "error": str(result), "error type": type(result).__name__,
                      "notes": notes(result)})
        return entry
    entry.update({"ok": True,
                  "sweeps": [{"name": s.name, "points": len(s.data)} for s in result.sweeps],
                  "traces": len(result.traces), "values": len(result.values)})
    return entry


def _family_entry(f: Family) -> dict[str, Any]:
    return {"name": f.name, "kind": f.kind, "path": os.fspath(f.analysis.path),
            "parent": f.parent.name if f.parent is not None else None,
            "variables": list(f.variables),
            "values": {v: _range(f.values[v]) for v in f.variables},
            "runs": [r.name for r in f.runs]}


def describe(path: Path) -> dict[str, Any]:
    """Everything `quarn info` says of a run directory, as plain data; "ok" is whether
    every result its index lists reads."""
    run = open_run(path)
    if isinstance(run, Exception):
        return {"path": os.fspath(path), "ok": False, "error": str(run),
                "error type": type(run).__name__, "notes": notes(run)}
    analyses = listed(run)
    results = progress(_read_runs(analyses, None), len(analyses), "reading")
    entries = [_analysis_entry(a, r) for a, r in zip(analyses, results)]
    others = run.other_files()
    return {"path": os.fspath(path), "ok": all(e["ok"] for e in entries),
            "header": run.header,
            "families": [_family_entry(f) for f in run.families],
            "analyses": entries,
            "other files": [{"path": os.fspath(p), "what": what} for p, what in others
                            if what != _STALE],
            "stale": [os.fspath(p) for p, what in others if what == _STALE]}


def _number(x: float | None) -> str:
    return "-" if x is None or not math.isfinite(x) else f"{x:.6g}"


def _what(e: dict[str, Any]) -> str:
    if not e["ok"]:
        # The reader's messages often start with the path, which the line shows already.
        message = _first_line(Exception(e["error"])).removeprefix(f"{e['path']}: ")
        return f"cannot be read: {message}"
    parts = [f"sweep {s['name']}, {s['points']} points" for s in e["sweeps"]]
    if e["traces"]:
        parts.append(f"{e['traces']} trace" + "s" * (e["traces"] != 1))
    if e["values"] or not parts:
        parts.append(f"{e['values']} value" + "s" * (e["values"] != 1))
    return ", ".join(parts)


def _line(e: dict[str, Any], indent: str, params: bool = False) -> str:
    where = os.path.basename(e["path"])
    values = "  " + " ".join(f"{k}={_number(v)}" for k, v in e["params"].items()) \
        if params and e["params"] else ""
    return f"{indent}{e['name']}  {e['kind']}  {where}{values}  {_what(e)}"


def tree(d: dict[str, Any], show_all: bool) -> list[str]:
    """The lines `quarn info` prints for a run directory (not yet escaped)."""
    if "analyses" not in d:
        return []
    analyses, families = d["analyses"], d["families"]
    lines = [f"{d['path']}  (run directory: {len(analyses)} results, "
             f"{len(families)} famil{'y' if len(families) == 1 else 'ies'})"]
    by_family: dict[str | None, list[dict[str, Any]]] = {}
    for e in analyses:
        by_family.setdefault(e["family"], []).append(e)
    children: dict[str | None, list[dict[str, Any]]] = {}
    for f in families:
        children.setdefault(f["parent"], []).append(f)
    # Families and the results outside them in index order: a family where its entry is.
    order = {e["path"]: i for i, e in enumerate(analyses)}
    top: list[tuple[float, dict[str, Any], bool]] = [
        (order[e["path"]], e, False) for e in by_family.get(None, [])]
    for f in children.get(None, []):
        names = set(f["runs"])
        first = [order[e["path"]] for e in analyses if e["name"] in names]
        top.append((min(first, default=len(analyses)) - 0.5, f, True))
    stack: list[tuple[dict[str, Any], bool, int]] = [
        (item, fam, 1) for _, item, fam in sorted(top, key=lambda t: t[0])][::-1]
    while stack:  # depth first, without recursion: the index decides the depth
        item, fam, depth = stack.pop()
        indent = "  " * depth
        if not fam:
            lines.append(_line(item, indent))
            continue
        ranges = ", ".join(
            f"{v} {_number(r['min'])} .. {_number(r['max'])} "
            f"({r['distinct']} value{'s' * (r['distinct'] != 1)})"
            for v, r in item["values"].items())
        lines.append(f"{indent}family {item['name']}  {item['kind']}  "
                     f"{os.path.basename(item['path'])}  {len(item['runs'])} runs  "
                     f"{ranges}".rstrip())
        runs = by_family.get(item["name"], [])
        if show_all:
            lines += [_line(e, indent + "  ", params=True) for e in runs]
        elif runs:
            kinds = ", ".join(sorted({e["kind"] for e in runs}))
            bad = [e for e in runs if not e["ok"]]
            span = runs[0]["name"] if len(runs) == 1 else \
                f"{runs[0]['name']} .. {runs[-1]['name']}"
            lines.append(f"{indent}  runs {span}  {kinds}  {len(runs) - len(bad)} read"
                         + (f", {len(bad)} cannot be read" if bad else "")
                         + "  (--all lists them)")
            lines += [_line(e, indent + "    ", params=True) for e in bad]
        stack += [(f, True, depth + 1) for f in children.get(item["name"], [])][::-1]
    for o in d["other files"]:
        lines.append(f"  {os.path.basename(o['path'])}: {o['what']}")
    stale = [os.path.basename(p) for p in d["stale"]]
    if stale:
        shown = ", ".join(stale[:STALE_SHOWN]) + (", ..." if len(stale) > STALE_SHOWN else "")
        lines.append(f"  {len(stale)} stale result{'s' * (len(stale) != 1)} the index does "
                     f"not list (earlier runs): {shown}")
    return lines


def print_tree(d: dict[str, Any], show_all: bool) -> None:
    if "analyses" not in d:
        print_failure(d["path"], d["error"], d["notes"])
        return
    for line in tree(d, show_all):
        print(escape(line))


# -- quarn export --family ---------------------------------------------------------

def family_table(sources: Sources, name: str) -> pd.DataFrame:
    """The table of family `name` (`Family.to_pandas`) of the one run directory given,
    its index as the first columns and complex columns split as export splits them."""
    runs = sources.runs
    if len(runs) != 1 or sources.files:
        raise CommandError(f"--family takes one run directory (a directory with an "
                           f"index, {INDEX_NAME}); {len(runs)} run directories and "
                           f"{len(sources.files)} other files were given")
    run = open_run(runs[0])
    if isinstance(run, Exception):
        raise CommandError(f"{runs[0]}: {_first_line(run)}")
    try:
        family = run.family(name)
    except KeyError as exc:
        raise CommandError(str(exc.args[0])) from None
    try:
        df = family.to_pandas()
    except ValueError as exc:
        raise CommandError(f"{runs[0]}: {exc}") from None
    for i, problem in df.attrs.get("problems", {}).items():
        print(escape(f"{family.runs[i].path}: {problem} (a row of missing values)"),
              file=sys.stderr)
    df = df.reset_index()
    for column in [c for c in df.columns if df[c].dtype.kind == "c"]:
        at = list(df.columns).index(column)
        values = df.pop(column).to_numpy()
        df.insert(at, f"{column}.real", values.real)
        df.insert(at + 1, f"{column}.imag", values.imag)
    return df


def check_one_kind(results: Sequence[tuple[Path, Psf]]) -> None:
    """CommandError, saying what to do, when results found in directories mix swept and
    non-swept ones, which one table cannot hold."""
    swept = [p.name for p, psf in results if (psf.sweeps or psf.traces) and not psf.values]
    other = [p.name for p, psf in results if not ((psf.sweeps or psf.traces) and not psf.values)]
    if swept and other:
        def some(names: list[str]) -> str:
            return ", ".join(names[:STALE_SHOWN]) + (", ..." if len(names) > STALE_SHOWN else "")

        raise CommandError(
            f"one table cannot hold swept results ({some(swept)}) and non-swept ones "
            f"({some(other)}): write a family's table with --family NAME, or name the files "
            "of one kind")
