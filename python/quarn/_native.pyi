# The second extension module: entry points beside quarn._quarn.
import os
from typing import Any

def read_header(path: str | os.PathLike[str], *, require_footer: bool = ...) -> dict[str, Any]: ...
