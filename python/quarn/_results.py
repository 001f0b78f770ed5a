"""The shape of a result that the xarray and pandas conversions share.

A swept result lies along one axis, the first sweep: every other sweep and every
trace must have exactly its number of points. A struct trace is seen as a 2-D
float64 matrix (points x members) over the same buffer. Non-swept values become
columns of NumPy arrays whose dtype says what the values are.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

#: The axis of a result whose traces have points but which declares no sweep.
UNSWEPT_AXIS = "point"

_F8 = np.dtype("<f8")

#: What a trace whose name is also a sweep's is called in every converted form.
TRACE_SUFFIX = " (trace)"

#: The attribute that holds such a trace's name in the file, wherever it has attributes.
NAME_ATTR = "name"


def trace_labels(sweeps: Sequence[str], traces: Sequence[str]) -> list[str]:
    """The names the traces take beside the sweeps in a Dataset, a table or a plot.

    A DC sweep records the swept source's node under the sweep's own name, so a
    trace may share its name with a sweep. The sweep keeps the name (it is the
    axis); such a trace becomes `name + TRACE_SUFFIX`, or `name + " (trace 2)"`,
    `" (trace 3)"`, ... where that too is taken. Other traces keep their names.
    The rule depends on the names alone, so every form of one result agrees.
    """
    taken = set(sweeps) | set(traces)
    labels = []
    for name in traces:
        if name not in sweeps:
            labels.append(name)
            continue
        label, n = name + TRACE_SUFFIX, 1
        while label in taken:
            n += 1
            label = f"{name} (trace {n})"
        taken.add(label)
        labels.append(label)
    return labels


def check_lengths(axis: str, points: int, series: Sequence[tuple[str, str, int]]) -> None:
    """Raise ValueError for the first `(kind, name, length)` whose length is not `points`.

    A damaged file can hold traces shorter or longer than their sweep; a table
    that padded or cut them would hide that.
    """
    for kind, name, length in series:
        if length != points:
            raise ValueError(
                f"{kind} {name!r} has {length} points, but the sweep {axis!r} has {points}")


def struct_matrix(data: npt.NDArray[np.void]) -> npt.NDArray[np.float64]:
    """A struct trace's samples as a (points, members) float64 array over the same memory.

    The structured arrays `read_psf` makes hold one little-endian float64 field per
    member, packed and contiguous, so the matrix is a view, not a copy.
    """
    names = data.dtype.names or ()
    packed = np.dtype([(name, _F8) for name in names])
    if data.dtype != packed or not data.flags.c_contiguous:
        raise TypeError(f"a struct trace must hold packed float64 members, not {data.dtype}")
    if not names:
        return np.empty((len(data), 0), dtype=_F8)
    return data.view(_F8).reshape(len(data), len(names))


def column(values: Sequence[object]) -> npt.NDArray[np.generic]:
    """One NumPy array for Python values of one kind, kept exactly.

    float -> float64 (every bit, NaN payloads and -0.0 included), int -> int64,
    complex -> complex128, str -> a NumPy unicode array; anything else, or a mix
    of kinds, -> an object array of the values themselves, so an int is never
    turned into a float.
    """
    kinds = {type(v) for v in values}
    if kinds == {float}:
        return np.array(values, dtype=np.float64)
    if kinds == {int}:
        return np.array(values, dtype=np.int64)
    if kinds == {complex}:
        return np.array(values, dtype=np.complex128)
    if kinds == {str}:
        return np.array(values, dtype=np.str_)
    out = np.empty(len(values), dtype=object)
    out[:] = list(values)
    return out
