"""Results as xarray Datasets: `to_xarray(psf)` and the `engine="quarn"` backend.

    >>> import xarray as xr
    >>> ds = xr.open_dataset("ac.psfbin", engine="quarn")
    >>> ds["V(out)"].sel(freq=1e6, method="nearest")

The Dataset of a result:

- Swept: one dimension named after the first sweep, whose values are its index
  coordinate. Every trace is a data variable over it with `read_psf`'s dtype
  (float64 or complex128) and memory: the variables are the parser's arrays,
  not copies. A struct trace `T` (noise contributions, one member per source) is
  one float64 variable over (sweep, "T_member"), whose coordinate holds the
  member names, so `ds["T"].sel(T_member="fn")` picks one member; each struct
  trace has its own member dimension, named after it. A trace that shares its
  name with a sweep (a DC sweep records the swept source's node under the
  sweep's name) is the variable "NAME (trace)", with "NAME (trace 2)" and so on
  where that is taken too, and its name in the file is its attribute "name";
  the sweep keeps the name. `drop_variables` takes the names in the Dataset:
  "vi" drops the sweep (and its axis), "vi (trace)" the trace. Further sweeps are
  non-index coordinates over the first sweep's dimension. A result with traces
  but no sweep lies along a dimension named "point", without coordinate.
- Non-swept (operating points): each scalar value is a 0-d variable named after
  it (float64, int64, complex128 or a unicode string), its properties ("units"
  among them) its attributes. Struct values are grouped by their type (the device
  kind the file names, as "mos_op") and member list: each group makes a dimension
  named after the type, whose coordinate holds the names of its values, and one
  variable "<kind>.<member>" per member over it, so
  `ds["mos_op.gm"].sel(mos_op="M1")` is M1's gm. A type name that two groups
  share (two member lists), or that names none, gives "structk" instead (k = 0,
  1, ... over such groups in file order). The properties all of a group's values
  share are its dimension coordinate's attributes; any other one (a device's
  "model") is the coordinate "<kind>.<property>" over it ("" or NaN where a value
  lacks it; "<kind>.<property> (property)" where a member has its name). Qualifying the variables by their group keeps members that several
  device kinds share ("i", "v") apart.
- The HEADER properties are `ds.attrs`, all of them, as str, int or float; each
  sweep's and trace's declaration properties (over its type's: "units") are its
  attributes. A struct member's own properties (its units) are the attributes
  of a struct value group's "<kind>.<member>"; for a struct trace, those all
  its members share join its attributes and any other is the coordinate
  "<T>_member.<property>". `to_xarray` has them for results of
  `quarn.read_psf` (see `quarn.properties`), so that it gives exactly what the
  engine gives.

Every variable name must be unique: a result that would give two variables one
name (two traces of one name, or a trace named like a member dimension) raises
ValueError naming it. A trace whose number of points differs from the sweep's
raises ValueError naming it and both numbers, unless `drop_variables` drops it.
"""

from __future__ import annotations

import os
import stat
from typing import TYPE_CHECKING, Any

from ._optional import require

if TYPE_CHECKING:
    import xarray as xr

    from ._quarn import Psf

__all__ = ["QuarnBackendEntrypoint", "has_psfbin_footer", "to_xarray"]

#: The last 12 bytes of every psfbin file: this magic and one 32-bit word.
FOOTER_MAGIC = b"Clarissa"
FOOTER_SIZE = 12

#: Suffix of a struct trace's member dimension: trace "M1" -> dimension "M1_member".
MEMBER_DIM_SUFFIX = "_member"

#: Prefix of the k-th struct value group without a type name of its own: "struct0", ...
STRUCT_GROUP_PREFIX = "struct"


def to_xarray(psf: Psf) -> xr.Dataset:
    """The Dataset of a result already read, the same one `engine="quarn"` gives.

    The variables share the memory of `psf`'s arrays. See the module's
    docstring for the layout.
    """
    require("xarray", "xarray")
    from ._dataset import psf_dataset

    return psf_dataset(psf)


def has_psfbin_footer(path: object) -> bool:
    """Whether `path` names a regular file that ends with the psfbin footer.

    Never raises: anything that is not a path, or a path that cannot be opened
    or read, answers False. A FIFO or device is not opened for reading.
    """
    if not isinstance(path, (str, os.PathLike)):
        return False
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except (OSError, ValueError, TypeError):
        return False
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_size < FOOTER_SIZE:
            return False
        footer = os.pread(fd, FOOTER_SIZE, info.st_size - FOOTER_SIZE)
        return footer[:len(FOOTER_MAGIC)] == FOOTER_MAGIC
    except OSError:
        return False
    finally:
        os.close(fd)


def __getattr__(name: str) -> Any:
    """`QuarnBackendEntrypoint`, the class xarray's entry point names, loaded on first use.

    It subclasses xarray's BackendEntrypoint, so it lives with the code that
    imports xarray; `import quarn` stays free of it.
    """
    if name == "QuarnBackendEntrypoint":
        require("xarray", "xarray")
        from ._dataset import QuarnBackendEntrypoint

        return QuarnBackendEntrypoint
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
