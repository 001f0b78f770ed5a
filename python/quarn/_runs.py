"""`read_runs`: many results of one analysis as one xarray Dataset with a run dimension."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from ._batch import StrPath, path_note, read_many
from ._optional import require

if TYPE_CHECKING:
    import xarray as xr

    from ._properties import Properties


def _difference(ds: xr.Dataset, first: xr.Dataset) -> str | None:
    """What about `ds` differs from `first` so that they cannot be stacked, or None."""
    names, want = {str(n) for n in ds.data_vars}, {str(n) for n in first.data_vars}
    if names != want:
        parts = []
        if want - names:
            parts.append(f"missing {sorted(want - names)}")
        if names - want:
            parts.append(f"unexpected {sorted(names - want)}")
        return "its variables differ: " + ", ".join(parts)
    for dim, size in first.sizes.items():
        if ds.sizes.get(dim) != size:
            return f"dimension {dim!r} has {ds.sizes.get(dim, 0)} points, not {size}"
    if set(ds.sizes) != set(first.sizes):
        return f"its dimensions are {sorted(map(str, ds.sizes))}, not {sorted(map(str, first.sizes))}"
    for name, coord in first.coords.items():
        if name not in ds.coords or not coord.equals(ds.coords[name]):
            return f"coordinate {name!r} differs"
    for name, var in first.data_vars.items():
        if ds[name].dims != var.dims or ds[name].dtype != var.dtype:
            return f"variable {name!r} is {ds[name].dtype}{ds[name].dims}, not {var.dtype}{var.dims}"
    return None


def read_runs(paths: Iterable[StrPath], dim: str = "run",
              labels: Sequence[Any] | None = None, *, workers: int | None = None) -> xr.Dataset:
    """Results of the same analysis (same sweep points, same traces) from many files,
    read with `read_many`, as one Dataset with a new leading dimension `dim`.

    Its coordinate holds the paths, or `labels` (one per path). Each run's HEADER
    properties are the attributes where all runs agree; the variables' attributes
    (units and the other properties) and the names of operating-point groups are
    the first file's. A file whose sweeps,
    traces or values do not match the first file's raises ValueError naming the
    file and what differs.
    """
    xarray = require("xarray", "xarray")
    from ._dataset import psf_dataset
    from ._properties import names_of, properties_of_file

    paths = list(paths)
    if labels is None:
        labels = [os.fspath(p) for p in paths]
    elif len(labels) != len(paths):
        raise ValueError(f"read_runs: {len(labels)} labels for {len(paths)} paths")
    if not paths:
        raise ValueError("read_runs: no paths")
    runs: list[xr.Dataset] = []
    first: tuple[tuple[tuple[str, ...], ...], Properties | None] | None = None
    for path, psf in zip(paths, read_many(paths, workers=workers)):
        # The first file's properties serve every run that has its names (one walk,
        # and the same variables, group names and coordinates in every run).
        names = names_of(psf)
        if first is None:
            try:
                first = (names, properties_of_file(path, psf))
            except (OSError, ValueError):
                first = (names, None)
        try:
            ds = psf_dataset(psf, properties=first[1] if names == first[0] else None)
        except Exception as exc:
            path_note(exc, path)
            raise
        if runs:
            difference = _difference(ds, runs[0])
            if difference is not None:
                raise ValueError(f"read_runs: {os.fspath(path)} does not match "
                                 f"{os.fspath(paths[0])}: {difference}")
        runs.append(ds)
    index = xarray.DataArray(list(labels), dims=dim, name=dim)
    stacked: xr.Dataset = xarray.concat(runs, dim=index, coords="minimal", compat="override",
                                        join="exact", combine_attrs="drop_conflicts")
    return stacked
