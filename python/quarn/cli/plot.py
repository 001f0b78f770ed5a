"""`quarn plot`: swept traces of one or more result files in one figure.

Each axis holds one kind of quantity in one unit, read from the file: complex traces
make a Bode plot (one magnitude axis in dB per unit, and one axis of unwrapped phase
in degrees, which real traces in degrees join); real traces get one axis per unit;
each struct trace gets an axis with one line per member. All axes share the sweep as
their horizontal axis; several files are overlaid, and 20 or more are drawn as a
cloud, one colour per trace.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import warnings
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import quarn

from .._optional import require
from .._results import trace_labels
from ._common import CommandError, UsageError, escape, kind, no_trace, notes, output_file, \
    print_failure, progress
from ._dirs import collect, listed, open_run, skip

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from quarn import Psf

HELP = "plot swept traces: Bode plots of complex traces, real and struct traces against the sweep"
FORMATS = (".png", ".svg", ".pdf")
NON_INTERACTIVE = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}
#: Traces drawn when --trace chooses none; the rest are named on stderr.
MAX_TRACES = 8
#: From this many files on, each trace is one colour over all files, with no file legend;
#: the same above this many traces over all files.
CLOUD = 20
CLOUD_LINES = 40
#: Below the smallest magnitude drawn, where an exact zero is drawn (dB).
ZERO_BELOW_DB = 20.0
ZERO_NOTE = " (all zero)"
#: What the axis of a unit shows when it holds too many traces to name them.
QUANTITY = {"V": "voltage", "A": "current", "s": "time", "Hz": "frequency", "deg": "phase",
            "W": "power", "Ohm": "resistance", "F": "capacitance", "H": "inductance",
            "C": "charge", "V2/Hz": "noise", "V/sqrt(Hz)": "noise", "A/sqrt(Hz)": "noise"}


def add_parser(commands: Any) -> None:
    p: argparse.ArgumentParser = commands.add_parser("plot", help=HELP, description=HELP + ".")
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="result files or directories (several are overlaid)")
    p.add_argument("--trace", action="append", metavar="NAME",
                   help=f"plot this trace (repeatable; default: the first {MAX_TRACES})")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write the figure to OUT (.png, .svg or .pdf) instead of a window")
    p.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="a directory stands for the files in its subdirectories too")
    p.add_argument("--strict", action="store_true",
                   help="fail when a result found in a directory cannot be plotted "
                        "(default: skip it with one line on stderr)")
    p.add_argument("--xscale", choices=("auto", "linear", "log"), default="auto",
                   help="the sweep axis; auto: logarithmic for frequency sweeps and Bode plots")
    p.set_defaults(run=run, parser=p)


@dataclass
class Curve:
    """One file's part of the figure: its sweep and the traces chosen, each with the
    label it is drawn under and its units ('' when the file gives none)."""

    path: Path
    psf: Psf
    x_units: str
    traces: list[tuple[str, np.ndarray, str]]
    left_out: list[str]
    label: str = ""

    @property
    def sweep(self) -> str:
        return self.psf.sweeps[0].name


def _units(properties: Any) -> str:
    units = properties.get("units")
    return "" if units is None else str(units)


def _not_swept(path: Path, f: quarn.PsfFile) -> CommandError:
    what = f.header.get("analysis type") or "result"
    return CommandError(
        f"{path}: no swept data to plot: the {what} result holds {len(f.values)} non-swept "
        f"values (an operating point); list them with `quarn info --json {path}`, write them as a "
        f"table with `quarn export {path} -o values.csv`, or in Python with "
        f"quarn.to_pandas(quarn.read_psf(path))")


def read_curve(path: Path, names: list[str] | None) -> Curve | Exception:
    """The traces `names` chooses (the first MAX_TRACES when None) of the file at
    `path`, with their units; only those are decoded. OSError and ValueError (with
    the reader's note) are returned; a file with nothing to plot raises CommandError."""
    try:
        with quarn.open_psf(path) as f:
            if not f.sweeps or not f.traces:
                raise _not_swept(path, f)
            labels = trace_labels([s.name for s in f.sweeps], [t.name for t in f.traces])
            pairs = list(zip(labels, f.traces))
            left_out: list[str] = []
            if names is None:
                chosen = pairs[:MAX_TRACES]
                left_out = labels[MAX_TRACES:]
            else:
                for name in names:
                    if name not in labels and all(t.name != name for t in f.traces):
                        raise no_trace(path, name, labels)
                chosen = [(label, t) for label, t in pairs if label in names or t.name in names]
            psf = f.select([t.name for _, t in chosen])
            x_units = _units(f.sweeps[0].properties)
    except (OSError, ValueError) as exc:
        return exc
    traces = [(label, t.data, _units(info.properties))
              for (label, info), t in zip(chosen, psf.traces)]
    points = len(psf.sweeps[0].data)
    for label, data, _ in traces:
        if len(data) != points:
            raise CommandError(f"{path}: trace {label!r} has {len(data)} points but the sweep "
                               f"{psf.sweeps[0].name!r} has {points}")
    return Curve(path, psf, x_units, traces, left_out)


def _natural(text: str) -> list[Any]:
    """A sort key that puts run2 before run10."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", text) if part]


def short_labels(names: list[str]) -> list[str]:
    """The names without the prefix and suffix they all share, cut only where a word or
    a number begins or ends (so run_9 and run_10 keep their numbers whole); if that
    leaves one empty or two alike, the names below their common directory."""
    if len(names) < 2:
        return list(names)

    def boundary(text: str, i: int) -> bool:  # may text be cut between i-1 and i?
        if i in (0, len(text)):
            return True
        a, b = text[i - 1], text[i]
        return not (a.isalnum() and b.isalnum()) or a.isdigit() != b.isdigit()

    first = os.path.commonprefix(names)
    start = len(first)
    while not all(boundary(n, start) for n in names):
        start -= 1
    ends = os.path.commonprefix([n[::-1] for n in names])
    stop = len(ends)
    while not all(boundary(n, len(n) - stop) for n in names):
        stop -= 1
    cut = [n[start:len(n) - stop].strip(" _-.") for n in names]
    if all(cut) and len(set(cut)) == len(cut):
        return cut
    try:  # then the names below the directory they share
        common = os.path.commonpath(names)
    except ValueError:  # absolute and relative paths mixed
        return list(names)
    cut = [os.path.relpath(n, common) if common else n for n in names]
    return cut if "." not in cut and len(set(cut)) == len(cut) else list(names)


def _check_sweeps(curves: list[Curve]) -> None:
    groups: dict[str, list[str]] = {}
    for c in curves:
        groups.setdefault(c.sweep, []).append(os.fspath(c.path))
    if len(groups) > 1:
        raise CommandError(
            "the results are swept over different variables and cannot share an axis: "
            + "; ".join(f"sweep {sweep!r} in {', '.join(paths)}" for sweep, paths in groups.items())
            + "; plot each sweep's files separately")


def _magnitude_db(data: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(20 * np.log10(np.abs(data)), dtype=float)


def unwrapped_phase(data: np.ndarray) -> np.ndarray:
    """The phase in degrees, unwrapped over the finite points (a NaN stays a gap and does
    not spoil the points after it)."""
    with np.errstate(all="ignore"):
        phase = np.angle(data)
    out = np.full(len(phase), np.nan)
    finite = np.isfinite(phase)
    out[finite] = np.unwrap(phase[finite])
    return np.asarray(np.degrees(out), dtype=float)


def _db_unit(units: str) -> str:
    if not units:
        return "dB"
    return f"dB{units}" if units.isalpha() and len(units) <= 2 else f"dB re 1 {units}"


def _log_x(x_name: str, x: np.ndarray, bode: bool) -> bool:
    positive = bool(len(x)) and bool(np.all(x > 0))
    return positive and (bode or x_name.lower().startswith("freq"))


def _spans_decades(ax: Axes) -> bool:
    """Whether the lines on `ax` are all positive and span more than three decades."""
    ys = [np.asarray(line.get_ydata(), dtype=float) for line in ax.get_lines()]
    y = np.concatenate(ys) if ys else np.empty(0)
    y = y[np.isfinite(y)]
    return bool(len(y)) and bool(np.all(y > 0)) and float(y.max() / y.min()) > 1e3


# An axis: ("mag", units), ("phase", "deg"), ("real", units) or ("struct", trace label).
AxisKey = tuple[str, str]
_ORDER = {"mag": 0, "phase": 1, "real": 2, "struct": 3}


def _axis_keys(curves: list[Curve]) -> list[AxisKey]:
    complex_ = any(kind(d) == "complex" for c in curves for _, d, _ in c.traces)
    keys: dict[AxisKey, None] = {}
    for c in curves:
        for label, data, units in c.traces:
            k = kind(data)
            if k == "complex":
                keys[("mag", units)] = None
                keys[("phase", "deg")] = None
            elif k == "real":
                keys[("phase", "deg") if complex_ and units == "deg" else ("real", units)] = None
            else:
                keys[("struct", label)] = None
    return sorted(keys, key=lambda key: _ORDER[key[0]])


def figure_size(curves: list[Curve]) -> tuple[float, float]:
    return 8.0, 1.0 + 2.5 * len(_axis_keys(curves))


def _ylabel(key: AxisKey, names: list[str], units: str) -> str:
    what, unit = key
    if what == "phase":
        return "phase [deg]"
    if what == "struct":
        return f"{unit} [{units}]" if units else unit
    if what == "mag":
        shown = ", ".join(f"|{n}|" for n in names) if len(names) <= 3 else "magnitude"
        return f"{shown} [{_db_unit(unit)}]"
    if len(names) <= 3:
        shown = ", ".join(names)
    else:
        shown = QUANTITY.get(unit, "value")
    return f"{shown} [{unit}]" if unit else shown


def draw(fig: Figure, curves: list[Curve], xscale: str) -> list[Axes]:
    """Draws every file's traces on `fig`; returns the axes, top to bottom."""
    keys = _axis_keys(curves)
    axes = list(fig.subplots(len(keys), 1, sharex=True, squeeze=False)[:, 0])
    ax_of = dict(zip(keys, axes))
    # Too many lines to name each in a legend: drawn as a cloud, one colour per trace.
    cloud = len(curves) >= CLOUD or sum(len(c.traces) for c in curves) > CLOUD_LINES
    several = len(curves) > 1
    trace_names = list(dict.fromkeys(label for c in curves for label, _, _ in c.traces))
    colour = {name: f"C{i % 10}" for i, name in enumerate(trace_names)}
    alpha = max(0.05, min(0.5, 8 / len(curves)))
    # Per axis: the traces on it (for its label and whether its legend names them).
    on_axis: dict[AxisKey, dict[str, str]] = {key: {} for key in keys}
    lines: list[tuple[AxisKey, str, Curve, np.ndarray, str]] = []  # axis, trace, file, y, member
    magnitudes: list[tuple[AxisKey, str, Curve, np.ndarray]] = []
    for c in curves:
        for label, data, units in c.traces:
            k = kind(data)
            if k == "complex":
                magnitudes.append((("mag", units), label, c, _magnitude_db(data)))
                on_axis[("mag", units)][label] = units
                lines.append((("phase", "deg"), label, c, unwrapped_phase(data), ""))
                on_axis[("phase", "deg")][label] = "deg"
            elif k == "real":
                key = ("phase", "deg") if ("phase", "deg") in ax_of and units == "deg" \
                    else ("real", units)
                lines.append((key, label, c, np.asarray(data, dtype=float), ""))
                on_axis[key][label] = units
            else:
                for j, member in enumerate(data.dtype.names or ()):
                    colour.setdefault(member, f"C{j % 10}")
                    lines.append((("struct", label), label, c, data[member], member))
                on_axis[("struct", label)][label] = units
    # An exact zero has no dB: it is drawn a little below the smallest magnitude on its
    # axis, and a trace that is zero throughout says so in its legend entry.
    low: dict[AxisKey, float] = {}
    for key, _, _, y in magnitudes:
        finite = y[np.isfinite(y)]
        if len(finite):
            low[key] = min(low.get(key, np.inf), float(finite.min()))
    drawn = []
    for key, label, c, y in magnitudes:
        zero = np.isneginf(y)
        all_zero = bool(len(y)) and bool(zero.all())
        drawn.append((key, label + ZERO_NOTE * all_zero, c,
                      np.where(zero, low.get(key, 0.0) - ZERO_BELOW_DB, y), ""))
    lines = sorted(drawn + lines, key=lambda line: keys.index(line[0]))

    labelled: set[tuple[AxisKey, str]] = set()
    pair_colour: dict[tuple[int, str], str] = {}
    for key, label, c, y, member in lines:
        ax = ax_of[key]
        base = label.removesuffix(ZERO_NOTE)
        x = c.psf.sweeps[0].data
        if cloud:
            name = member or label
            text = name if (key, name) not in labelled else "_nolegend_"
            labelled.add((key, name))
            ax.plot(x, y, label=text, color=colour[member or base], alpha=alpha, linewidth=0.8)
            continue
        parts = [member or (label if len(on_axis[key]) > 1 or not several else "")]
        if several:
            parts.append(c.label if parts[0] == "" else f"({c.label})")
        # A trace keeps its colour on every axis it is drawn on (magnitude and phase).
        hue = (None if member else
               pair_colour.setdefault((id(c), base), f"C{len(pair_colour) % 10}"))
        ax.plot(x, y, label=" ".join(p for p in parts if p), color=hue)

    for key, ax in ax_of.items():
        units = next(iter(on_axis[key].values()), "")
        ax.set_ylabel(_ylabel(key, list(on_axis[key]), units))
    bode = any(key[0] == "mag" for key in keys)
    log = xscale == "log" or (xscale == "auto" and all(
        _log_x(c.sweep, c.psf.sweeps[0].data, bode) for c in curves))
    for key, ax in ax_of.items():
        ax.set_xscale("log" if log else "linear")
        if key[0] in ("real", "struct") and _spans_decades(ax):
            ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
        entries = [h for h in ax.get_lines() if not str(h.get_label()).startswith("_")]
        if len(entries) > 1:
            # Beside the axes, never over the data; long lists in several columns.
            legend = ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0,
                               fontsize="small", ncols=1 + (len(entries) - 1) // 12)
            for handle in legend.legend_handles:  # a cloud's colours, shown solid
                if handle is not None:
                    handle.set_alpha(1.0)
    first = curves[0]
    axes[-1].set_xlabel(f"{first.sweep} [{first.x_units}]" if first.x_units else first.sweep)
    analyses = {c.psf.header.get("analysis type") for c in curves}
    title = f"{len(curves)} files" if several else os.fspath(first.path)
    analysis = analyses.pop() if len(analyses) == 1 else None
    fig.suptitle(f"{title}: {analysis}" if analysis else title)
    return axes


def _has_display() -> bool:
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _read_all(paths: list[tuple[Path, bool]], names: list[str] | None,
              strict: bool) -> list[Curve] | None:
    """The curves of the files; each path comes with whether it was found in a directory,
    where one that cannot be plotted is skipped with one line unless `strict`. Of those,
    only the ones with the sweep most of them have are kept."""
    curves: list[Curve] = []
    found: list[Curve] = []
    failed = False
    for path, lenient in progress(paths, len(paths), "reading"):
        try:
            result = read_curve(path, names)
        except CommandError as exc:  # nothing to plot in it, or no such trace
            if not lenient or strict:
                raise
            result = ValueError(str(exc))
        if isinstance(result, Exception):
            if lenient and not strict:
                skip(path, result)
                continue
            print_failure(path, str(result), notes(result))
            failed = True
        else:
            (found if lenient else curves).append(result)
    if found:
        # The files named one by one decide; else the sweep most have (the first on a tie).
        common = curves[0].sweep if curves else \
            Counter(c.sweep for c in found).most_common(1)[0][0]
        for c in found:
            if c.sweep != common and not strict:
                skip(c.path, ValueError(f"swept over {c.sweep!r}, not {common!r} as the "
                                        "others are"))
        curves += [c for c in found if c.sweep == common or strict]
    return None if failed else curves


def _paths(args: argparse.Namespace) -> list[tuple[Path, bool]]:
    """The files to plot, each with whether it was found in a directory: a run
    directory stands for the results its index lists."""
    paths: list[tuple[Path, bool]] = []
    for path, what in collect(args.paths, args.recursive).items:
        if what != "run":
            paths.append((path, what == "found"))
            continue
        run = open_run(path)
        if isinstance(run, Exception):
            if args.strict:
                raise CommandError(f"{path}: {run}")
            skip(path, run)
            continue
        paths += [(a.path, True) for a in listed(run)]
    return paths


def _trim(curves: list[Curve]) -> None:
    """At most MAX_TRACES traces over all files (when --trace chose none); the traces
    left out are named on stderr with how to choose."""
    kept = list(dict.fromkeys(label for c in curves for label, _, _ in c.traces))[:MAX_TRACES]
    left = dict.fromkeys(label for c in curves for label in
                         [*(t[0] for t in c.traces if t[0] not in kept), *c.left_out])
    if not left:
        return
    for c in curves:
        c.traces = [t for t in c.traces if t[0] in kept]
    shown = ", ".join(map(repr, left))
    print(escape(f"quarn plot: plotting the first {len(kept)} traces; left out: {shown}; "
                 "choose the traces with --trace NAME (repeatable)"), file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    out = Path(args.output) if args.output else None
    if out is not None and out.suffix.lower() not in FORMATS:
        raise UsageError(f"cannot tell the format of {out}: give a name ending in "
                         + ", ".join(FORMATS))
    if out is None and not _has_display():
        raise CommandError("no display to show the plot on; write it to a file with -o OUT.png")
    require("matplotlib", "plot")

    read = _read_all(_paths(args), args.trace, args.strict)
    if read is None:
        return 1
    if not read:
        raise CommandError("no files to plot")
    _check_sweeps(read)
    if args.trace is None:
        _trim(read)
    for c, label in zip(read, short_labels([os.fspath(c.path) for c in read])):
        c.label = label
    curves = sorted(read, key=lambda c: _natural(c.label))

    if out is None:
        pyplot = require("matplotlib.pyplot", "plot")
        if pyplot.get_backend().lower() in NON_INTERACTIVE:
            raise CommandError("matplotlib has no window toolkit here; write the plot to a "
                               "file with -o OUT.png")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            draw(pyplot.figure(figsize=figure_size(curves), layout="constrained"), curves,
                 args.xscale)
        pyplot.show()
        return 0
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if out.exists() and not args.force:
        raise CommandError(f"{out} exists; give --force to overwrite it")
    # What is drawn is chosen above so that no library warning is due; any that still
    # comes (a layout that cannot fit) must not reach the terminal as noise.
    with warnings.catch_warnings(), matplotlib.rc_context({"svg.fonttype": "none"}):
        warnings.simplefilter("ignore")
        fig = Figure(figsize=figure_size(curves), layout="constrained")
        FigureCanvasAgg(fig)  # no window system; .svg and .pdf get their own canvas on saving
        draw(fig, curves, args.xscale)
        # Drawn beside OUT and put in place: a full disk never leaves a cut figure there.
        with output_file(out, args.force) as partial:
            with open(partial, "wb") as f:
                fig.savefig(f, dpi=100, format=out.suffix.lower()[1:])
    print(f"wrote {out}")
    return 0
