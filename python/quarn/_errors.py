"""A file that cannot be opened, mapped or read fails as the `OSError` subclass of its errno.

The native modules fail then with `OSError(message)`, the message ending in the
system's description and "(os error N)". The package's entry points raise instead
what Python itself would raise for that error number, so that `except
FileNotFoundError` and `except PermissionError` work: `FileNotFoundError` for
ENOENT, `PermissionError` for EACCES and EPERM, `IsADirectoryError` for a
directory, `OSError` for a number without a class of its own. `errno`, `strerror`
and `filename` are set, and `str()` and `args` are the native message, unchanged.

Python's own classes would print "[Errno N] ...: 'path'" once `filename` is set,
so each is subclassed once, only to keep the message: the subclass bears its base's
name and is shown and caught as it (`type(e).__mro__[1]` is the built-in class).
A failure without an error number (a file that shrank while it was read) stays a
plain `OSError`.
"""

from __future__ import annotations

import errno as errnos
import os
import re
from typing import Any, NoReturn, TypeVar

_OS_ERROR = re.compile(r" \(os error ([1-9][0-9]*)\)\Z")

E = TypeVar("E", bound=BaseException)

_SUBCLASSES: dict[type[OSError], type[OSError]] = {}


def _keep_message(base: type[OSError]) -> type[OSError]:
    """The subclass of `base` whose str() is its message."""
    cls = _SUBCLASSES.get(base)
    if cls is None:
        namespace: dict[str, Any] = {
            "__doc__": base.__doc__,
            "__module__": base.__module__,
            "__qualname__": base.__qualname__,
            "__slots__": (),
            "__str__": BaseException.__str__,
            "__reduce__": _reduce,
        }
        cls = type(base.__name__, (base,), namespace)
        _SUBCLASSES[base] = cls
    return cls


def _reduce(exc: OSError) -> tuple[Any, ...]:
    # By value, not by class: the class is found again from the error number.
    return _rebuild, (exc.args, exc.errno, exc.strerror, exc.filename), exc.__dict__ or None


def _rebuild(args: tuple[Any, ...], number: int, strerror: str, filename: Any) -> OSError:
    exc = _keep_message(type(OSError(number, strerror)))(*args)
    exc.errno, exc.strerror, exc.filename = number, strerror, filename
    return exc


def as_os_error(exc: E, path: Any) -> E:
    """`exc` as the `OSError` subclass of its error number, `path` its `filename`; `exc`
    itself when it is not a native open, map or read failure. Never raises."""
    try:
        if type(exc) is not OSError or len(exc.args) != 1 or not isinstance(exc.args[0], str):
            return exc
        message = exc.args[0]
        found = _OS_ERROR.search(message)
        if found is None:
            return exc
        number = int(found[1])
        filename = os.fspath(path)
        # A directory opens but cannot be mapped (ENODEV): it is what the user passed.
        if number == errnos.ENODEV and message.startswith("cannot mmap ") and os.path.isdir(path):
            number = errnos.EISDIR
        typed = _rebuild(exc.args, number, os.strerror(number), filename)
        typed.__dict__.update(exc.__dict__)  # notes
        # A subclass of exc's own class (OSError), so still an E.
        return typed.with_traceback(exc.__traceback__)  # type: ignore[return-value]
    except Exception:  # noqa: BLE001 -- an odd path object: the failure as it came
        return exc


def raise_os_error(exc: BaseException, path: Any) -> NoReturn:
    """In an `except` block that caught `exc`: raises `as_os_error(exc, path)` in its place."""
    typed = as_os_error(exc, path)
    if typed is exc:
        raise  # noqa: PLE0704 -- the exception being handled, as it came
    raise typed from None
