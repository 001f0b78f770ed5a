"""A stand-in numpy without a C API: version, numpy.lib and the core modules only."""

__version__ = "2.0.0"

# Names of the core modules imported so far, in order.
imported: list[str] = []
