"""Many files at once: header listing and the batch reader."""

from __future__ import annotations

import contextvars
import functools
import operator
import os
import threading
from collections.abc import Callable, Iterable, Iterator, Sized
from typing import TYPE_CHECKING, Any, Literal, Union, overload

from . import _native
from ._errors import as_os_error, raise_os_error
from ._native import read_text
from ._notes import add_note, is_split_main_file, is_text_form, read_other_form
from ._optional import require

if TYPE_CHECKING:
    from ._quarn import Psf

StrPath = Union[str, "os.PathLike[str]"]


def read_header(path: StrPath) -> dict[str, str | int | float]:
    """The HEADER properties of a psfbin file, the dict `read_psf(path).header` is.

    Only the footer and the HEADER section are read, so listing many files costs
    about what opening them and reading their first page costs. A file that
    `read_psf` rejects for a fault past the HEADER passes here. The main file of
    a split result gives its HEADER; its data file is not looked at. A text-form
    file is read whole. A `ValueError` carries the note `read_psf` adds when it
    can tell what the file is.
    """
    try:
        return _native.read_header(path)
    except OSError as exc:
        raise_os_error(exc, path)
    except ValueError as exc:
        text = is_text_form(path)
        if not text and not is_split_main_file(path):
            add_note(exc, path)
            raise
    try:  # outside the handler: its failure is its own
        if text:
            return read_text(path).header
        return _native.read_header(path, require_footer=False)
    except OSError as exc:
        raise_os_error(exc, path)


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not Linux
        return os.cpu_count() or 1


# The most worker threads read_many starts, whatever `workers` asks for.
MAX_WORKERS = 64
# The default bound on the bytes of the files read ahead of the caller.
READ_AHEAD_BYTES = 1 << 30


@overload
def read_many(paths: Iterable[StrPath], *, workers: int | None = ...,
              errors: Literal["raise"] = ..., progress: bool = ...,
              read_ahead_bytes: int = ...) -> Iterator[Psf]: ...
@overload
def read_many(paths: Iterable[StrPath], *, workers: int | None = ...,
              errors: Literal["return"], progress: bool = ...,
              read_ahead_bytes: int = ...) -> Iterator[Psf | Exception]: ...


def read_many(paths: Iterable[StrPath], *, workers: int | None = None,
              errors: Literal["raise", "return"] = "raise",
              progress: bool = False,
              read_ahead_bytes: int = READ_AHEAD_BYTES) -> Iterator[Psf] | Iterator[Psf | Exception]:
    """Reads many psfbin files on native threads; yields their results in the order of `paths`.

    `paths` may be any iterable. A list or tuple is taken as the results are, at
    most `10 * workers` paths ahead; any other iterable (a generator, say) is
    consumed on a helper thread, as the workers need paths, so that a slow
    iterable never holds back a result that is ready, and one whose next path
    depends on the last result read goes one file at a time. An exception the
    iterable raises is raised in its place, after the results before it.

    At most `2 * workers` files are read ahead of the caller (a file of up to
    64 KiB, read and not yet parsed, counts a quarter), and at most
    `read_ahead_bytes` of files larger than that (counted by their size; the file
    the caller waits for is always read, however large), so a caller that keeps
    nothing keeps memory flat. The files are opened, read and parsed with the
    interpreter lock released: on the worker threads, except that a small file is
    only read there and is parsed by the thread that iterates, which makes the
    Python objects of every result. Each result, and each failure (type, message,
    note), is what `read_psf` gives for that file.

    workers: worker threads; None means the CPUs the process may run on. Never
        more than MAX_WORKERS (64), nor more than the paths when `paths` has a length.
    errors: "raise" raises the first failure when the iteration reaches it (the
        workers stop), with a note naming its path where its message does not;
        "return" yields the exception in place of that file's result and goes on.
    progress: show a tqdm progress bar on stderr (the `progress` extra).
    read_ahead_bytes: the bound on the bytes read ahead (default 1 GiB).

    Closing the iterator, dropping it, an interrupt, or an exception raised by a
    signal handler while the iteration waits stops and joins the workers; the
    handler's exception propagates.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("read_many() takes an iterable of paths, not one path")
    if errors not in ("raise", "return"):
        raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
    count = default_workers() if workers is None else _positive("workers", workers, " or None")
    limit = _positive("read_ahead_bytes", read_ahead_bytes)
    count = min(count, MAX_WORKERS)
    inline = type(paths) in (list, tuple)
    total = len(paths) if isinstance(paths, Sized) else None
    if total is not None:
        if total == 0:
            return iter(())
        count = min(count, total)
    bar = None
    if progress:
        tqdm = require("tqdm", "progress")
        bar = functools.partial(tqdm.tqdm, total=total, unit="file", desc="reading")
    return _iterate(iter(paths), count, errors == "return", bar, inline, limit)


def _positive(name: str, value: object, other: str = "") -> int:
    """`value` as an int of at least 1: TypeError for what is not an integer."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an int{other}, not {type(value).__name__}")
    number = operator.index(value)  # type: ignore[arg-type]
    if number < 1:
        raise ValueError(f"{name} must be at least 1, not {number}")
    return number


def path_note(exc: BaseException, path: object) -> None:
    """Adds a note naming `path` to `exc` unless its message names it already."""
    try:
        text = os.fspath(path)  # type: ignore[call-overload]
    except TypeError:
        text = repr(path)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if text in str(exc):
        return
    note = f"while reading {text}"
    if hasattr(exc, "add_note"):
        exc.add_note(note)
    else:  # Python 3.10: the same attribute, which 3.11 tracebacks print
        exc.__notes__ = [*getattr(exc, "__notes__", ()), note]


def _iterate(paths: Iterator[StrPath], workers: int, keep_going: bool,
             make_bar: Callable[[], Any] | None, inline: bool, limit: int) -> Iterator[Any]:
    # At most 2 x workers files read ahead (more of them small ones read and not
    # parsed); paths are queued further ahead, so a worker that finishes a small
    # file finds the next one waiting.
    window = 2 * workers
    queued = window + 8 * workers
    bar = None
    reader = _native.BatchReader(workers, window, queued - window, limit)
    take = reader.take
    source: Iterator[StrPath] | None = paths
    try:
        if not inline:
            # The paths come from a thread of their own, in this thread's context:
            # an iterable that waits (for the last result, say) holds back no result.
            feed = contextvars.copy_context().run
            threading.Thread(target=feed, args=(reader.feed, paths), daemon=True,
                             name="quarn read_many paths").start()
            source, queued = None, 0
        if make_bar is not None:
            bar = make_bar()
        while True:
            # The next result in path order: a Psf, (path, exception), or None at the end.
            taken = take(source, queued)
            if taken is None:
                return
            result: Psf | Exception
            if isinstance(taken, tuple):
                path, result = taken
                if isinstance(result, ValueError):
                    # The workers read the binary form; the text and split forms are read here.
                    result = read_other_form(result, path)
                else:
                    result = as_os_error(result, path)
                if isinstance(result, Exception) and not keep_going:
                    path_note(result, path)
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
