"""What the commands share: the files named on the command line, reading them, failures."""

from __future__ import annotations

import errno
import os
import sys
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TypeVar

import numpy as np

import quarn
from quarn import Psf, Trace

from .._notes import is_split_main_file
from .._optional import require
from .._results import trace_labels

T = TypeVar("T")

# More files than this get a progress bar (when stderr is a terminal).
FEW_FILES = 4


class CommandError(Exception):
    """A failure the user can act on: printed as one message, exit code 1."""


class UsageError(Exception):
    """A command line that asks for something impossible: exit code 2, like argparse's."""


def expand_paths(args: Iterable[str], recursive: bool | None = None) -> list[Path]:
    """The files named: a directory stands for the files in it (sorted by name, dot files
    left out; with `recursive`, those in its subdirectories too); anything else is taken
    as it is, so that a missing file is reported by the reader like any other failure.
    A directory with no such file raises CommandError saying what it holds, and offers
    -r when it has subdirectories and the command has that option (`recursive` is not
    None)."""
    files: list[Path] = []
    for arg in args:
        path = Path(arg)
        if not path.is_dir():
            files.append(path)
            continue
        try:
            found = sorted(_files_in(path, bool(recursive)))
            subdirs = 0 if found or recursive else sum(p.is_dir() for p in path.iterdir())
        except OSError as exc:
            raise CommandError(f"cannot list {path}: {exc.strerror or exc}") from None
        if not found:
            what = (f"holds no files, only {subdirs} "
                    f"{'directory' if subdirs == 1 else 'directories'}" if subdirs else
                    "holds no files" + (" in it or under it" if recursive else ""))
            offer = "; give -r to read the files in its subdirectories" \
                if subdirs and recursive is not None else ""
            raise CommandError(f"{path} {what}{offer}")
        listed = set(found)
        # The data and index siblings of a split result stand with its main file.
        files.extend(p for p in found if not _split_sibling(p, listed))
    return files


def _split_sibling(path: Path, listed: set[Path]) -> bool:
    main = path.with_suffix("")
    return (path.suffix in (".psfxl", ".dat", ".sig") and main in listed
            and is_split_main_file(main))


def _files_in(path: Path, recursive: bool) -> Iterator[Path]:
    """The files in the directory `path` (and below it if `recursive`; symbolic links to
    directories are not followed), dot files and dot directories left out."""
    if not recursive:
        yield from (p for p in path.iterdir() if p.is_file() and not p.name.startswith("."))
        return

    def fail(exc: OSError) -> None:
        raise exc

    for root, dirs, names in os.walk(path, onerror=fail):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        yield from (p for p in (Path(root, n) for n in names if not n.startswith("."))
                    if p.is_file())


def escape(text: str) -> str:
    """`text` with every character that is not printable (controls, escape sequences,
    line and paragraph separators) written as Python writes it in a string literal,
    so that a name in a file cannot drive the terminal. Printable text is unchanged."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


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


def file_size(path: Path) -> int | None:
    """The size of the file at `path` now, or None if it cannot be told (the read that
    follows says why)."""
    try:
        return os.stat(path).st_size
    except (OSError, ValueError):
        return None


def read_results(paths: Sequence[Path], traces: Sequence[str] | None = None,
                 sizes: list[int | None] | None = None
                 ) -> Iterator[tuple[Path, Psf | Exception]]:
    """Each path with its result, or with the exception (`OSError`, `ValueError`, with
    the reader's note) that reading it raised. The one place where the commands read
    result files: on native threads, a few files ahead of the one in hand. With
    `traces`, each result holds only those traces (and every sweep and value), and
    nothing else of the file is decoded. With `sizes`, the size of each file as it is
    handed to the reader is appended to it (`file_size`): nothing is asked of a file
    after it was read, so one that is gone by then still has its size."""

    def handed(paths: Iterable[Path]) -> Iterator[Path]:
        for path in paths:
            if sizes is not None:
                sizes.append(file_size(path))
            yield path

    if traces is None:
        results: Iterable[Psf | Exception] = quarn.read_many(handed(paths), errors="return")
    else:
        results = (_read_selected(path, traces) for path in handed(paths))
    return zip(paths, progress(results, len(paths), "reading"))


def _read_selected(path: Path, traces: Sequence[str]) -> Psf | Exception:
    try:
        with quarn.open_psf(path) as f:
            names = [t.name for t in f.traces]
            by_label = dict(zip(trace_labels([s.name for s in f.sweeps], names), names))
            wanted = {by_label.get(name, name) for name in traces}
            if wanted <= set(names):
                return f.select(wanted)
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
    print(escape(first), file=sys.stderr)
    for note in notes:
        print(f"  note: {escape(note)}", file=sys.stderr)


def labelled_traces(path: Path | str, psf: Psf,
                    names: Sequence[str] | None) -> list[tuple[str, Trace]]:
    """The traces `names` chooses (all when None), in file order, each with its label:
    its name, or for a trace that shares its name with a sweep, the name every converted
    form gives it ("vi (trace)"). A trace is chosen by its name or its label; a name that
    is neither raises CommandError listing the traces."""
    traces = psf.traces
    labels = trace_labels([s.name for s in psf.sweeps], [t.name for t in traces])
    if names is None:
        return list(zip(labels, traces))
    have = {t.name for t in traces} | set(labels)
    for name in names:
        if name not in have:
            raise no_trace(path, name, labels)
    wanted = set(names)
    return [(label, t) for label, t in zip(labels, traces)
            if label in wanted or t.name in wanted]


def no_trace(path: Path | str, name: str, labels: Sequence[str]) -> CommandError:
    """The failure for a --trace name that the file at `path` lacks: each name quoted as
    Python quotes it, so that it can be copied into the command line or a script."""
    return CommandError(f"{path}: no trace named {name!r} "
                        f"(its traces: {', '.join(map(repr, labels)) or 'none'})")


#: errno values of a file system that cannot make a second link to a file.
_NO_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS}


def _mode() -> int:
    """The mode a new file gets from the process's umask (mkstemp makes 0600 files)."""
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def install(partial: Path, out: Path, force: bool) -> None:
    """Puts the finished file `partial` in place as `out`. With `force`, replaces what
    is there in one step; without, fails with CommandError if `out` exists, even one
    made a moment ago: the link to the new name is made only if the name is free."""
    os.chmod(partial, _mode())
    if force:
        os.replace(partial, out)
        return
    try:
        os.link(partial, out)
    except FileExistsError:
        raise CommandError(f"{out} exists; give --force to overwrite it") from None
    except OSError as exc:
        if exc.errno not in _NO_LINKS:
            raise
        # No hard links here: claim the name exclusively, then replace the empty
        # claim. OUT is empty for that moment, never someone else's file replaced.
        try:
            os.close(os.open(out, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            raise CommandError(f"{out} exists; give --force to overwrite it") from None
        try:
            os.replace(partial, out)
        except OSError:
            os.unlink(out)
            raise
        return
    os.unlink(partial)


@contextmanager
def output_file(out: Path, force: bool) -> Iterator[Path]:
    """A new, empty temporary file beside `out` (made exclusively: a name planted there
    beforehand is never followed), for the caller to write; when the block ends
    without an exception it becomes `out` (see `install`). It is removed otherwise.
    OSError from making or installing the file becomes CommandError."""
    try:
        fd, name = tempfile.mkstemp(prefix=f".{out.name}.", suffix=".partial",
                                    dir=out.parent)
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from None
    os.close(fd)
    partial = Path(name)
    try:
        yield partial
        install(partial, out, force)
    except OSError as exc:
        raise CommandError(f"cannot write {out}: {exc.strerror or exc}") from None
    finally:
        partial.unlink(missing_ok=True)


def kind(data: np.ndarray) -> str:
    """The kind of a sweep's or trace's samples: struct, complex or real."""
    if data.dtype.names is not None:
        return "struct"
    return "complex" if np.iscomplexobj(data) else "real"
