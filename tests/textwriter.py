"""Writes a read result back out in the text form of the format, every real with 17
significant digits so that reading the text gives the same doubles bit for bit.

Types are made up from the data: FLOAT DOUBLE, COMPLEX DOUBLE, INT LONG, STRING *, and a
STRUCT per structured trace or dict value (one type per series or value, named after it).
"""

from __future__ import annotations

import math

import numpy as np


def _string(s: str) -> str:
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _real(x: float) -> str:
    if math.isnan(x):
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = f"{x:.17g}"
    return text if "." in text or "e" in text else text + ".0"  # a real, never an integer


def _scalar_type(v) -> str:
    if isinstance(v, bool) or isinstance(v, int):
        return "INT LONG"
    if isinstance(v, float):
        return "FLOAT DOUBLE"
    if isinstance(v, complex):
        return "COMPLEX DOUBLE"
    return "STRING *"


def _scalar(v) -> str:
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return _real(v)
    if isinstance(v, complex):
        return f"({_real(v.real)} {_real(v.imag)})"
    return _string(v)


def _series_type(data: np.ndarray) -> str:
    if data.dtype.names:
        members = " ".join(f"{_string(n)} FLOAT DOUBLE" for n in data.dtype.names)
        return f"STRUCT( {members} )"
    return "COMPLEX DOUBLE" if data.dtype.kind == "c" else "FLOAT DOUBLE"


def _sample(data: np.ndarray, i: int) -> str:
    x = data[i]
    if data.dtype.names:
        return "( " + " ".join(_real(float(x[n])) for n in data.dtype.names) + " )"
    if data.dtype.kind == "c":
        return f"({_real(float(x.real))} {_real(float(x.imag))})"
    return _real(float(x))


def write_text(psf) -> bytes:
    out = ["HEADER"]
    for key, value in psf.header.items():
        out.append(f"{_string(key)} {_scalar(value)}")
    series = [("s", s) for s in psf.sweeps] + [("t", t) for t in psf.traces]
    out.append("TYPE")
    for k, (_, s) in enumerate(series):
        out.append(f'"series {k}" {_series_type(s.data)}')
    for k, v in enumerate(psf.values):
        if isinstance(v.data, dict):
            members = " ".join(f"{_string(n)} {_scalar_type(m)}" for n, m in v.data.items())
            out.append(f'"value {k}" STRUCT( {members} )')
        else:
            out.append(f'"value {k}" {_scalar_type(v.data)}')
    if psf.sweeps:
        out.append("SWEEP")
        out += [f'{_string(s.name)} "series {k}"' for k, (kind, s) in enumerate(series)
                if kind == "s"]
        out.append("TRACE")
        out += [f'{_string(t.name)} "series {k}"' for k, (kind, t) in enumerate(series)
                if kind == "t"]
    out.append("VALUE")
    if psf.sweeps:
        for i in range(len(psf.sweeps[0].data)):
            out += [f"{_string(s.name)} {_sample(s.data, i)}" for _, s in series]
    for k, v in enumerate(psf.values):
        if isinstance(v.data, dict):
            body = "( " + " ".join(_scalar(m) for m in v.data.values()) + " )"
        else:
            body = _scalar(v.data)
        out.append(f'{_string(v.name)} "value {k}" {body}')
    out.append("END")
    return ("\n".join(out) + "\n").encode()
