"""`quarn info`: what each result file holds, in a few lines per file (or one JSON document)."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from pathlib import Path
from typing import Any

import numpy as np

import quarn
from quarn import Psf

from .._results import trace_labels
from ._common import escape, file_size, kind, notes, print_failure, progress, \
    read_results
from ._dirs import collect, describe, print_tree

HELP = "describe result files: analysis, sweep, traces, values, size"


def add_parser(commands: Any) -> None:
    p: argparse.ArgumentParser = commands.add_parser(
        "info", help=HELP, description=HELP + ". A directory stands for the files in it; a "
        "run directory (one with an index, logFile) is shown as its run: families, results, "
        "other files.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="result files or directories")
    p.add_argument("--json", action="store_true", help="print one JSON document for scripts")
    p.add_argument("--brief", action="store_true",
                   help="one line per file from its HEADER alone (fast on large directories)")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="a directory stands for the files in its subdirectories too")
    p.add_argument("--all", action="store_true",
                   help="list every run of a family (default: one line for them)")
    p.set_defaults(run=run, parser=p)


def jsonable(x: Any) -> Any:
    """A value as strict JSON holds it: non-finite floats as their names, complex as
    [real, imag], NumPy scalars as Python ones."""
    if isinstance(x, np.generic):
        x = x.item()
    if isinstance(x, complex):
        return [jsonable(x.real), jsonable(x.imag)]
    if isinstance(x, float) and not math.isfinite(x):
        return repr(x)
    if isinstance(x, dict):
        return {str(k): jsonable(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [jsonable(v) for v in x]
    return x


def _series(data: np.ndarray) -> dict[str, Any]:
    entry: dict[str, Any] = {"kind": kind(data), "points": len(data)}
    if data.dtype.names is not None:
        entry["members"] = list(data.dtype.names)
    return entry


def _value(name: str, data: Any) -> dict[str, Any]:
    kinds = {dict: "struct", complex: "complex", float: "real", int: "int", str: "string",
             list: "array"}
    entry: dict[str, Any] = {"name": name, "kind": kinds.get(type(data), type(data).__name__)}
    if isinstance(data, dict):
        entry["members"] = list(data)
    entry["value"] = data
    return entry


def summary(path: Path, psf: Psf, size: int | None) -> dict[str, Any]:
    """Everything `info` says about a file that reads, as plain data. `size`: the file's
    size when it was read (None if that could not be told). A trace that shares its name
    with a sweep has the "label" every converted form gives it."""
    header = psf.header
    sweeps = [{"name": s.name, **_series(s.data)} for s in psf.sweeps]
    for s, entry in zip(psf.sweeps, sweeps):
        if len(s.data) and s.data.dtype.names is None:
            entry["first"], entry["last"] = s.data[0].item(), s.data[-1].item()
    labels = trace_labels([s.name for s in psf.sweeps], [t.name for t in psf.traces])
    traces = [{"name": t.name, **({} if label == t.name else {"label": label}),
               **_series(t.data)} for t, label in zip(psf.traces, labels)]
    warnings = [f"{what} {e.get('label', e['name'])!r} is declared with no points"
                for what, entries in (("sweep", sweeps), ("trace", traces))
                for e in entries if e["points"] == 0]
    if sweeps:
        expected = sweeps[0]["points"]
        warnings += [f"trace {t.get('label', t['name'])!r} has {t['points']} points, the sweep "
                     f"{sweeps[0]['name']!r} has {expected}"
                     for t in traces if t["points"] not in (0, expected)]
    return {
        "path": os.fspath(path), "ok": True, "size": size,
        "analysis type": header.get("analysis type"), "analysis name": header.get("analysis name"),
        "sweeps": sweeps, "traces": traces, "values": [_value(v.name, v.data) for v in psf.values],
        "warnings": warnings, "header": header,
    }


def failed(path: Path, exc: BaseException) -> dict[str, Any]:
    return {"path": os.fspath(path), "ok": False, "error": str(exc),
            "error type": type(exc).__name__, "notes": notes(exc)}


def _number(x: Any) -> str:
    return f"{x:.6g}" if isinstance(x, float) else str(x)


def _bytes(size: int | None) -> str:
    return "size unknown" if size is None else f"{size} bytes"


def block(entry: dict[str, Any]) -> list[str]:
    """The lines `info` prints for one file that reads, non-printable characters escaped."""
    analysis = escape(str(entry["analysis type"] or "(no analysis type)"))
    if entry["analysis name"]:
        analysis += f" {entry['analysis name']!r}"
    lines = [f"{escape(entry['path'])}  ({_bytes(entry['size'])})", f"  analysis: {analysis}"]
    for s in entry["sweeps"]:
        extent = (f", {_number(s['first'])} .. {_number(s['last'])}" if "first" in s else "")
        lines.append(f"  sweep:    {escape(s['name'])}, {s['points']} points{extent}")
    if not entry["sweeps"]:
        lines.append("  sweep:    none")
    lines.append(f"  traces:   {len(entry['traces'])}")
    names = [escape(t.get("label", t["name"])) for t in entry["traces"]]
    width = max(map(len, names), default=0)
    for name, t in zip(names, entry["traces"]):
        what = t["kind"] + (f", {len(t['members'])} members" if "members" in t else "")
        lines.append(f"    {name:<{width}}  {what}")
    lines.append(f"  values:   {len(entry['values'])}")
    lines += [f"  warning: {escape(w)}" for w in entry["warnings"]]
    return lines


def _brief(paths: list[Path]) -> list[dict[str, Any]]:
    entries: list[dict[str, Any]] = []
    for path in progress(paths, len(paths), "reading"):
        try:
            size = file_size(path)
            header = quarn.read_header(path)
            entries.append({"path": os.fspath(path), "ok": True, "size": size,
                            "header": header})
        except (OSError, ValueError) as exc:
            entries.append(failed(path, exc))
    return entries


def _points(header: dict[str, Any]) -> str:
    """What a HEADER says of the sweep: its points, or that there is none (an operating
    point, whose HEADER may still give 0 or 1 sweep points)."""
    points = header.get("PSF sweep points")
    analysis = str(header.get("analysis type", ""))
    if points == 0 or analysis == "op" or analysis.endswith("Op"):  # dcOp, tranOp, ...
        return "not swept"
    if not isinstance(points, int):
        return "-"
    return f"{points} point" + "s" * (points != 1)


def brief_line(entry: dict[str, Any]) -> str:
    header = entry["header"]
    analysis = header.get("analysis type", "-")
    return escape("  ".join([entry["path"], str(analysis), _points(header),
                             _bytes(entry["size"])]))


def run(args: argparse.Namespace) -> int:
    sources = collect(args.paths, args.recursive)
    paths = sources.files
    if args.brief:
        entries = _brief(paths)
    else:
        sizes: list[int | None] = []
        entries = [failed(path, r) if isinstance(r, Exception) else summary(path, r, sizes[i])
                   for i, (path, r) in enumerate(read_results(paths, sizes=sizes))]
    runs = [describe(path) for path in sources.runs]
    if args.json:
        document: dict[str, Any] = {"files": [jsonable(e) for e in entries]}
        if runs:
            document["directories"] = [jsonable(d) for d in runs]
        json.dump(document, sys.stdout, indent=2, allow_nan=False)
        print()
    # In the command line's order: each file's block, each run directory's tree.
    files, trees = iter(entries), iter(runs)
    blocks = 0
    for _, what in sources.items:
        if what == "run":
            if not args.json:
                print("\n" if blocks else "", end="")
                print_tree(next(trees), args.all)
                blocks += 1
            continue
        entry = next(files)
        if not entry["ok"]:
            print_failure(entry["path"], entry["error"], entry["notes"])
        elif args.brief and not args.json:
            print(brief_line(entry))
        elif not args.json:
            print(("\n" if blocks else "") + "\n".join(block(entry)))
            blocks += 1
    return 0 if all(e["ok"] for e in [*entries, *runs]) else 1

