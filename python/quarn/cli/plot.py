"""`quarn plot`: swept traces of one or more result files in one figure.

Complex traces make a Bode plot (magnitude in dB and phase in degrees on two axes);
real traces share one axis; each struct trace gets an axis with one line per member.
All axes share the sweep as their horizontal axis; several files are overlaid.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .._optional import require
from ._common import CommandError, UsageError, expand_paths, kind, labelled_traces, notes, \
    output_file, print_failure, read_results

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from quarn import Psf

HELP = "plot swept traces: Bode plots of complex traces, real and struct traces against the sweep"
FORMATS = (".png", ".svg", ".pdf")
NON_INTERACTIVE = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}


def add_parser(commands: Any) -> None:
    p: argparse.ArgumentParser = commands.add_parser("plot", help=HELP, description=HELP + ".")
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="result files or directories (several are overlaid)")
    p.add_argument("--trace", action="append", metavar="NAME",
                   help="plot this trace (repeatable; default: every trace)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write the figure to OUT (.png, .svg or .pdf) instead of a window")
    p.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--xscale", choices=("auto", "linear", "log"), default="auto",
                   help="the sweep axis; auto: logarithmic for frequency sweeps and Bode plots")
    p.set_defaults(run=run, parser=p)


def _selected(path: Path, psf: Psf, names: list[str] | None) -> list[tuple[str, np.ndarray]]:
    """The traces to plot from one file, checked against its sweep."""
    if not psf.sweeps or not psf.traces:
        raise CommandError(f"{path}: no swept data to plot (it holds "
                           f"{len(psf.values)} non-swept values; see `quarn info`)")
    # Each trace under its label, the name a trace that shares its sweep's name is given.
    chosen = [(label, t.data) for label, t in labelled_traces(path, psf, names)]
    points = len(psf.sweeps[0].data)
    for name, data in chosen:
        if len(data) != points:
            raise CommandError(f"{path}: trace {name!r} has {len(data)} points but the sweep "
                               f"{psf.sweeps[0].name!r} has {points}")
    return chosen


def _log_x(x_name: str, x: np.ndarray, bode: bool) -> bool:
    positive = bool(len(x)) and bool(np.all(x > 0))
    return positive and (bode or x_name.lower().startswith("freq"))


Curves = list[tuple[str, "Psf", list[tuple[str, np.ndarray]]]]  # (label, result, traces)


def _panels(curves: Curves) -> tuple[bool, bool, list[str]]:
    """Whether there is a Bode pair of axes, a real axis, and the struct traces' axes."""
    kinds = [kind(d) for _, _, chosen in curves for _, d in chosen]
    structs = [n for _, _, chosen in curves for n, d in chosen if kind(d) == "struct"]
    return "complex" in kinds, "real" in kinds, list(dict.fromkeys(structs))


def _spans_decades(ax: Axes) -> bool:
    """Whether the lines on `ax` are all positive and span more than three decades."""
    ys = [np.asarray(line.get_ydata(), dtype=float) for line in ax.get_lines()]
    y = np.concatenate(ys) if ys else np.empty(0)
    y = y[np.isfinite(y)]
    return bool(len(y)) and bool(np.all(y > 0)) and float(y.max() / y.min()) > 1e3


def _size(curves: Curves) -> tuple[float, float]:
    bode, real, structs = _panels(curves)
    return 8.0, 1.0 + 2.5 * (2 * bode + real + len(structs))


def draw(fig: Figure, curves: Curves, xscale: str) -> list[Axes]:
    """Draws every file's traces on `fig`; returns the axes, top to bottom."""
    bode, real, structs = _panels(curves)
    axes = list(fig.subplots(2 * bode + real + len(structs), 1, sharex=True,
                             squeeze=False)[:, 0])
    row = iter(axes)
    mag, phase = (next(row), next(row)) if bode else (None, None)
    real_ax = next(row) if real else None
    struct_ax = {name: next(row) for name in structs}
    several = len(curves) > 1

    for label, psf, chosen in curves:
        x = psf.sweeps[0].data
        suffix = f" ({label})" if several else ""
        for name, data in chosen:
            k = kind(data)
            if k == "complex" and mag is not None and phase is not None:
                with np.errstate(divide="ignore", invalid="ignore"):
                    mag.plot(x, 20 * np.log10(np.abs(data)), label=name + suffix)
                phase.plot(x, np.degrees(np.angle(data)), label=name + suffix)
            elif k == "real" and real_ax is not None:
                real_ax.plot(x, data, label=name + suffix)
            elif data.dtype.names is not None:
                for member in data.dtype.names:
                    struct_ax[name].plot(x, data[member], label=member + suffix)

    if mag is not None and phase is not None:
        mag.set_ylabel("magnitude (dB)")
        phase.set_ylabel("phase (deg)")
    if real_ax is not None:
        real_ax.set_ylabel("value")
    for name, ax in struct_ax.items():
        ax.set_ylabel(name)
    first_x = curves[0][1].sweeps[0]
    log = xscale == "log" or (xscale == "auto" and all(
        _log_x(psf.sweeps[0].name, psf.sweeps[0].data, bode) for _, psf, _ in curves))
    for ax in axes:
        ax.set_xscale("log" if log else "linear")
        if ax is not mag and ax is not phase and _spans_decades(ax):
            ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
        if len(ax.get_lines()) > 1:
            ax.legend(fontsize="small")
    axes[-1].set_xlabel(first_x.name)
    title = curves[0][0] if not several else f"{len(curves)} files"
    analysis = curves[0][1].header.get("analysis type")
    fig.suptitle(f"{title}: {analysis}" if analysis and not several else title)
    return axes


def _has_display() -> bool:
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def run(args: argparse.Namespace) -> int:
    out = Path(args.output) if args.output else None
    if out is not None and out.suffix.lower() not in FORMATS:
        raise UsageError(f"cannot tell the format of {out}: give a name ending in "
                         + ", ".join(FORMATS))
    if out is None and not _has_display():
        raise CommandError("no display to show the plot on; write it to a file with -o OUT.png")
    require("matplotlib", "plot")

    curves: Curves = []
    failed = False
    for path, result in read_results(expand_paths(args.paths), args.trace):
        if isinstance(result, Exception):
            print_failure(path, str(result), notes(result))
            failed = True
        else:
            curves.append((os.fspath(path), result, _selected(path, result, args.trace)))
    if failed:
        return 1
    if not curves:
        raise CommandError("no files to plot")

    if out is None:
        pyplot = require("matplotlib.pyplot", "plot")
        if pyplot.get_backend().lower() in NON_INTERACTIVE:
            raise CommandError("matplotlib has no window toolkit here; write the plot to a "
                               "file with -o OUT.png")
        draw(pyplot.figure(figsize=_size(curves), layout="constrained"), curves, args.xscale)
        pyplot.show()
        return 0
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if out.exists() and not args.force:
        raise CommandError(f"{out} exists; give --force to overwrite it")
    fig = Figure(figsize=_size(curves), layout="constrained")
    FigureCanvasAgg(fig)  # no window system; .svg and .pdf get their own canvas on saving
    draw(fig, curves, args.xscale)
    # Drawn beside OUT and put in place: a full disk never leaves a cut figure under its name.
    with output_file(out, args.force) as partial:
        with open(partial, "wb") as f:
            fig.savefig(f, dpi=100, format=out.suffix.lower()[1:])
    print(f"wrote {out}")
    return 0

