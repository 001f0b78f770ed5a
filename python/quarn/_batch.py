"""Many files at once: header listing and the batch reader."""

from __future__ import annotations

import os
from typing import Any

from . import _native

StrPath = str | os.PathLike[str]


def read_header(path: StrPath) -> dict[str, Any]:
    """The HEADER properties of a psfbin file, the dict `read_psf(path).header` is.

    Only the footer and the HEADER section are read, so listing many files costs
    about what opening them and reading their first page costs. A file that
    `read_psf` rejects for a fault past the HEADER passes here.
    """
    return _native.read_header(path)
