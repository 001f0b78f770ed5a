"""Results as pandas DataFrames: `to_pandas(psf)`.

    >>> df = quarn.to_pandas(quarn.read_psf("ac.psfbin"))
    >>> df["V(out)"].abs()

- Swept: indexed by the first sweep's values (the index is named after the
  sweep), one column per further sweep and per trace, in file order, with
  `read_psf`'s dtype (float64, complex128; values bit for bit). A struct trace
  `T` gives one float64 column per member `m`, named "T.m" (the separator
  pandas' own `json_normalize` uses). A trace that shares its name with a
  sweep is the column "NAME (trace)" (see `quarn._results.trace_labels`), the
  sweep keeps its name. A result with traces but no sweep has a RangeIndex
  named "point".
- Non-swept (a result that has values): one row per value, indexed by the value
  names (the index is named "name"); one column per struct field, in the order
  the fields first appear, and the column "value" for scalar values. A field a
  value does not have is missing: NaN in a float or complex column, <NA> in an
  integer column (pandas' nullable "Int64", so integers stay integers), None in
  a column of strings or of mixed kinds. A struct field named "value" shares
  the scalars' column.
- A result with neither points nor values is an empty frame indexed by "name".
- A field a complex column lacks is missing in both parts (NaN + NaN j).
- `df.attrs` (where `quarn.properties(psf)` knows them, that is for results of
  `quarn.read_psf`): "header", the HEADER dict; "units", {column: unit} for each
  column (and the index) whose series gives units (a struct trace's columns its
  member's, else its trace's), or for a non-swept frame {value name: unit};
  "properties", {column or value name: its whole property dict}; and for a
  non-swept frame "kinds", {value name: its type's name} (the device kind of an
  operating point) and "column_units", {member column: unit}.

Column names must be unique: a result that would give two columns one name
(two traces of one name, or a trace named like a struct member's column)
raises ValueError naming it, as does a trace whose number of points differs
from the sweep's.
"""

from __future__ import annotations

import math
import os
from collections.abc import Hashable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ._optional import require

if TYPE_CHECKING:
    import pandas as pd

    from ._properties import Properties
    from ._quarn import Psf

__all__ = ["to_pandas"]

#: Joins a struct trace's name and a member's: trace "M1", member "fn" -> column "M1.fn".
MEMBER_SEPARATOR = "."

#: The column of scalar values and the index name of a non-swept result's frame.
VALUE_COLUMN = "value"
VALUE_INDEX = "name"


def to_pandas(psf: Psf) -> pd.DataFrame:
    """The DataFrame of a result: a swept table, or one row per non-swept value.

    See the module's docstring for the layout and the column names.
    """
    _check_result(psf)
    require("pandas", "pandas")
    from ._properties import known_properties

    return frame_of(psf, known_properties(psf))


def frame_of(psf: Psf, properties: Properties | None) -> pd.DataFrame:
    """`to_pandas(psf)` with the given properties (None: none) in `df.attrs`."""
    if psf.values or not (psf.sweeps or psf.traces):
        df = _values_frame([(v.name, v.data) for v in psf.values])
        if properties is not None:
            names = [v.name for v in psf.values]
            attrs: dict[Hashable, Any] = {"header": dict(psf.header),
                                          "units": _units(names, properties.values),
                                          "properties": {n: dict(p) for n, p in
                                                         zip(names, properties.values)}}
            if properties.kinds:
                attrs["kinds"] = {n: k for n, k in zip(names, properties.kinds) if k}
            # A struct member's column: the units its first value with it gives.
            column_units: dict[str, str] = {}
            for v, own in zip(psf.values, properties.value_members):
                if isinstance(v.data, dict) and len(own) == len(v.data):
                    for member, p in zip(v.data, own):
                        unit = p.get("units")
                        if isinstance(unit, str) and unit:
                            column_units.setdefault(member, unit)
            attrs["column_units"] = column_units
            df.attrs = attrs
        return df
    df = _swept_frame(psf)
    if properties is not None:
        df.attrs = _swept_attrs(psf, properties)
    return df


def _units(names: list[str], props: Sequence[Mapping[str, Any]]) -> dict[str, str]:
    out: dict[str, str] = {}
    for name, p in zip(names, props):
        unit = p.get("units")
        if isinstance(unit, str) and unit:
            out[name] = unit
    return out


def _swept_attrs(psf: Psf, properties: Properties) -> dict[Hashable, Any]:
    """The attrs of a swept frame: the columns' names as `_swept_frame` makes them."""
    from ._results import UNSWEPT_AXIS, trace_labels

    sweeps, traces = psf.sweeps, psf.traces
    labels = trace_labels([s.name for s in sweeps], [t.name for t in traces])
    columns: list[str] = []
    props: list[Mapping[str, Any]] = []
    for s, p in zip(sweeps, properties.sweeps):
        columns.append(s.name)
        props.append(p)
    members = properties.trace_members or [()] * len(traces)
    for t, label, p, own in zip(traces, labels, properties.traces, members):
        names = t.data.dtype.names
        if names is None:
            columns.append(label)
            props.append(p)
            continue
        for j, member in enumerate(names):
            columns.append(f"{label}{MEMBER_SEPARATOR}{member}")
            props.append({**p, **own[j]} if len(own) == len(names) else p)
    if not sweeps:
        columns.insert(0, UNSWEPT_AXIS)
        props.insert(0, {})
    return {"header": dict(psf.header), "units": _units(columns, props),
            "properties": {c: dict(p) for c, p in zip(columns, props) if p}}


def _swept_frame(psf: Psf) -> pd.DataFrame:
    import pandas as pd

    from ._results import UNSWEPT_AXIS, check_lengths, struct_matrix, trace_labels

    sweeps, traces = psf.sweeps, psf.traces
    labels = trace_labels([s.name for s in sweeps], [t.name for t in traces])
    axis = sweeps[0].name if sweeps else UNSWEPT_AXIS
    points = len(sweeps[0].data) if sweeps else len(traces[0].data)
    check_lengths(axis, points, [("sweep", s.name, len(s.data)) for s in sweeps[1:]]
                  + [("trace", label, len(t.data)) for t, label in zip(traces, labels)])

    columns: dict[str, Any] = {}

    def add(name: str, data: Any) -> None:
        if name in columns:
            raise ValueError(
                f"the result has two columns named {name!r}; give each trace its own name")
        columns[name] = data

    for s in sweeps[1:]:
        add(s.name, s.data)
    for t, label in zip(traces, labels):
        members = t.data.dtype.names
        if members is None:
            add(label, t.data)
            continue
        matrix = struct_matrix(t.data)
        for k, member in enumerate(members):
            add(f"{label}{MEMBER_SEPARATOR}{member}", matrix[:, k])
    index: pd.Index[Any] = (pd.Index(sweeps[0].data, name=axis) if sweeps
                            else pd.RangeIndex(points, name=axis))
    return pd.DataFrame(columns, index=index)


def _values_frame(values: list[tuple[str, object]]) -> pd.DataFrame:
    import pandas as pd

    cells: dict[str, dict[int, object]] = {}
    for row, (_, value) in enumerate(values):
        fields = value if isinstance(value, dict) else {VALUE_COLUMN: value}
        for key, field in fields.items():
            cells.setdefault(key, {})[row] = field
    frame = {key: _sparse_column(col, len(values)) for key, col in cells.items()}
    index = pd.Index([n for n, _ in values], name=VALUE_INDEX)
    return pd.DataFrame(frame, index=index)


def _sparse_column(cells: dict[int, object], rows: int) -> Any:
    """One column of `rows` rows from the cells present; the others are missing."""
    import pandas as pd

    from ._results import column

    present = list(cells.values())
    if len(cells) == rows:
        return column(present)
    kinds = {type(v) for v in present}
    if kinds == {int}:
        ints = [cells.get(r, pd.NA) for r in range(rows)]
        return pd.array(ints, dtype="Int64")  # type: ignore[call-overload]
    missing = {frozenset({float}): math.nan, frozenset({complex}): complex(math.nan, math.nan)}
    return column([cells.get(r, missing.get(frozenset(kinds))) for r in range(rows)])


def _check_result(psf: object) -> None:
    """TypeError, saying what to pass instead, unless `psf` is a result in memory."""
    from ._lazy import PsfFile

    if isinstance(psf, (str, bytes, os.PathLike)):
        hint = "read the file first: to_pandas(quarn.read_psf(path))"
    elif isinstance(psf, PsfFile):
        hint = "an open file's result is f.select() (all traces) or f.select([names])"
    elif all(hasattr(psf, a) for a in ("header", "sweeps", "traces", "values")):
        return
    else:
        hint = "it takes what quarn.read_psf returns"
    raise TypeError(f"to_pandas() takes a Psf, not {type(psf).__name__}: {hint}")
