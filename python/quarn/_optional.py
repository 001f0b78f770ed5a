"""Optional dependencies: imported where they are used, with the fix in the message."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str) -> ModuleType:
    """Import `module`, or raise ImportError naming the extra that installs it.

    >>> require("xarray", "xarray")  # doctest: +SKIP
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.partition(".")[0]
        raise ImportError(
            f"quarn needs the optional dependency {top!r} for this; "
            f"install it with: pip install 'quarn[{extra}]'"
        ) from exc
