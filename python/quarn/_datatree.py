"""A result directory as an xarray DataTree: `results.to_datatree()`, and
`xr.open_datatree(path, engine="quarn")`.

- The root's attrs are the index's header.
- One node per analysis outside a family, named by its analysis name: the
  Dataset `xr.open_dataset` makes of the file (lazy variables), or, for a file
  that cannot be read, an empty Dataset whose attrs say `path` and `problem`.
- One node per outermost family, named by the family: its runs stacked
  (`Family.to_xarray`) when they stack; otherwise one child per run, named by
  the run number, with the run's variable values as attrs and scalar coordinates.

Imported only where xarray is used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import xarray as xr

from ._dataset import _open_psf_dataset, psf_dataset
from ._notes import is_text_form

if TYPE_CHECKING:
    from ._directory import Analysis, Family, Results

__all__ = ["results_datatree"]


def results_datatree(results: Results) -> xr.DataTree:
    nodes: dict[str, xr.Dataset | xr.DataTree] = {}
    family_entries = {id(f.analysis) for f in results.families}
    for analysis in results.analyses:
        if analysis.family is None and id(analysis) not in family_entries:
            nodes[_unique(_node_name(analysis.name), nodes)] = _analysis_dataset(analysis)
    for family in results.families:
        if family.parent is None:
            nodes[_unique(_node_name(family.name), nodes)] = _family_node(family)
    root = xr.DataTree(xr.Dataset(attrs=dict(results.header)))
    for name, node in nodes.items():
        root[name] = node if isinstance(node, xr.DataTree) else xr.DataTree(node)
    return root


def _analysis_dataset(analysis: Analysis, **attrs: Any) -> xr.Dataset:
    if analysis.problem is not None:
        return xr.Dataset(attrs={"path": str(analysis.path), "problem": analysis.problem,
                                 **attrs})
    try:
        if is_text_form(analysis.path):  # the lazy reader reads the binary form
            ds = psf_dataset(analysis.read())
        else:
            ds = _open_psf_dataset(analysis.path, None)
    except (OSError, ValueError) as exc:
        lines = str(exc).strip().splitlines()
        return xr.Dataset(attrs={"path": str(analysis.path),
                                 "problem": lines[0] if lines else type(exc).__name__, **attrs})
    ds.attrs.update(attrs)
    return ds


def _family_node(family: Family) -> xr.Dataset | xr.DataTree:
    try:
        ds = family.to_xarray()
    except ValueError:
        pass  # kept apart below: one child per run
    else:
        ds.attrs.update({"family": family.name, "kind": family.kind})
        return ds
    node = xr.DataTree(xr.Dataset(attrs={"family": family.name, "kind": family.kind,
                                         "variables": list(family.variables)}))
    for i, run in enumerate(family.runs):
        ds = _analysis_dataset(run, **run.params)
        node[str(i)] = xr.DataTree(ds.assign_coords(run.params))
    return node


def _node_name(name: str) -> str:
    # A node name cannot hold the path separator.
    return name.replace("/", "_") or "_"


def _unique(name: str, taken: dict[str, Any]) -> str:
    candidate, k = name, 1
    while candidate in taken:
        k += 1
        candidate = f"{name} ({k})"
    return candidate
