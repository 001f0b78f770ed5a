"""Print what a psfbin result file holds: its header, sweeps, traces and values.

    python examples/show.py [--points N] [FILE ...]

Without FILE it reads the example files shipped beside this script. For each file it
prints the HEADER properties, then every sweep and trace with its NumPy dtype, shape and
first few samples, then every non-swept (operating-point) value.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import quarn

HERE = Path(__file__).resolve().parent
DEFAULT_FILES = [HERE / "ac.psfbin", HERE / "opinfo.psfbin"]


def show_name(name: str) -> str:
    """A name as it is, unless it holds characters a terminal would not show faithfully."""
    return name if name.isprintable() else repr(name)


def fmt_scalar(x: object) -> str:
    if isinstance(x, (bool, np.bool_)):
        return str(bool(x))
    if isinstance(x, (int, np.integer)):
        return str(int(x))
    if isinstance(x, (complex, np.complexfloating)):
        z = complex(x)
        return f"{z.real:.6g}{z.imag:+.6g}j"
    if isinstance(x, (float, np.floating)):
        return f"{float(x):.6g}"
    if isinstance(x, str):
        return repr(x)
    return repr(x)


def fmt_samples(values: npt.NDArray[Any], points: int, total: int | None = None) -> str:
    """The first `points` values; "..." when there are more (`total` of them, if given)."""
    shown = ", ".join(fmt_scalar(v) for v in values[:points])
    more = (len(values) if total is None else total) - points
    return f"[{shown}{', ...' if more > 0 else ''}]"


def describe_array(data: npt.NDArray[Any]) -> str:
    if data.dtype.names is not None:
        kind = f"struct of {len(data.dtype.names)} float64 fields"
    else:
        kind = str(data.dtype)
    return f"{kind}, {data.shape[0]} points"


def print_sweep(sweep: quarn.Sweep, points: int) -> None:
    data = sweep.data
    print(f"  {show_name(sweep.name)}: {describe_array(data)}")
    if len(data):
        print(f"      from {fmt_scalar(data[0])} to {fmt_scalar(data[-1])}")
    print(f"      first: {fmt_samples(data, points)}")


def print_trace(trace: quarn.Trace, points: int) -> None:
    data = trace.data
    print(f"  {show_name(trace.name)}: {describe_array(data)}")
    if data.dtype.names is not None:
        width = max(len(show_name(f)) for f in data.dtype.names)
        for field in data.dtype.names:
            print(f"      {show_name(field):<{width}}  {fmt_samples(data[field], points)}")
    elif np.iscomplexobj(data):
        print(f"      first:       {fmt_samples(data, points)}")
        # The same samples as a designer reads them off a Bode plot.
        head = data[:points]
        with np.errstate(divide="ignore"):
            mags = 20 * np.log10(np.abs(head))
        phases = np.degrees(np.angle(head))
        print(f"      |x| in dB:   {fmt_samples(mags, points, len(data))}")
        print(f"      phase (deg): {fmt_samples(phases, points, len(data))}")
    else:
        print(f"      first: {fmt_samples(data, points)}")


def print_value(value: quarn.Value) -> None:
    data = value.data
    if isinstance(data, dict):
        print(f"  {show_name(value.name)}:")
        if data:
            width = max(len(show_name(k)) for k in data)
            for key, item in data.items():
                print(f"      {show_name(key):<{width}} = {fmt_scalar(item)}")
    else:
        print(f"  {show_name(value.name)} = {fmt_scalar(data)}")


def show(path: Path, points: int) -> None:
    psf = quarn.read_psf(path)
    print(f"{path}  {psf!r}")

    header = psf.header
    print(f"\nheader ({len(header)} properties)")
    if header:
        width = max(len(show_name(k)) for k in header)
        for key, item in header.items():
            print(f"  {show_name(key):<{width}} = {fmt_scalar(item)}")

    sweeps, traces, values = psf.sweeps, psf.traces, psf.values
    print(f"\nsweeps ({len(sweeps)})")
    for sweep in sweeps:
        print_sweep(sweep, points)
    print(f"\ntraces ({len(traces)})")
    for trace in traces:
        print_trace(trace, points)
    print(f"\nvalues ({len(values)})")
    for value in values:
        print_value(value)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path, help="psfbin files (default: the shipped examples)")
    parser.add_argument("--points", type=int, default=5, help="samples shown per array (default 5)")
    args = parser.parse_args(argv)

    failures = 0
    for i, path in enumerate(args.files or DEFAULT_FILES):
        if i:
            print("\n" + "-" * 72 + "\n")
        try:
            show(path, args.points)
        except (OSError, ValueError) as exc:
            print(f"{path}: cannot read: {type(exc).__name__}: {exc}", file=sys.stderr)
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
