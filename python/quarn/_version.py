"""The package's version, written here and nowhere else.

pyproject.toml takes the distribution's version from this line, and CMakeLists.txt
compiles it into the extension modules (`quarn._quarn.__version__`).
"""

__version__ = "0.2.0"
