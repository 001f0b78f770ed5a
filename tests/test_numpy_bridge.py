"""Parsed data as Python objects: sample series as NumPy arrays over the
reader's own buffers (real, complex and structured), the keeper that frees a
buffer when its last view is gone, non-swept values as Python scalars and
dicts, and what happens when NumPy is missing or broken (child interpreters
with a stand-in numpy package from fake_numpy/ first on their path)."""

import gc
import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import quarn
from psfwriter import SPECIAL, Decl, Layout, PsfFile, Record, Tag, TypeDecl

PACKAGE_ROOT = os.path.dirname(os.path.abspath(quarn.__path__[0]))
FAKE_NUMPY = pathlib.Path(__file__).resolve().parent / "fake_numpy"
CAPSULE_PREFIX = "Failed to access NumPy array API capsule: "
DUPLICATE = ("struct field name {} appears more than once; "
             "numpy structured arrays require unique field names")

T_REAL, T_CPLX = 1, 2


def struct_type(type_id, names):
    return TypeDecl(type_id, f"s{type_id}", Tag.STRUCT, [TypeDecl(0, n, Tag.FLOAT64) for n in names])


def traces_file(traces, points, sweep=None) -> PsfFile:
    """A simple-layout file. `traces` are (name, type, samples), type being
    T_REAL, T_CPLX or a list of struct member names; `points` of each trace
    (a float, a complex or a row of member floats) are written as records,
    point by point. `sweep` is an optional list of sweep samples."""
    types = [TypeDecl(T_REAL, "real", Tag.FLOAT64), TypeDecl(T_CPLX, "cplx", Tag.COMPLEX)]
    decls = []
    for k, (name, kind, _) in enumerate(traces):
        type_id = kind if isinstance(kind, int) else 100 + k
        if not isinstance(kind, int):
            types.append(struct_type(type_id, kind))
        decls.append(Decl(200 + k, name, type_id))
    records = []
    for i in range(points):
        if sweep is not None:
            records.append(Record(1, sweep[i]))
        records += [Record(200 + k, samples[i]) for k, (_, _, samples) in enumerate(traces)]
    return PsfFile(Layout.SIMPLE, types=types,
                   sweeps=[Decl(1, "sweep", T_REAL)] if sweep is not None else None,
                   traces=decls, values=records if records else None)


@pytest.fixture
def write(tmp_path):
    def write(f: PsfFile, name: str = "f.psf") -> pathlib.Path:
        path = tmp_path / name
        path.write_bytes(f.to_bytes())
        return path
    return write


def bits(a) -> list[int]:
    return np.ascontiguousarray(a).view(np.uint64).tolist()


def keeper_of(arr):
    """The object that owns the buffer under `arr` (as read, not a view of it)."""
    return arr.base if arr.dtype.names is None else arr.base.base


class Freed:
    """Counts how often the keeper of an array has been destroyed."""

    def __init__(self, arr):
        self.count = 0
        keeper = keeper_of(arr)
        weakref.finalize(keeper, self._hit)

    def _hit(self):
        self.count += 1


# ---------------------------------------------------------------------------
# Arrays


def test_real_series(read):
    p = read(traces_file([("v", T_REAL, [1.0, 2.0, 3.0])], 3, sweep=[0.1, 0.2, 0.3]))
    for arr, want in ((p.sweeps[0].data, [0.1, 0.2, 0.3]), (p.traces[0].data, [1.0, 2.0, 3.0])):
        assert type(arr) is np.ndarray
        assert arr.dtype == np.float64 and arr.dtype.num == 12
        assert arr.dtype.isnative and arr.dtype.names is None
        assert arr.shape == (3,) and arr.strides == (8,)
        assert arr.tolist() == want


def test_complex_series(read):
    arr = read(traces_file([("z", T_CPLX, [1 + 2j, 3 - 4j])], 2)).traces[0].data
    assert arr.dtype == np.complex128 and arr.dtype.num == 15 and arr.dtype.isnative
    assert arr.shape == (2,) and arr.strides == (16,)
    assert arr.tolist() == [1 + 2j, 3 - 4j]
    # real part at byte 0, imaginary part at byte 8
    assert arr.view(np.float64).tolist() == [1.0, 2.0, 3.0, -4.0]


def test_struct_series(read):
    arr = read(traces_file([("n", ["a", "b"], [[1, 2], [3, 4], [5, 6]])], 3)).traces[0].data
    assert arr.dtype == np.dtype([("a", "<f8"), ("b", "<f8")])
    assert arr.dtype.names == ("a", "b")
    assert arr.dtype.itemsize == 16
    assert [arr.dtype.fields[n][1] for n in arr.dtype.names] == [0, 8]
    assert arr.shape == (3,) and arr.strides == (16,)
    assert arr["a"].tolist() == [1.0, 3.0, 5.0]
    assert arr["b"].tolist() == [2.0, 4.0, 6.0]


def test_struct_series_with_one_member(read):
    arr = read(traces_file([("n", ["only"], [[1.5], [2.5]])], 2)).traces[0].data
    assert arr.dtype == np.dtype([("only", "<f8")])
    assert arr.shape == (2,)
    assert arr["only"].tolist() == [1.5, 2.5]


def test_struct_series_with_many_members(read):
    names = [f"m{k}" for k in range(7)]
    rows = np.arange(35, dtype=np.float64).reshape(5, 7)
    arr = read(traces_file([("n", names, rows)], 5)).traces[0].data
    assert arr.dtype.itemsize == 56
    assert [arr.dtype.fields[n][1] for n in names] == [8 * k for k in range(7)]
    assert np.array_equal(arr.view(np.float64).reshape(5, 7), rows)


def test_samples_are_handed_over_bit_for_bit(read):
    n = len(SPECIAL)
    rows = np.stack([SPECIAL, SPECIAL[::-1]], axis=1)
    cplx = rows.reshape(-1).view(np.complex128)  # built from the bits, no arithmetic
    p = read(traces_file([("r", T_REAL, SPECIAL), ("c", T_CPLX, cplx), ("s", ["x", "y"], rows)],
                         n, sweep=SPECIAL))
    assert bits(p.sweeps[0].data) == bits(SPECIAL)
    assert bits(p.traces[0].data) == bits(SPECIAL)
    assert bits(p.traces[1].data.view(np.float64)) == bits(cplx.view(np.float64))
    assert bits(p.traces[2].data.view(np.float64)) == bits(rows.reshape(-1))


KINDS = [("real", T_REAL, [1.0, 2.0]), ("complex", T_CPLX, [1j, 2 + 0j]),
         ("struct", ["a", "b"], [[1.0, 2.0], [3.0, 4.0]])]


@pytest.mark.parametrize("label, kind, samples", KINDS, ids=[k[0] for k in KINDS])
def test_arrays_do_not_own_their_data_and_are_writable(read, label, kind, samples):
    arr = read(traces_file([("t", kind, samples)], 2)).traces[0].data
    assert arr.ndim == 1
    assert not arr.flags.owndata
    assert arr.flags.writeable
    assert arr.flags.c_contiguous
    assert arr.flags.aligned
    keeper = keeper_of(arr)
    assert type(keeper).__name__ == "SampleKeeper"
    weakref.ref(keeper)  # the keeper supports weak references
    if label == "struct":
        flat = arr.base
        assert type(flat) is np.ndarray
        assert flat.dtype == np.float64 and flat.shape == (4,)
        assert flat.base is keeper
        assert not flat.flags.owndata and flat.flags.writeable
        assert np.shares_memory(arr, flat)
        assert flat.tolist() == [1.0, 2.0, 3.0, 4.0]
    else:
        assert arr.base is keeper


EMPTY = [("real", T_REAL, np.dtype(np.float64)), ("complex", T_CPLX, np.dtype(np.complex128)),
         ("struct", ["a", "b"], np.dtype([("a", "<f8"), ("b", "<f8")])),
         ("struct-1", ["a"], np.dtype([("a", "<f8")]))]


@pytest.mark.parametrize("label, kind, dtype", EMPTY, ids=[k[0] for k in EMPTY])
def test_empty_series_give_empty_arrays_of_the_right_dtype(read, label, kind, dtype):
    p = read(traces_file([("t", kind, [])], 0, sweep=[]))
    for arr in (p.sweeps[0].data, p.traces[0].data):
        assert arr.shape == (0,)
    arr = p.traces[0].data
    assert arr.dtype == dtype
    assert arr.flags.writeable and not arr.flags.owndata
    assert type(keeper_of(arr)).__name__ == "SampleKeeper"


def test_every_series_has_its_own_keeper(read):
    p = read(traces_file([("a", T_REAL, [1.0]), ("b", T_CPLX, [1j]), ("c", ["x"], [[2.0]])], 1,
                         sweep=[0.0]))
    keepers = [keeper_of(s.data) for s in p.sweeps + p.traces]
    assert len({id(k) for k in keepers}) == 4
    assert not any(np.shares_memory(x.data, y.data)
                   for i, x in enumerate(p.traces) for y in p.traces[i + 1:])


def test_writing_into_arrays(read):
    p = read(traces_file([("r", T_REAL, [1.0, 2.0]), ("s", ["a", "b"], [[1, 2], [3, 4]])], 2))
    real, rec = p.traces[0].data, p.traces[1].data
    real[0] = 7.0
    rec["b"][1] = -1.0
    rec[0] = (10.0, 20.0)
    assert p.traces[0].data.tolist() == [7.0, 2.0]
    assert p.traces[1].data.tolist() == [(10.0, 20.0), (3.0, -1.0)]
    assert rec.base.tolist() == [10.0, 20.0, 3.0, -1.0]


# ---------------------------------------------------------------------------
# Struct member names


@pytest.mark.parametrize("names, quoted", [
    (["a", "b", "a"], '"a"'),
    (["a", "a"], '"a"'),
    (["a", "b", "b", "a"], '"b"'),  # the first later name that repeats an earlier one
    (["x\ny", "q", "x\ny"], r'"x\ny"'),
    (['say "hi"', 'say "hi"'], r'"say \"hi\""'),
    (["", ""], '""'),
    (["µ", "µ"], '"µ"'),
], ids=["aba", "aa", "abba", "newline", "quote", "empty", "micro"])
def test_repeated_struct_member_names(read, names, quoted):
    rows = [[float(k) for k in range(len(names))]]
    with pytest.raises(ValueError) as info:
        read(traces_file([("ok", T_REAL, [1.0]), ("n", names, rows)], 1, sweep=[0.0]))
    assert type(info.value) is ValueError
    assert info.value.args == (DUPLICATE.format(quoted),)


def test_member_names_are_compared_byte_for_byte(read):
    names = ["\u00e9", "e\u0301", "E"]  # canonically equivalent, but different bytes
    arr = read(traces_file([("n", names, [[1, 2, 3]])], 1)).traces[0].data
    assert arr.dtype.names == tuple(names)


@pytest.mark.parametrize("names", [[""], ["a\0b", "c"], ["f1", "x"], [" ", "\t"]],
                         ids=["empty", "nul", "f1", "blanks"])
def test_member_names_go_to_numpy_unchanged(read, names):
    arr = read(traces_file([("n", names, [[1.0] * len(names)])], 1)).traces[0].data
    want = np.dtype([(n, "<f8") for n in names])
    assert arr.dtype == want
    assert arr.dtype.names == want.names


def test_numpy_refusing_member_names_passes_its_exception_unchanged(read):
    # NumPy names an empty field f<position>, which here repeats the first name.
    names = ["f1", ""]
    with pytest.raises(Exception) as refused:
        np.dtype([(n, "<f8") for n in names])
    with pytest.raises(Exception) as info:
        read(traces_file([("n", names, [[1.0, 2.0]])], 1))
    assert type(info.value) is type(refused.value)
    assert info.value.args == refused.value.args


# ---------------------------------------------------------------------------
# Lifetime of the buffers


def live_counts(keeper_type):
    """Every live keeper, Sweep and Trace holds a reference to its class."""
    return [sys.getrefcount(t) for t in (keeper_type, quarn.Sweep, quarn.Trace)]


@pytest.mark.parametrize("names", [["a", "a"], ["f1", ""]], ids=["repeated", "numpy-refuses"])
def test_a_failed_conversion_leaves_nothing_behind(read, names):
    ok = traces_file([("v", T_REAL, [1.0])], 1, sweep=[0.0])
    bad = traces_file([("v", T_REAL, [1.0]), ("s", names, [[1.0, 2.0]])], 1, sweep=[0.0])
    keeper_type = type(read(ok).sweeps[0].data.base)
    gc.collect()
    before = live_counts(keeper_type)
    for _ in range(3):
        with pytest.raises(ValueError):
            read(bad)
    gc.collect()
    assert live_counts(keeper_type) == before
    p = read(ok)  # the measure itself works: two keepers, a Sweep and a Trace
    assert live_counts(keeper_type) == [before[0] + 2, before[1] + 1, before[2] + 1]
    del p
    assert live_counts(keeper_type) == before


def test_array_outlives_its_trace_and_psf(read):
    p = read(traces_file([("r", T_REAL, [1.0, 2.0]), ("s", ["a", "b"], [[1, 2], [3, 4]])], 2))
    real, rec = p.traces[0].data, p.traces[1].data
    freed = [Freed(real), Freed(rec)]
    del p
    gc.collect()
    assert [f.count for f in freed] == [0, 0]
    assert real.tolist() == [1.0, 2.0]
    assert rec.tolist() == [(1.0, 2.0), (3.0, 4.0)]
    del real
    assert [f.count for f in freed] == [1, 0]
    del rec
    assert [f.count for f in freed] == [1, 1]
    gc.collect()
    assert [f.count for f in freed] == [1, 1]


def test_buffer_is_freed_when_the_trace_goes_after_its_psf(read):
    p = read(traces_file([("r", T_REAL, [1.0])], 1))
    trace = p.traces[0]
    freed = Freed(trace.data)
    del p
    gc.collect()
    assert freed.count == 0
    assert trace.data.tolist() == [1.0]
    del trace
    assert freed.count == 1


def test_buffer_is_freed_with_the_psf_when_nothing_else_holds_it(read):
    p = read(traces_file([("r", T_REAL, [1.0]), ("c", T_CPLX, [1j])], 1, sweep=[0.0]))
    freed = [Freed(s.data) for s in p.sweeps + p.traces]
    assert [f.count for f in freed] == [0, 0, 0]
    del p
    assert [f.count for f in freed] == [1, 1, 1]


def test_slices_keep_the_buffer(read):
    p = read(traces_file([("r", T_REAL, [0.0, 1.0, 2.0, 3.0])], 4))
    arr = p.traces[0].data
    freed = Freed(arr)
    tail = arr[1:][::2]
    del p, arr
    gc.collect()
    assert freed.count == 0
    assert tail.tolist() == [1.0, 3.0]
    del tail
    assert freed.count == 1


def test_views_of_a_struct_array_keep_the_buffer(read):
    p = read(traces_file([("s", ["a", "b"], [[1, 2], [3, 4], [5, 6]])], 3))
    arr = p.traces[0].data
    freed = Freed(arr)
    field = arr["b"]
    field_tail = field[1:]
    flat = arr.view(np.float64)
    del p, arr, field
    gc.collect()
    assert freed.count == 0
    assert field_tail.tolist() == [4.0, 6.0]
    assert flat.tolist() == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    del field_tail
    assert freed.count == 0
    del flat
    assert freed.count == 1


def test_the_flat_array_alone_keeps_the_buffer(read):
    p = read(traces_file([("s", ["a", "b"], [[1, 2], [3, 4]])], 2))
    arr = p.traces[0].data
    freed = Freed(arr)
    flat = arr.base
    del p, arr
    gc.collect()
    assert freed.count == 0
    assert flat.tolist() == [1.0, 2.0, 3.0, 4.0]
    del flat
    assert freed.count == 1


def test_a_copy_does_not_keep_the_buffer(read):
    p = read(traces_file([("c", T_CPLX, [1 + 1j, 2 - 2j])], 2))
    arr = p.traces[0].data
    freed = Freed(arr)
    copy = arr.copy()
    del p, arr
    assert freed.count == 1
    assert copy.tolist() == [1 + 1j, 2 - 2j]


def test_empty_array_keeper_is_freed_too(read):
    p = read(traces_file([("s", ["a"], [])], 0))
    freed = Freed(p.traces[0].data)
    del p
    assert freed.count == 1


# ---------------------------------------------------------------------------
# Non-swept values

SCALAR_TYPES = [TypeDecl(1, "i8", Tag.INT8), TypeDecl(2, "i32", Tag.INT32),
                TypeDecl(3, "f64", Tag.FLOAT64), TypeDecl(4, "cplx", Tag.COMPLEX),
                TypeDecl(5, "str", Tag.STRING)]


def values_file(decls, types=()) -> PsfFile:
    return PsfFile(Layout.NONSWEPT, types=SCALAR_TYPES + list(types), values=decls)


NAN_PAYLOAD = struct.unpack(">d", bytes.fromhex("7ff80000deadbeef"))[0]

SCALARS = [
    ("int8-0", 1, 0, int),
    ("int8-255", 1, 255, int),
    ("int8-128", 1, 128, int),
    ("int32-0", 2, 0, int),
    ("int32-2^31", 2, 2 ** 31, int),
    ("int32-max", 2, 4294967295, int),
    ("float", 3, 1.5, float),
    ("float-neg-zero", 3, -0.0, float),
    ("float-inf", 3, float("-inf"), float),
    ("float-nan-payload", 3, NAN_PAYLOAD, float),
    ("float-subnormal", 3, 5e-324, float),
    ("complex", 4, complex(0.5, -1.0), complex),
    ("complex-zeros", 4, complex(-0.0, -0.0), complex),
    ("str", 5, "converged \u2713", str),
    ("str-nul", 5, "a\0b\0", str),
    ("str-empty", 5, "", str),
]


def same(a, b) -> bool:
    """Equal, and bit for bit where floats are involved."""
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, complex):
        return same(a.real, b.real) and same(a.imag, b.imag)
    return a == b


def test_scalar_values(read):
    p = read(values_file([Decl(100 + k, name, t, v) for k, (name, t, v, _) in enumerate(SCALARS)]))
    got = [(v.name, v.data) for v in p.values]
    assert [name for name, _ in got] == [s[0] for s in SCALARS]
    for (name, data), (_, _, want, kind) in zip(got, SCALARS):
        assert type(data) is kind, name
        assert same(data, want), (name, data, want)


def test_struct_value_becomes_a_dict_in_member_order(read):
    op = TypeDecl(10, "op", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                         TypeDecl(0, "region", Tag.INT8)])
    data = read(values_file([Decl(100, "M1", 10, {"x": 1.5, "region": 2})], [op])).values[0].data
    assert type(data) is dict
    assert list(data.items()) == [("x", 1.5), ("region", 2)]
    assert type(data["x"]) is float and type(data["region"]) is int


def test_struct_value_of_every_member_type(read):
    members = [("i8", Tag.INT8, 255), ("i32", Tag.INT32, 4294967295), ("f", Tag.FLOAT64, -0.0),
               ("z", Tag.COMPLEX, complex(1, -2)), ("s", Tag.STRING, "a\0b"),
               ("", Tag.FLOAT64, 3.0)]
    t = TypeDecl(10, "mixed", Tag.STRUCT, [TypeDecl(0, n, tag) for n, tag, _ in members])
    data = read(values_file([Decl(100, "mixed", 10, [v for _, _, v in members])], [t])).values[0].data
    assert list(data) == [n for n, _, _ in members]
    for n, _, v in members:
        assert type(data[n]) is type(v) and same(data[n], v), n


def test_struct_value_with_repeated_member_names_keeps_the_later_value_first(read):
    t = TypeDecl(10, "dup", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                         TypeDecl(0, "y", Tag.INT8),
                                         TypeDecl(0, "x", Tag.STRING)])
    data = read(values_file([Decl(100, "d", 10, [1.0, 7, "later"])], [t])).values[0].data
    assert list(data.items()) == [("x", "later"), ("y", 7)]


def test_values_are_fresh_objects_per_value(read):
    t = TypeDecl(10, "op", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64)])
    p = read(values_file([Decl(100, "a", 10, [1.0]), Decl(101, "b", 10, [1.0])], [t]))
    a, b = (v.data for v in p.values)
    assert a == b and a is not b


# ---------------------------------------------------------------------------
# Child interpreters: NumPy missing, broken or already reached

CHILD_PRELUDE = """
import json, sys
import quarn._quarn as q

def attempt(path):
    # What one read gives: the result, an ordinary exception, or an exception
    # that slips past `except Exception`.
    try:
        try:
            p = q.read_psf(path)
        except Exception as e:
            return {"exception": type(e).__name__, "message": str(e)}
        return {"repr": repr(p), "values": [repr(v.data) for v in p.values],
                "arrays": [s.data.tolist() for s in p.sweeps + p.traces]}
    except BaseException as e:
        return {"escaped": type(e).__name__,
                "direct_base": type(e).__bases__ == (BaseException,),
                "message": str(e)}
"""


def run_child(code: str, *args, fake: str | None, cwd) -> dict:
    """Runs `code` after the prelude in a new interpreter; `fake` names a
    stand-in numpy folder put first on its path. The child prints one JSON
    object as its last line."""
    path = ([str(FAKE_NUMPY / fake)] if fake else []) + [PACKAGE_ROOT]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code), *map(str, args)],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def assert_internal_error(outcome: dict) -> None:
    assert "escaped" in outcome, outcome
    assert outcome["direct_base"] is True
    assert outcome["message"].startswith(CAPSULE_PREFIX)
    assert len(outcome["message"]) > len(CAPSULE_PREFIX)  # a description follows


@pytest.fixture
def files(write):
    """Paths of: a non-swept file, a swept file, a file whose only trace is
    empty, and a trace-only file whose struct members repeat."""
    op = TypeDecl(10, "op", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                         TypeDecl(0, "region", Tag.INT8)])
    return {
        "nonswept": write(values_file([Decl(100, "M1", 10, {"x": 1.5, "region": 2}),
                                       Decl(101, "vdd", 3, 1.8), Decl(102, "s", 5, "ok")],
                                      [op]), "op.psf"),
        "swept": write(traces_file([("v", T_REAL, [1.0, 2.0])], 2, sweep=[0.0, 1.0]), "sw.psf"),
        "empty": write(traces_file([("v", T_REAL, [])], 0), "empty.psf"),
        "duplicate": write(traces_file([("n", ["a", "a"], [[1.0, 2.0]])], 1), "dup.psf"),
        "struct": write(traces_file([("n", ["a", "b"], [[1.0, 2.0]])], 1), "struct.psf"),
    }


def test_without_numpy(files, tmp_path):
    out = run_child("""
        try:
            import numpy
            numpy_missing = False
        except ImportError:
            numpy_missing = True
        results = {name: attempt(path) for name, path in zip(
            ["nonswept", "swept", "empty", "duplicate", "nonswept-again"], sys.argv[1:])}
        results["numpy_missing"] = numpy_missing
        print(json.dumps(results))
        """, files["nonswept"], files["swept"], files["empty"], files["duplicate"],
        files["nonswept"], fake="absent", cwd=tmp_path)
    assert out["numpy_missing"] is True
    whole = {"repr": "<Psf sweeps=0 traces=0 values=3>",
             "values": ["{'x': 1.5, 'region': 2}", "1.8", "'ok'"], "arrays": []}
    assert out["nonswept"] == whole
    assert out["nonswept-again"] == whole
    assert_internal_error(out["swept"])
    assert_internal_error(out["empty"])
    # repeated member names are refused before NumPy is needed
    assert out["duplicate"] == {"exception": "ValueError", "message": DUPLICATE.format('"a"')}


@pytest.mark.parametrize("version, core", [
    ("2.0.0", "numpy._core.multiarray"),
    ("2.3.1", "numpy._core.multiarray"),
    ("3.0.0", "numpy._core.multiarray"),
    ("255.0.0", "numpy._core.multiarray"),
    ("1.26.4", "numpy.core.multiarray"),
    ("1.21.0", "numpy.core.multiarray"),
    ("0.9.8", "numpy.core.multiarray"),
])
def test_core_module_follows_the_major_version(files, tmp_path, version, core):
    out = run_child(f"""
        import numpy
        numpy.__version__ = {version!r}
        outcome = attempt(sys.argv[1])
        print(json.dumps({{"outcome": outcome, "imported": numpy.imported,
                          "stub": numpy.__file__.startswith({str(FAKE_NUMPY)!r})}}))
        """, files["swept"], fake="stub", cwd=tmp_path)
    assert out["stub"] is True
    assert out["imported"] == [core]
    assert_internal_error(out["outcome"])


@pytest.mark.parametrize("major", ["256", "-1", "2 ** 64", "'2'", "2.0", "None"])
def test_major_version_outside_0_to_255_or_not_an_integer(files, tmp_path, major):
    out = run_child(f"""
        import types
        import numpy, numpy.lib
        numpy.lib.NumpyVersion = lambda v: types.SimpleNamespace(major={major})
        outcome = attempt(sys.argv[1])
        print(json.dumps({{"outcome": outcome, "imported": numpy.imported}}))
        """, files["swept"], fake="stub", cwd=tmp_path)
    assert out["imported"] == []
    assert_internal_error(out["outcome"])


@pytest.mark.parametrize("setup", [
    "numpy._core.multiarray._ARRAY_API = 'not a capsule'",
    "numpy._core.multiarray._ARRAY_API = None",
    "del numpy.__version__",
    "numpy.lib.NumpyVersion = None",
    "del numpy.lib.NumpyVersion",
], ids=["str", "none", "no-version", "version-not-callable", "no-numpyversion"])
def test_broken_numpy_gives_the_internal_error(files, tmp_path, setup):
    out = run_child(f"""
        import numpy, numpy.lib, numpy._core.multiarray
        {setup}
        print(json.dumps({{"swept": attempt(sys.argv[1]), "nonswept": attempt(sys.argv[2])}}))
        """, files["swept"], files["nonswept"], fake="stub", cwd=tmp_path)
    assert_internal_error(out["swept"])
    assert out["nonswept"]["repr"] == "<Psf sweeps=0 traces=0 values=3>"


SABOTAGE = """
import types
# From here on NumPy's version and core modules can no longer be looked up.
sys.modules["numpy.lib"] = types.ModuleType("numpy.lib")
for name in ("numpy._core.multiarray", "numpy.core.multiarray"):
    sys.modules[name] = types.ModuleType(name)
"""


def test_the_api_table_is_looked_up_once_per_process(files, tmp_path):
    out = run_child(f"""
        first = attempt(sys.argv[1])
        {textwrap.indent(SABOTAGE, ' ' * 8).strip()}
        second = attempt(sys.argv[1])
        struct = attempt(sys.argv[2])
        print(json.dumps({{"first": first, "second": second, "struct": struct}}))
        """, files["swept"], files["struct"], fake=None, cwd=tmp_path)
    swept = {"repr": "<Psf sweeps=1 traces=1 values=0>", "values": [],
             "arrays": [[0.0, 1.0], [1.0, 2.0]]}
    assert out["first"] == swept
    assert out["second"] == swept
    assert out["struct"]["arrays"] == [[[1.0, 2.0]]]


def test_the_sabotage_above_breaks_a_first_lookup(files, tmp_path):
    out = run_child(f"""
        import numpy
        {textwrap.indent(SABOTAGE, ' ' * 8).strip()}
        print(json.dumps(attempt(sys.argv[1])))
        """, files["swept"], fake=None, cwd=tmp_path)
    assert_internal_error(out)


def test_the_real_numpy_is_reached_in_a_fresh_interpreter(files, tmp_path):
    out = run_child("""
        import numpy
        r = attempt(sys.argv[1])
        r["struct"] = attempt(sys.argv[2])
        print(json.dumps(r))
        """, files["swept"], files["struct"], fake=None, cwd=tmp_path)
    assert out["arrays"] == [[0.0, 1.0], [1.0, 2.0]]
    assert out["struct"]["arrays"] == [[[1.0, 2.0]]]


@pytest.mark.parametrize("interrupt", ["KeyboardInterrupt", "SystemExit"])
def test_an_interrupt_while_numpy_loads_propagates_and_a_later_read_retries(files, tmp_path, interrupt):
    out = run_child(f"""
        import numpy, numpy.lib
        real = numpy.lib.NumpyVersion
        def interrupted(version):
            raise {interrupt}()
        numpy.lib.NumpyVersion = interrupted
        first = attempt(sys.argv[1])
        numpy.lib.NumpyVersion = real
        print(json.dumps({{"first": first, "second": attempt(sys.argv[1])}}))
        """, files["swept"], fake=None, cwd=tmp_path)
    assert out["first"] == {"escaped": interrupt, "direct_base": True, "message": ""}
    assert out["second"]["arrays"] == [[0.0, 1.0], [1.0, 2.0]]
