"""numpy.lib of the stand-in: only NumpyVersion, reduced to its major number."""


class NumpyVersion:
    def __init__(self, vstring: str) -> None:
        self.vstring = vstring
        self.major = int(vstring.split(".")[0])
