"""Many files at once: header listing and the batch reader."""

from __future__ import annotations

import functools
import os
from collections.abc import Callable, Iterable, Iterator, Sized
from typing import TYPE_CHECKING, Any, Literal, Union, overload

from . import _native
from ._notes import split_or_noted
from ._optional import require

if TYPE_CHECKING:
    from ._quarn import Psf

StrPath = Union[str, "os.PathLike[str]"]


def read_header(path: StrPath) -> dict[str, str | int | float]:
    """The HEADER properties of a psfbin file, the dict `read_psf(path).header` is.

    Only the footer and the HEADER section are read, so listing many files costs
    about what opening them and reading their first page costs. A file that
    `read_psf` rejects for a fault past the HEADER passes here. The main file of
    a split result gives its HEADER; its data file is not looked at.
    """
    try:
        return _native.read_header(path)
    except ValueError:
        if not _native.is_split_main(path):
            raise
    return _native.read_header(path, require_footer=False)


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not Linux
        return os.cpu_count() or 1


@overload
def read_many(paths: Iterable[StrPath], *, workers: int | None = ...,
              errors: Literal["raise"] = ..., progress: bool = ...) -> Iterator[Psf]: ...
@overload
def read_many(paths: Iterable[StrPath], *, workers: int | None = ...,
              errors: Literal["return"], progress: bool = ...) -> Iterator[Psf | Exception]: ...


def read_many(paths: Iterable[StrPath], *, workers: int | None = None,
              errors: Literal["raise", "return"] = "raise",
              progress: bool = False) -> Iterator[Psf] | Iterator[Psf | Exception]:
    """Reads many psfbin files on native threads; yields their results in the order of `paths`.

    `paths` may be any iterable (a generator too): it is consumed as the results
    are, at most `10 * workers` paths ahead; at most `2 * workers` files are read
    ahead of the caller (a file of up to 64 KiB, read and not yet parsed, counts a
    quarter), so a caller that keeps nothing keeps memory flat. The files are
    opened, read and parsed with the interpreter lock released: on the worker
    threads, except that a small file is only read there and is parsed by the
    thread that iterates, which makes the Python objects of every result. Each
    result, and each failure (type, message, note), is what `read_psf` gives for
    that file.

    workers: worker threads; None means the CPUs the process may run on.
    errors: "raise" raises the first failure when the iteration reaches it (the
        workers stop); "return" yields the exception in place of that file's
        result and goes on.
    progress: show a tqdm progress bar on stderr (the `progress` extra).

    Closing the iterator, dropping it, or an interrupt stops and joins the workers.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("read_many() takes an iterable of paths, not one path")
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
    count = default_workers() if workers is None else workers
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"workers must be a positive int or None, not {workers!r}")
    bar = None
    if progress:
        tqdm = require("tqdm", "progress")
        total = len(paths) if isinstance(paths, Sized) else None
        bar = functools.partial(tqdm.tqdm, total=total, unit="file", desc="reading")
    return _iterate(iter(paths), count, errors == "return", bar)


def _iterate(paths: Iterator[StrPath], workers: int, keep_going: bool,
             make_bar: Callable[[], Any] | None) -> Iterator[Any]:
    # At most 2 x workers files read ahead (more of them small ones read and not
    # parsed); paths are queued further ahead, so a worker that finishes a small
    # file finds the next one waiting.
    window = 2 * workers
    queued = window + 8 * workers
    bar = None
    reader = _native.BatchReader(workers, window, queued - window)
    take = reader.take
    try:
        if make_bar is not None:
            bar = make_bar()
        while True:
            # The next result in path order: a Psf, (path, exception), or None at the end.
            taken = take(paths, queued)
            if taken is None:
                return
            result: Psf | Exception
            if isinstance(taken, tuple):
                path, result = taken
                if isinstance(result, ValueError):
                    result = split_or_noted(result, path)
                if not keep_going and isinstance(result, Exception):
                    raise result
            else:
                result = taken
            if bar is not None:
                bar.update(1)
            yield result
    finally:
        reader.close()
        if bar is not None:
            bar.close()
