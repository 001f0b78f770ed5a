"""Pickling results: a `Psf`, `Sweep`, `Trace` or `Value` travels to another process.

The result classes cannot be called from Python, so pickle cannot make them the
usual way; `register()` tells it (through `copyreg`) to take a result apart into
its name and data (a `Psf` into its header and results) and to make it again with
`quarn._native.rebuild_named` and `rebuild_psf`. Arrays travel as NumPy pickles
them, byte for byte. A float that is NaN, alone or as a part of a complex number,
travels as its 64 bits: pickle's text protocol 0 writes floats as decimal text,
which keeps no NaN payload or sign. Every protocol so gives back the same bits.

    >>> import pickle, quarn
    >>> psf = quarn.read_psf("ac.psfbin")
    >>> again = pickle.loads(pickle.dumps(psf))
"""

from __future__ import annotations

import copyreg
import math
import struct
from collections.abc import Callable
from typing import Any

from . import _native, _quarn

_DOUBLE = struct.Struct("<d")
_BITS = struct.Struct("<Q")
_Reduced = tuple[Callable[..., object], tuple[Any, ...]]


def _float_from_bits(bits: int) -> float:
    value: float = _DOUBLE.unpack(_BITS.pack(bits))[0]
    return value


def _bits(value: float) -> int:
    bits: int = _BITS.unpack(_DOUBLE.pack(value))[0]
    return bits


class _NaN:
    """A NaN float in a pickle: unpickles as the float with these 64 bits."""

    __slots__ = ("bits",)

    def __init__(self, value: float) -> None:
        self.bits = _bits(value)

    def __reduce__(self) -> _Reduced:
        return _float_from_bits, (self.bits,)


def _complex_from_parts(real: Any, imag: Any) -> complex:
    return complex(real, imag)  # complex(a, b) keeps both parts' bits


def _exact(obj: Any) -> Any:
    """`obj` with every NaN float in it (in a complex, a dict, a list) replaced by a `_NaN`."""
    if type(obj) is float:
        return _NaN(obj) if math.isnan(obj) else obj
    if type(obj) is complex:
        if math.isnan(obj.real) or math.isnan(obj.imag):
            return _Complex(obj)
        return obj
    if type(obj) is dict:
        return {key: _exact(value) for key, value in obj.items()}
    if type(obj) is list:
        return [_exact(value) for value in obj]
    return obj


class _Complex:
    """A complex with a NaN part in a pickle: unpickles as the complex with these parts."""

    __slots__ = ("real", "imag")

    def __init__(self, value: complex) -> None:
        self.real = _exact(value.real)
        self.imag = _exact(value.imag)

    def __reduce__(self) -> _Reduced:
        return _complex_from_parts, (self.real, self.imag)


def _reduce_named(result: Any) -> _Reduced:  # a Sweep, Trace or Value
    return _native.rebuild_named, (type(result).__name__, result.name, _exact(result.data))


def _reduce_psf(psf: _quarn.Psf) -> tuple[Callable[..., _quarn.Psf], tuple[Any, ...]]:
    return _native.rebuild_psf, (_exact(psf.header), tuple(psf.sweeps), tuple(psf.traces),
                                 tuple(psf.values))


def register() -> None:
    """Makes the result classes picklable (once per process; again does nothing new)."""
    for cls in (_quarn.Sweep, _quarn.Trace, _quarn.Value):
        copyreg.pickle(cls, _reduce_named)
    copyreg.pickle(_quarn.Psf, _reduce_psf)
