"""A core package of the stand-in numpy."""
