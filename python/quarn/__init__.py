"""quarn: read psfbin circuit-simulation result files into Python and NumPy.

    >>> import quarn
    >>> psf = quarn.read_psf("tran.psfbin")
    >>> psf.header["analysis type"], [t.name for t in psf.traces]

`read_psf` returns a `Psf` whose `header` is a dict, whose `sweeps` and `traces`
hold NumPy arrays (the parser's buffers, not copies) and whose `values` hold the
non-swept operating-point results as Python scalars or dicts. When it refuses a
file with `ValueError`, a note on the exception says what the file most likely is
(the text form, the main file of a split result, an unfinished file).

`InternalError` (a `BaseException`, so that `except Exception` does not catch it)
is raised by every reader of the package when NumPy cannot be reached or an
object cannot be made; its name is `quarn._quarn.InternalError`.
"""

from ._batch import read_header, read_many
from ._directory import Analysis, Family, Results, open_results
from ._properties import Properties, properties, read_psf
from ._pandas import to_pandas
from ._quarn import Psf, Sweep, Trace, Value, __version__
from ._lazy import PsfFile, open_psf
from ._native import InternalError
from ._runs import read_runs
from ._xarray import to_xarray
from ._pickle import register as _register_pickling

_register_pickling()  # results travel to other processes (pickle, multiprocessing)

__all__ = ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf", "read_header",
           "read_many", "read_runs", "to_pandas", "to_xarray", "PsfFile", "open_psf",
           "open_results", "Results", "Analysis", "Family", "Properties", "properties",
           "InternalError"]
