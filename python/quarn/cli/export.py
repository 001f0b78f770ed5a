"""`quarn export`: results to .csv, .parquet, .npz or .nc, the format following OUT's suffix.

- .csv and .parquet: the table of `quarn.to_pandas` with its index as the first column.
  Neither format has a complex type: a complex column "T" is written as the float64
  columns "T.real" and "T.imag". A column of scalars of several kinds (the "value"
  column of a non-swept result) is written as text. Several input files make one long table whose first
  column, "file", names the file of each row.
  With --units, a .csv starts with one comment line, `# quarn: ` and a JSON object
  {"units": {column: unit}, "properties": {column: {name: value}}} (for a non-swept
  result keyed by value name, with "kinds": {value: type name}); read the table with
  `pandas.read_csv(path, skiprows=1)`. A .parquet file always keeps them: each column's
  Arrow field metadata holds "units" and "properties" (JSON), the schema metadata
  "quarn" a JSON object of the header and, for a non-swept result, of each value's.
- .npz: one array per sweep and trace, named after it, exactly as `read_psf` gives them
  (complex stays complex, a struct trace is a structured array). One swept file only.
- .nc: the Dataset of `quarn.to_xarray`, with its attributes (units and properties),
  written by h5netcdf; complex variables are kept
  as HDF5 complex compounds, which netCDF readers that know them read back. One file only.
  The HDF5 library cannot recover from a failed write (a full disk crashes the process
  when the file is closed), so the file is made in memory and written out by Python,
  after a check that the disk has room for it (xarray releases that cannot make a
  netCDF-4 file in memory write it in place, behind the check alone).

An existing OUT is left alone unless --force; OUT appears only when it is complete.
"""

from __future__ import annotations

import argparse
import errno
import functools
import io
import json
import os
import shutil
import warnings
import zipfile
from collections.abc import Callable, Hashable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .._optional import require
from .._results import NAME_ATTR
from ._common import CommandError, UsageError, labelled_traces, notes, output_file, \
    print_failure
from ._dirs import check_one_kind, collect, family_table, read_sources, skip

if TYPE_CHECKING:
    import pandas as pd

    from quarn import Psf

    from .._properties import Properties

HELP = "export results to .csv, .parquet, .npz or .nc (the format follows OUT's suffix)"

#: Suffixes of the two real columns a complex column becomes in .csv and .parquet.
REAL, IMAG = ".real", ".imag"
#: The column that names each row's file when several files go into one table.
FILE_COLUMN = "file"

Results = list[tuple[Path, "Psf"]]


def add_parser(commands: Any) -> None:
    p: argparse.ArgumentParser = commands.add_parser(
        "export", help=HELP, description=HELP + ". Several files go into one table (.csv, "
        ".parquet) with a 'file' column; complex columns T become T.real and T.imag there.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="result files or directories")
    p.add_argument("-o", "--output", metavar="OUT", required=True,
                   help="the file to write: .csv, .parquet, .npz or .nc")
    p.add_argument("--trace", action="append", metavar="NAME",
                   help="export this trace (repeatable; default: every trace)")
    p.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--units", action="store_true",
                   help="start a .csv with a '# quarn: {JSON}' line of units and properties "
                   "(.parquet and .nc always keep them)")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="a directory stands for the files and run directories below it too")
    p.add_argument("--strict", action="store_true",
                   help="fail when a result found in a directory cannot be read "
                        "(default: skip it with one line on stderr)")
    p.add_argument("--family", metavar="NAME",
                   help="write the table of this family of the run directory given, one row "
                        "per run (.csv or .parquet)")
    p.set_defaults(run=run, parser=p)


#: The first characters of the comment line that --units puts first in a .csv.
UNITS_COMMENT = "# quarn: "


def _properties(path: Path, psf: Psf) -> Properties | None:
    """The properties of `psf`, read from its file (None when it changed since)."""
    from .._properties import properties_of_file

    try:
        return properties_of_file(path, psf)
    except (OSError, ValueError):
        return None


def _frame(path: Path, psf: Psf, names: list[str] | None) -> pd.DataFrame:
    """The result's table with the chosen traces, complex columns split, index a column;
    its attrs hold the units and properties by column (by value for a non-swept one)."""
    from .._pandas import MEMBER_SEPARATOR, frame_of

    df = frame_of(psf, _properties(path, psf))
    if names is not None and not psf.values:
        chosen = {label for label, _ in labelled_traces(path, psf, names)}
        dropped: list[str] = []
        for label, t in labelled_traces(path, psf, None):
            if label not in chosen:
                members = t.data.dtype.names
                dropped += ([label] if members is None else
                            [f"{label}{MEMBER_SEPARATOR}{m}" for m in members])
        df = df.drop(columns=dropped)
    df = df.reset_index()
    columns: dict[str, Any] = {}
    for name in df.columns:
        col = df[name]
        parts: dict[str, Any] = {name: col}
        if col.dtype.kind == "c":
            values = col.to_numpy()
            parts = {f"{name}{REAL}": values.real, f"{name}{IMAG}": values.imag}
        elif col.dtype.kind == "O" and len({type(x) for x in col if x is not None}) > 1:
            # Scalars of several kinds (a non-swept result's values): as text, read back
            # by float(), int() or complex(); missing ones stay missing.
            parts = {name: col.map(lambda x: None if x is None else str(x))}
        for key, data in parts.items():
            if key in columns:
                raise CommandError(f"the table would have two columns named {key!r}")
            columns[key] = data
    pandas = require("pandas", "pandas")
    table: pd.DataFrame = pandas.DataFrame(columns)
    table.attrs = _column_attrs(df.attrs, list(columns), bool(psf.values))
    return table


def _column_attrs(attrs: Mapping[Hashable, Any], columns: list[str], by_value: bool
                  ) -> dict[Hashable, Any]:
    """`to_pandas`' attrs for the table's columns: a complex column's parts take its units."""
    if not attrs or by_value:
        return {k: v for k, v in attrs.items() if k != "header"}
    out: dict[Hashable, dict[str, Any]] = {"units": {}, "properties": {}}
    for column in columns:
        source = next((column[:-len(s)] for s in (REAL, IMAG) if column.endswith(s)
                       and column[:-len(s)] not in columns), column)
        for key in out:
            if source in attrs.get(key, {}):
                out[key][column] = attrs[key][source]
    return out


def _table(results: Results, names: list[str] | None) -> pd.DataFrame:
    """One table; for several files, a long one with the file of each row first."""
    pandas = require("pandas", "pandas")
    if len(results) == 1:
        return _frame(*results[0], names)
    swept = {bool(psf.sweeps or psf.traces) and not psf.values for _, psf in results}
    if len(swept) > 1:
        raise CommandError("cannot put swept and non-swept results into one table; "
                           "export them separately")
    frames = []
    for path, psf in results:
        frame = _frame(path, psf, names)
        if FILE_COLUMN in frame.columns:
            raise CommandError(f"{path}: has a column named {FILE_COLUMN!r} already")
        frame.insert(0, FILE_COLUMN, os.fspath(path))
        frames.append(frame)
    table: pd.DataFrame = pandas.concat(frames, ignore_index=True)
    # Each column's units and properties as the first file that has the column gives them.
    merged: dict[Hashable, dict[str, Any]] = {}
    for frame in reversed(frames):
        for key, by in frame.attrs.items():
            merged.setdefault(key, {}).update(by)
    table.attrs = merged
    return table


def _json(data: Any) -> str:
    return json.dumps(data, ensure_ascii=True, separators=(",", ":"))


def write_csv(results: Results, names: list[str] | None, out: Path, units: bool = False) -> None:
    # pandas writes floats in their shortest form that reads back to the same double.
    table = _table(results, names)
    if not units:
        table.to_csv(out, index=False)
        return
    with open(out, "w", encoding="utf-8", newline="") as f:
        f.write(UNITS_COMMENT + _json(table.attrs) + "\n")
        table.to_csv(f, index=False)


def write_parquet(results: Results, names: list[str] | None, out: Path) -> None:
    pa = require("pyarrow", "parquet")
    pq = require("pyarrow.parquet", "parquet")
    table = _table(results, names)
    arrow = pa.Table.from_pandas(table, preserve_index=False)
    # pandas' conversion takes every NaN for a missing value, so a NaN sample would come
    # back without its payload: float64 columns are written as the doubles they hold.
    renamed = {label: t.name for path, psf in results
               for label, t in labelled_traces(path, psf, None) if label != t.name}
    by_value = any(psf.values for _, psf in results)
    for i, (column, col) in enumerate(table.items()):
        field = arrow.field(i)
        metadata: dict[str, str] = {}
        # The columns of a trace named like a sweep keep its name in the file.
        name = next((renamed[label] for label in renamed if column == label
                     or str(column).startswith(label + ".")), None)
        if name is not None:
            metadata[NAME_ATTR] = name
        if not by_value:
            unit = table.attrs.get("units", {}).get(column)
            props = table.attrs.get("properties", {}).get(column)
            if unit is not None:
                metadata["units"] = unit
            if props:
                metadata["properties"] = _json(props)
        if metadata:
            field = field.with_metadata(metadata)
        if col.dtype == np.float64:
            arrow = arrow.set_column(i, field, pa.array(col.to_numpy(), from_pandas=False))
        elif metadata:
            arrow = arrow.set_column(i, field, arrow.column(i))
    quarn_meta: dict[Hashable, Any] = {}
    if len(results) == 1:
        quarn_meta["header"] = dict(results[0][1].header)
    if by_value:
        quarn_meta.update(table.attrs)
    arrow = arrow.replace_schema_metadata(
        {**(arrow.schema.metadata or {}), b"quarn": _json(quarn_meta).encode()})
    pq.write_table(arrow, out)


def write_npz(results: Results, names: list[str] | None, out: Path) -> None:
    (path, psf), = results
    if psf.values or not psf.sweeps:
        raise CommandError(f"{path}: .npz holds the arrays of a swept result, and this one "
                           "has none; use .csv, .parquet or .nc")
    arrays: dict[str, np.ndarray] = {}
    chosen = [(s.name, s.data) for s in psf.sweeps] + [
        (label, t.data) for label, t in labelled_traces(path, psf, names)]
    for name, data in chosen:
        if name in arrays:
            raise CommandError(f"{path}: two arrays named {name!r}")
        arrays[name] = data
    # The archive np.savez writes, made here: savez takes the names as keyword
    # arguments, where a trace named "file" or "allow_pickle" would be taken for one.
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, data in arrays.items():
            with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, data, allow_pickle=False)


def write_netcdf(results: Results, names: list[str] | None, out: Path) -> None:
    (path, psf), = results
    require("h5netcdf", "netcdf")
    require("h5py", "netcdf")
    from .._dataset import psf_dataset

    ds = psf_dataset(psf, properties=_properties(path, psf))
    if names is not None:
        chosen = {label for label, _ in labelled_traces(path, psf, names)}
        ds = ds.drop_vars([label for label, _ in labelled_traces(path, psf, None)
                           if label not in chosen])
        ds = ds.drop_vars([c for c in ds.coords if c in ds.dims
                           and not any(c in v.dims for v in ds.data_vars.values())])
    complex_ = any(np.iscomplexobj(v) for v in ds.variables.values())
    # No fill value: a NaN in the data is a sample (with its payload), not a missing one.
    encoding = {name: {"_FillValue": None} for name in ds.variables}
    _check_room(out, NETCDF_OVERHEAD + sum(v.nbytes for v in ds.variables.values()))
    image = io.BytesIO()
    with warnings.catch_warnings():
        # Complex variables are what makes the file "invalid netCDF"; the docs say so.
        warnings.filterwarnings("ignore", "You are writing invalid netcdf", UserWarning)
        try:
            ds.to_netcdf(image, engine="h5netcdf", encoding=encoding, invalid_netcdf=complex_)
            made = image.getbuffer()[:len(HDF5_SIGNATURE)] == HDF5_SIGNATURE
        except (ValueError, ImportError):
            made = False
        if not made:  # an xarray that writes file objects only with scipy, as netCDF-3
            image = io.BytesIO()
            ds.to_netcdf(out, engine="h5netcdf", encoding=encoding, invalid_netcdf=complex_)
            return
    with open(out, "wb") as f:
        f.write(image.getbuffer())


#: The first bytes of every HDF5 (netCDF-4) file.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


#: What a small netCDF file holds besides its variables' bytes (HDF5's superblock, object
#: headers, attributes), for the check of free space.
NETCDF_OVERHEAD = 64 << 10


def _check_room(out: Path, size: int) -> None:
    """OSError (ENOSPC) unless the file system of `out` has `size` bytes free."""
    free = shutil.disk_usage(out.parent).free
    if free < size:
        raise OSError(errno.ENOSPC, f"not enough free space (about {size} bytes needed, "
                                    f"{free} free)")


WRITERS: dict[str, tuple[Callable[[Results, list[str] | None, Path], None], bool]] = {
    # suffix: (writer, holds several files)
    ".csv": (write_csv, True),
    ".parquet": (write_parquet, True),
    ".npz": (write_npz, False),
    ".nc": (write_netcdf, False),
}


def run(args: argparse.Namespace) -> int:
    out = Path(args.output)
    if out.suffix.lower() not in WRITERS:
        raise UsageError(f"cannot tell the format of {out}: give a name ending in "
                         + ", ".join(WRITERS))
    writer, several = WRITERS[out.suffix.lower()]
    if args.units and writer is write_csv:
        writer = functools.partial(write_csv, units=True)
    if out.exists() and not args.force:
        raise CommandError(f"{out} exists; give --force to overwrite it")
    sources = collect(args.paths, args.recursive)
    if args.family is not None:
        return _write_family(args, sources, out)
    paths = sources.files
    if len(paths) > 1 and not several and all(what == "file" for _, what in sources.items):
        raise UsageError(f"a {out.suffix} file holds one result, and {len(paths)} files were "
                         "given: export them one by one, or into .csv or .parquet")

    results: Results = []
    failed = False
    skipped = 0
    for path, result, lenient in read_sources(sources, args.trace):
        if not isinstance(result, Exception):
            try:
                labelled_traces(path, result, args.trace)  # every name given is there
            except CommandError as exc:
                if not lenient or args.strict:
                    raise
                result = ValueError(str(exc))
        if isinstance(result, Exception):
            if lenient and not args.strict:
                skip(path, result)
                skipped += 1
                continue
            print_failure(path, str(result), notes(result))
            failed = True
        else:
            results.append((path, result))
    if failed:
        return 1
    if not results:
        raise CommandError("no files to export" + (
            f": none of the {skipped} found reads" if skipped else ""))
    if len(results) > 1 and not several:
        raise UsageError(f"a {out.suffix} file holds one result, and {len(results)} were "
                         "found: export them one by one, or into .csv or .parquet")
    if any(what != "file" for _, what in sources.items):
        check_one_kind(results)

    # Written beside OUT and put in place: a failure never leaves half a file under its name.
    with output_file(out, args.force) as partial:
        try:
            writer(results, args.trace, partial)
        except ValueError as exc:  # the result does not fit the format (pandas, Arrow, xarray)
            raise CommandError(f"cannot write {out}: {exc}") from None
    print(f"wrote {out}")
    return 0


def _write_family(args: argparse.Namespace, sources: Any, out: Path) -> int:
    """`--family NAME`: the family's table, one row per run, to .csv or .parquet."""
    if out.suffix.lower() not in (".csv", ".parquet"):
        raise UsageError(f"a family's table is written to .csv or .parquet, not {out.suffix}")
    if args.trace is not None:
        raise UsageError("--family writes every value of the runs; --trace does not apply")
    table = family_table(sources, args.family)
    if args.strict and table.attrs.get("problems"):
        return 1
    with output_file(out, args.force) as partial:
        try:
            if out.suffix.lower() == ".csv":
                table.to_csv(partial, index=False)
            else:
                pq = require("pyarrow.parquet", "parquet")
                pa = require("pyarrow", "parquet")
                pq.write_table(pa.Table.from_pandas(table, preserve_index=False), partial)
        except ValueError as exc:
            raise CommandError(f"cannot write {out}: {exc}") from None
    print(f"wrote {out}")
    return 0
