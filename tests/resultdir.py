"""A writer of result directories for the tests and the benchmark: the index
`logFile` (text form, with the property lists that link families and leaves),
small binary results (tests/psfwriter.py) and the bookkeeping files of a run.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl
from textwriter import _scalar, _string

INDEX_HEADER = [("PSFversion", "1.00"), ("Log Generator", "idxwriter 2.0"),
                ("Log Time Stamp", "Mon Jan  1 12:00:00 2001"), ("simulator", "simx"),
                ("measdgt", 3)]
MEMBERS = ("analysisType", "dataFile", "format", "parent", "sweepVariable", "description")


@dataclass
class Entry:
    """One index entry; `props` is its property list (family links, variable values)."""

    name: str
    kind: str
    data_file: str
    parent: str = ""
    sweep: Sequence[str] = ()
    description: str = ""
    format: str = "PSF"
    props: list[tuple[str, Any]] = field(default_factory=list)


def family(name: str, kind: str, data_file: str, variables: Sequence[str],
           parent: str = "") -> Entry:
    return Entry(name, kind, data_file, parent, variables, "Sweep parent",
                 props=[("sweep_tree_type", "sweepNode")])


def leaf(name: str, kind: str, data_file: str, parent: str, values: dict[str, float],
         sweep: Sequence[str] = (), data_type: str | None = "swept_scalar") -> Entry:
    props: list[tuple[str, Any]] = [] if data_type is None else [("data_type", data_type)]
    props += [("sweep_tree_type", "leafNode"), *values.items()]
    return Entry(name, kind, data_file, parent, sweep, f"{kind} run", props=props)


def index_text(entries: Sequence[Entry], header=INDEX_HEADER) -> str:
    out = ["HEADER", *(f"{_string(k)} {_scalar(v)}" for k, v in header), "TYPE",
           '"analysisInst" STRUCT(',
           *(f'  "{m}" {"ARRAY ( * ) STRING *" if m == "sweepVariable" else "STRING *"}'
             for m in MEMBERS), ")", "VALUE"]
    for e in entries:
        sweep = "(" + " ".join(map(_string, e.sweep)) + ")"
        body = " ".join([_string(e.kind), _string(e.data_file), _string(e.format),
                         _string(e.parent), sweep, _string(e.description)])
        line = f'{_string(e.name)} "analysisInst" ( {body} )'
        if e.props:
            line += " PROP( " + " ".join(f"{_string(k)} {_scalar(v)}" for k, v in e.props) + " )"
        out.append(line)
    out.append("END")
    return "\n".join(out) + "\n"


def ac_bytes(freq: np.ndarray, out: np.ndarray) -> bytes:
    """A swept binary result: sweep freq, one complex trace V(out)."""
    f = PsfFile(
        Layout.SIMPLE,
        header=[("PSFversion", "1.00"), ("analysis type", "ac"), ("PSF sweep points", len(freq))],
        types=[TypeDecl(1, "freq_t", Tag.FLOAT64, props=[("units", "Hz")]),
               TypeDecl(2, "V", Tag.COMPLEX, props=[("units", "V")])],
        sweeps=[Decl(10, "freq", 1)],
        traces=[Decl(20, "V(out)", 2)],
        values=[rec for i in range(len(freq)) for rec in (Record(10, freq[i]),
                                                          Record(20, out[i]))],
    )
    return f.build()[0]


def meas_bytes(values: dict[str, float]) -> bytes:
    """A non-swept binary result: one real value per measurement, in volts."""
    f = PsfFile(
        Layout.NONSWEPT,
        header=[("PSFversion", "1.00"), ("analysis type", "meas_tran")],
        types=[TypeDecl(1, "V", Tag.FLOAT64, props=[("units", "V")])],
        values=[Decl(100 + i, n, 1, v) for i, (n, v) in enumerate(values.items())],
    )
    return f.build()[0]


def write(root: Path, files: dict[str, bytes | str], entries: Sequence[Entry] | None) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    for name, content in files.items():
        (root / name).write_bytes(content.encode() if isinstance(content, str) else content)
    if entries is not None:
        (root / "logFile").write_text(index_text(entries))
    return root


RUN_OBJECT = """HEADER
"PSFversion" "1.00"
"Run Generator" "runwriter 2.0"
"Run Time Stamp" "Jan  1 10:00:00 2001"
TYPE
"runObject" STRUCT( "logName" ARRAY( * ) STRING * "parent" STRING *
  "sweepVariable" ARRAY( * ) STRING * ) PROP( "key" "runObject" )
VALUE
"Run1" "runObject" ( ( "logFile" ) "" () )
END
"""

RUN_DATA = """HEADER
"PSFversion" "1.00"
"simulator" "simx"
"analysisList" "()"
END
"""


def foreach_run(root: Path, vbias: Sequence[float], *, measures=("vmax", "vmin")) -> Path:
    """A foreach over `vbias` of measurement leaves, the index appended as runs
    finish: the family entry repeated (identical) before each run's leaf."""
    files: dict[str, bytes | str] = {}
    entries: list[Entry] = []
    fam = family("tr1_meas-meas_foreach", "meas_foreach", "tr1_meas.meas_foreach", ["vbias"])
    for k, v in enumerate(vbias):
        name = f"tr1-foreach-{k:03d}"
        files[f"{name}.meas_tran"] = meas_bytes({m: v * (j + 1) + k for j, m in
                                                 enumerate(measures)})
        entries += [fam, leaf(f"{name}-meas_tran", "meas_tran", f"{name}.meas_tran",
                              fam.name, {"vbias": v}, data_type=None)]
    return write(root, files, entries)
