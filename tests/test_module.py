"""The module quarn._quarn as the interpreter sees it: its attributes, the
read_psf function object, how read_psf binds its one argument and how it turns
the path into the bytes that are opened."""

import errno
import os
import pathlib
import subprocess
import sys

import pytest

import quarn
import quarn._quarn as q
from psfwriter import Decl, Layout, PsfFile, Tag, TypeDecl

# The folder that holds the quarn package, for child interpreters.
PACKAGE_ROOT = os.path.dirname(os.path.abspath(quarn.__path__[0]))


def small_file() -> PsfFile:
    return PsfFile(
        Layout.NONSWEPT,
        header=[("analysis type", "dcOp"), ("points", 1), ("temperature", 27.0)],
        types=[TypeDecl(1, "float", Tag.FLOAT64), TypeDecl(2, "str", Tag.STRING)],
        values=[Decl(10, "vdd", 1, 1.8), Decl(11, "status", 2, "ok")],
    )


def summary(p):
    """Everything a read gives, as plain data."""
    return (repr(p), dict(p.header), [(s.name, s.data.tolist()) for s in p.sweeps],
            [(t.name, t.data.tolist()) for t in p.traces], [(v.name, v.data) for v in p.values])


EXPECTED = ("<Psf sweeps=0 traces=0 values=2>",
            {"analysis type": "dcOp", "points": 1, "temperature": 27.0}, [], [],
            [("vdd", 1.8), ("status", "ok")])


@pytest.fixture
def path(tmp_path) -> pathlib.Path:
    p = tmp_path / "op.psf"
    p.write_bytes(small_file().to_bytes())
    return p


def run_child(code: str, cwd) -> str:
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    proc = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# ---------------------------------------------------------------------------
# Module attributes


def test_all_lists_the_six_names_in_order():
    assert q.__all__ == ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf"]
    assert type(q.__all__) is list


def test_version():
    assert q.__version__ == "0.2.0"
    assert type(q.__version__) is str


def test_module_docstring_and_name():
    assert q.__name__ == "quarn._quarn"
    assert q.__doc__.startswith("quarn native extension module.")


def test_public_attributes_are_exactly_the_exported_ones():
    public = sorted(name for name in vars(q) if not name.startswith("_"))
    assert public == ["Psf", "Sweep", "Trace", "Value", "read_psf"]


def test_classes_are_the_types_of_the_results(path):
    p = q.read_psf(path)
    assert type(p) is q.Psf
    assert type(p.values[0]) is q.Value
    for cls in (q.Psf, q.Sweep, q.Trace, q.Value):
        assert isinstance(cls, type)


def test_read_psf_function_object():
    f = q.read_psf
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "read_psf"
    assert f.__qualname__ == "read_psf"
    assert f.__doc__ == "Parse a psfbin file and return a [`Psf`]."
    assert f.__text_signature__ == "(path)"
    assert f.__self__ is q
    assert f.__module__ == q.__name__ == "quarn._quarn"


def test_importing_the_module_does_not_import_numpy(path, tmp_path):
    out = run_child(
        "import sys\n"
        "import quarn._quarn as q\n"
        "print('numpy' in sys.modules)\n"
        f"p = q.read_psf({str(path)!r})\n"
        "print(repr(p), [v.data for v in p.values])\n"
        "print('numpy' in sys.modules)\n",
        cwd=tmp_path)
    assert out.splitlines() == ["False", "<Psf sweeps=0 traces=0 values=2> [1.8, 'ok']", "False"]


def test_a_second_import_reuses_the_classes_and_builds_a_fresh_module(tmp_path):
    out = run_child(
        "import sys\n"
        "import quarn._quarn as first\n"
        "del sys.modules['quarn._quarn']\n"
        "import quarn._quarn as second\n"
        "print(first is not second, second.Psf is first.Psf, second.Value is first.Value)\n"
        "print(second.__all__)\n"
        "print(second.read_psf.__self__ is second, first.__all__ is not second.__all__)\n",
        cwd=tmp_path)
    assert out.splitlines() == [
        "True True True",
        "['__version__', 'Psf', 'Sweep', 'Trace', 'Value', 'read_psf']",
        "True True",
    ]


# ---------------------------------------------------------------------------
# Binding the argument

MISSING = "read_psf() missing 1 required positional argument: 'path'"
MULTIPLE = "read_psf() got multiple values for argument 'path'"


def too_many(n):
    return f"read_psf() takes 1 positional arguments but {n} were given"


def unexpected(name):
    return f"read_psf() got an unexpected keyword argument '{name}'"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, MISSING),
    (("a", "b"), {}, too_many(2)),
    (("a", "b", "c"), {}, too_many(3)),
    # the positional count is checked before any keyword
    (("a", "b"), {"bogus": 1}, too_many(2)),
    (("a", "b"), {"path": "c"}, too_many(2)),
    # a stray keyword is reported, not the missing path
    ((), {"file": "x"}, unexpected("file")),
    ((), {"Path": "x"}, unexpected("Path")),
    (("a",), {"path": "b"}, MULTIPLE),
    (("a",), {"bogus": 1}, unexpected("bogus")),
    # keywords are taken in the order given; the first bad one ends the call
    ((), {"path": "x", "bogus": 1}, unexpected("bogus")),
    ((), {"bogus": 1, "path": "x"}, unexpected("bogus")),
    ((), {"first": 1, "second": 2}, unexpected("first")),
    (("a",), {"path": "b", "bogus": 1}, MULTIPLE),
    (("a",), {"bogus": 1, "path": "b"}, unexpected("bogus")),
    # binding comes before the path is looked at
    ((3,), {"bogus": 1}, unexpected("bogus")),
    ((b"x", 3), {}, too_many(2)),
])
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        q.read_psf(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


# ---------------------------------------------------------------------------
# Converting the path


class PathLike:
    """An object with __fspath__ that returns, or raises, what it was given."""

    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class StrPath(str):
    pass


@pytest.mark.parametrize("form", ["str", "keyword", "pathlib", "pathlike", "str subclass",
                                  "pathlike giving a str subclass"])
def test_every_path_form_gives_the_same_result(path, form):
    if form == "str":
        p = q.read_psf(str(path))
    elif form == "keyword":
        p = q.read_psf(path=str(path))
    elif form == "pathlib":
        p = q.read_psf(pathlib.Path(path))
    elif form == "pathlike":
        p = q.read_psf(PathLike(str(path)))
    elif form == "str subclass":
        p = q.read_psf(StrPath(str(path)))
    else:
        p = q.read_psf(PathLike(StrPath(str(path))))
    assert summary(p) == EXPECTED


def test_path_is_encoded_with_the_file_system_encoding(tmp_path):
    # A byte that is not UTF-8 reaches the file name through surrogateescape.
    raw = os.fsencode(str(tmp_path)) + b"/op-\xff-\xc2\xb5.psf"
    with open(raw, "wb") as f:
        f.write(small_file().to_bytes())
    name = os.fsdecode(raw)
    assert "\udcff" in name and "\u00b5" in name
    assert summary(q.read_psf(name)) == EXPECTED


def local_bytes_subclass():
    class Raw(bytes):
        pass
    return Raw


@pytest.mark.parametrize("arg, message", [
    (b"op.psf", "argument 'path': 'bytes' object is not an instance of 'str'"),
    (PathLike(b"op.psf"), "argument 'path': 'bytes' object is not an instance of 'str'"),
    (bytearray(b"op.psf"), None),
    (3, None),
    (None, None),
    (3.5, None),
    (PathLike(3), None),
    (PathLike(None), None),
])
def test_path_of_a_wrong_type(arg, message):
    if message is None:
        # the interpreter's own message for what os.fspath refuses
        with pytest.raises(TypeError) as refused:
            os.fspath(arg)
        message = f"argument 'path': {refused.value}"
    with pytest.raises(TypeError) as info:
        q.read_psf(arg)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_int_path_message():
    with pytest.raises(TypeError, match=r"^argument 'path': expected str, bytes or "
                                        r"os\.PathLike object, not int$"):
        q.read_psf(3)


@pytest.mark.parametrize("wrap", [False, True], ids=["direct", "fspath"])
def test_bytes_subclass_is_named_by_its_qualname(wrap):
    raw_type = local_bytes_subclass()
    arg = raw_type(b"op.psf")
    with pytest.raises(TypeError) as info:
        q.read_psf(PathLike(arg) if wrap else arg)
    assert info.value.args == (
        "argument 'path': 'local_bytes_subclass.<locals>.Raw' object is not an instance of 'str'",)


def test_type_error_from_fspath_is_replaced_naming_the_argument():
    original = TypeError("not today")
    with pytest.raises(TypeError) as info:
        q.read_psf(PathLike(original))
    assert info.value is not original
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'path': not today",)
    assert info.value.__cause__ is None


def test_replaced_type_error_message_is_str_of_the_original():
    with pytest.raises(TypeError) as info:
        q.read_psf(PathLike(TypeError("a", 2)))
    assert info.value.args == ("argument 'path': ('a', 2)",)


def test_replaced_type_error_keeps_the_cause_of_the_original():
    root = ValueError("root")

    class Chained:
        def __fspath__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as info:
        q.read_psf(Chained())
    assert info.value.args == ("argument 'path': inner",)
    assert info.value.__cause__ is root


class FancyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [FancyTypeError("subclass"), KeyError("k"), OSError(5, "io"),
                                 ValueError("v"), KeyboardInterrupt()],
                         ids=lambda e: type(e).__name__)
def test_other_exceptions_from_fspath_pass_unchanged(exc):
    with pytest.raises(BaseException) as info:
        q.read_psf(PathLike(exc))
    assert info.value is exc


def test_unencodable_path_passes_the_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as expected:
        os.fsencode("op-\ud800.psf")
    with pytest.raises(UnicodeEncodeError) as info:
        q.read_psf("op-\ud800.psf")
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("arg", ["", PathLike("")], ids=["str", "pathlike"])
def test_empty_path_is_handed_to_the_opener(arg):
    with pytest.raises(OSError) as info:
        q.read_psf(arg)
    assert type(info.value) is OSError
    assert info.value.args == (
        f"cannot open : {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})",)
    assert info.value.errno is None


def test_path_with_nul_is_handed_to_the_opener():
    with pytest.raises(OSError) as info:
        q.read_psf("op\0.psf")
    assert type(info.value) is OSError
    assert info.value.args == (
        "cannot open op\0.psf: file name contained an unexpected NUL byte",)


def test_missing_file_names_the_path(tmp_path):
    missing = tmp_path / "nope.psf"
    with pytest.raises(OSError) as info:
        q.read_psf(missing)
    assert info.value.args == (
        f"cannot open {missing}: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})",)
