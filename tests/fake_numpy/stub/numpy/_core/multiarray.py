"""A core multiarray module of the stand-in numpy: it records that it was
imported and has no _ARRAY_API capsule."""

import numpy

numpy.imported.append(__name__)
