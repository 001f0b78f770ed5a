"""What the commands share: the files named on the command line, reading them, failures."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import TypeVar

import numpy as np

import quarn
from quarn import Psf

from .._native import is_split_main
from .._optional import require

T = TypeVar("T")

# More files than this get a progress bar (when stderr is a terminal).
FEW_FILES = 4


class CommandError(Exception):
    """A failure the user can act on: printed as one message, exit code 1."""


class UsageError(Exception):
    """A command line that asks for something impossible: exit code 2, like argparse's."""


def expand_paths(args: Iterable[str]) -> list[Path]:
    """The files named: a directory stands for the files in it (sorted by name, dot files
    left out, not recursive; the data and index siblings of a split result stand with
    its main file); anything else is taken as it is, so that a missing file is
    reported by the reader like any other failure."""
    files: list[Path] = []
    for arg in args:
        path = Path(arg)
        if path.is_dir():
            listed = sorted(p for p in path.iterdir()
                            if p.is_file() and not p.name.startswith("."))
            files.extend(p for p in listed if not _split_sibling(p, listed))
        else:
            files.append(path)
    return files


def _split_sibling(path: Path, listed: list[Path]) -> bool:
    main = path.with_suffix("")
    return (path.suffix in (".psfxl", ".dat", ".sig") and main in listed
            and is_split_main(main))


def progress(items: Iterable[T], total: int, what: str) -> Iterable[T]:
    """`items`, with a progress bar on stderr when there are more than a few and stderr is a
    terminal. The bar is a nicety: without tqdm (the `progress` extra) there is none."""
    if total <= FEW_FILES or not sys.stderr.isatty():
        return items
    try:
        tqdm = require("tqdm", "progress")
    except ImportError:
        return items
    bar: Iterable[T] = tqdm.tqdm(items, total=total, desc=what, unit="file", disable=None,
                                 file=sys.stderr, leave=False)
    return bar


def read_results(paths: Sequence[Path],
                 traces: Sequence[str] | None = None) -> Iterator[tuple[Path, Psf | Exception]]:
    """Each path with its result, or with the exception (`OSError`, `ValueError`, with
    the reader's note) that reading it raised. The one place where the commands read
    result files: on native threads, a few files ahead of the one in hand. With
    `traces`, each result holds only those traces (and every sweep and value), and
    nothing else of the file is decoded."""
    if traces is None:
        results: Iterable[Psf | Exception] = quarn.read_many(paths, errors="return")
    else:
        results = (_read_selected(path, traces) for path in paths)
    return zip(paths, progress(results, len(paths), "reading"))


def _read_selected(path: Path, traces: Sequence[str]) -> Psf | Exception:
    try:
        with quarn.open_psf(path) as f:
            if set(traces) <= {t.name for t in f.traces}:
                return f.select(traces)
        # A name the file lacks: the whole result, so that the command names its traces.
        return quarn.read_psf(path)
    except (OSError, ValueError) as exc:
        return exc


def notes(exc: BaseException) -> list[str]:
    return list(getattr(exc, "__notes__", ()))


def print_failure(path: Path | str, message: str, notes: Sequence[str]) -> None:
    """A file's failure on stderr: its message, then each note under it."""
    # The reader's open and map failures already name the file.
    first = message if os.fspath(path) in message else f"{path}: {message}"
    sys.stdout.flush()
    print(first, file=sys.stderr)
    for note in notes:
        print(f"  note: {note}", file=sys.stderr)


def kind(data: np.ndarray) -> str:
    """The kind of a sweep's or trace's samples: struct, complex or real."""
    if data.dtype.names is not None:
        return "struct"
    return "complex" if np.iscomplexobj(data) else "real"
