# Types of the native module quarn._quarn (src/module). Instances are made only by
# read_psf: the classes cannot be called, subclassed or changed.
from os import PathLike
from typing import Any, Final, TypeAlias, final

import numpy as np
import numpy.typing as npt

__all__ = ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf"]

__version__: Final[str]

# What a non-swept value holds: a scalar, or {member: scalar} for a struct value.
_Scalar: TypeAlias = int | float | complex | str

@final
class Psf:
    """A parsed psfbin file."""

    @property
    def header(self) -> dict[str, str | int | float]: ...
    @property
    def sweeps(self) -> list[Sweep]: ...
    @property
    def traces(self) -> list[Trace]: ...
    @property
    def values(self) -> list[Value]: ...

@final
class Sweep:
    """A swept independent axis (e.g. frequency). `data` is a `float64` numpy array."""

    @property
    def name(self) -> str: ...
    @property
    def data(self) -> npt.NDArray[np.float64]: ...

@final
class Trace:
    """A swept output trace: `float64[N]`, `complex128[N]`, or a structured array of
    float64 fields for a struct trace."""

    @property
    def name(self) -> str: ...
    # float64, complex128 or a structured dtype: check `data.dtype` before use.
    @property
    def data(self) -> npt.NDArray[Any]: ...

@final
class Value:
    """A non-swept result: a Python scalar, or a dict of `{field: scalar}`."""

    @property
    def name(self) -> str: ...
    @property
    def data(self) -> _Scalar | dict[str, _Scalar]: ...

def read_psf(path: str | PathLike[str]) -> Psf:
    """Parse a psfbin file and return a [`Psf`]."""
