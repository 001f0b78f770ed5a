"""A file the lazy reader cannot walk (the text form), read whole at open.

`PsfFile` sits on the lazy reader's native file object; a text-form file has no
body to index, so it is parsed whole when opened and served from memory behind
the same interface: `read` slices a series, `select` builds a result of the
series asked for. Its declarations' properties are not kept by the text reader
yet, so they read as empty.
"""

from __future__ import annotations

import copy
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from . import _native

if TYPE_CHECKING:
    import numpy as np

    from ._quarn import Psf, Sweep, Trace


class WholeFile:
    """The interface of `quarn._native.LazyFile`, over a result read whole."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        info = os.stat(path)
        psf = _native.read_text(path)
        self.identity: tuple[int, int, int, int] = (
            info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)
        self.header: dict[str, Any] = psf.header
        self._psf = psf
        self._series: list[Sweep | Trace] = [*psf.sweeps, *psf.traces]
        self.sweep_count = len(psf.sweeps)
        self.series: list[tuple[str, np.dtype[Any], int, dict[str, Any], str | None]] = [
            (s.name, s.data.dtype, len(s.data), {}, None) for s in self._series]
        self.values: list[tuple[str, Any, dict[str, Any], str | None]] = [
            (v.name, v.data, {}, None) for v in psf.values]
        self.value_types = [""] * len(psf.values)
        self.member_properties: list[list[dict[str, Any]]] = [
            [{} for _ in (s.data.dtype.names or ())] for s in self._series]
        self.member_properties += [
            [{} for _ in v.data] if isinstance(v.data, dict) else [] for v in psf.values]
        self.closed = False

    def read(self, i: int, start: int, stop: int, /) -> np.ndarray[Any, np.dtype[Any]]:
        if self.closed:
            raise ValueError("I/O operation on a closed file")
        data: np.ndarray[Any, np.dtype[Any]] = self._series[i].data[start:stop].copy()
        return data

    def select(self, indices: Sequence[int], /) -> Psf:
        # Fresh objects every time, as a read of the file makes them.
        if self.closed:
            raise ValueError("I/O operation on a closed file")
        count = self.sweep_count
        parts = [_native.rebuild_named("Sweep" if i < count else "Trace", self._series[i].name,
                                       self._series[i].data.copy()) for i in indices]
        values = [_native.rebuild_named("Value", v.name, copy.deepcopy(v.data))
                  for v in self._psf.values]
        return _native.rebuild_psf(dict(self.header),
                                   [p for i, p in zip(indices, parts) if i < count],
                                   [p for i, p in zip(indices, parts) if i >= count], values)

    def close(self) -> None:
        self.closed = True
