"""The result classes Psf, Sweep, Trace and Value: read-only records that only
read_psf makes, their properties, docstrings, reprs (with the quoting of
names) and their lifetime."""

import gc
import os
import subprocess
import sys
import weakref

import pytest

import quarn
import quarn._quarn as q
from psfwriter import Decl, Layout, PsfFile, Record, Tag, TypeDecl

CLASSES = [q.Psf, q.Sweep, q.Trace, q.Value]


def swept_file() -> PsfFile:
    """A sweep and two traces (real, complex), three points each."""
    return PsfFile(
        Layout.SIMPLE,
        header=[("analysis type", "ac"), ("points", 3)],
        types=[TypeDecl(1, "real", Tag.FLOAT64), TypeDecl(2, "cplx", Tag.COMPLEX)],
        sweeps=[Decl(10, "freq", 1)],
        traces=[Decl(20, "V(out)", 1), Decl(21, "I(in)", 2)],
        values=[rec for i in range(3) for rec in
                (Record(10, 10.0 ** i), Record(20, i + 0.5), Record(21, complex(i, -i)))],
    )


def values_file(names) -> PsfFile:
    """One Int32 value per name, the value being its position."""
    return PsfFile(
        Layout.NONSWEPT,
        header=[("analysis type", "dcOp")],
        types=[TypeDecl(1, "int", Tag.INT32)],
        values=[Decl(100 + i, n, 1, i) for i, n in enumerate(names)],
    )


@pytest.fixture
def swept(read):
    return read(swept_file())


@pytest.fixture
def dcop(read):
    f = PsfFile(
        Layout.NONSWEPT,
        header=[("analysis type", "dcOp")],
        types=[TypeDecl(1, "float", Tag.FLOAT64),
               TypeDecl(2, "op", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                              TypeDecl(0, "region", Tag.INT8)])],
        values=[Decl(100, "M1", 2, {"x": 1.5, "region": 2}), Decl(101, "vdd", 1, 1.8)],
    )
    return read(f)


def objects_of(swept, dcop):
    return {"Psf": swept, "Sweep": swept.sweeps[0], "Trace": swept.traces[0],
            "Value": dcop.values[0]}


# ---------------------------------------------------------------------------
# The types themselves


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_names(cls):
    name = {q.Psf: "Psf", q.Sweep: "Sweep", q.Trace: "Trace", q.Value: "Value"}[cls]
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("args, kwargs", [((), {}), (("name", 1), {}), ((), {"name": "x"})])
def test_classes_cannot_be_called(cls, args, kwargs):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"cannot create 'builtins.{cls.__name__}' instances",)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("make", [lambda c: c.__new__(c), lambda c: object.__new__(c)],
                         ids=["cls.__new__", "object.__new__"])
def test_no_empty_instance_can_be_made(cls, make):
    with pytest.raises(TypeError):
        make(cls)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


DOCS = {
    q.Psf: "A parsed psfbin file.",
    q.Sweep: "A swept independent axis (e.g. frequency). `data` is a `float64` numpy array.",
    q.Trace: ("A swept output trace. `data` is a numpy array: flat traces are `float64[N]`\n"
              "or `complex128[N]` (`dtype.names is None`); struct traces (noise) are a\n"
              "structured array of shape `(N,)` with one named float64 field per\n"
              "contribution (`dtype.names is not None`)."),
    q.Value: ("A non-swept result (a `dc` operating point). `data` is a Python scalar\n"
              "(`float`/`int`/`complex`/`str`) for a scalar value, or a `dict` of\n"
              "`{field: scalar}` for a struct-typed value (e.g. `dcOpInfo` per-device\n"
              "operating points, whose members mix `float64` with an `Int8` region field)."),
}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_docstrings(cls):
    assert cls.__doc__ == DOCS[cls]


PROPERTY_DOCS = [
    (q.Psf, "header", "The HEADER property list as a dict (string / int / float values)."),
    (q.Psf, "sweeps", "The sweep axes (empty for non-swept `dc`)."),
    (q.Psf, "traces", "The output traces (empty for non-swept `dc`)."),
    (q.Psf, "values", "The non-swept scalar values (empty for swept analyses)."),
    (q.Sweep, "name", ""),
    (q.Trace, "name", ""),
    (q.Value, "name", ""),
    (q.Sweep, "data", "The sweep samples as a numpy `float64[N]` array."),
    (q.Trace, "data", "The trace samples as a numpy array (`float64[N]` or `complex128[N]`)."),
    (q.Value, "data", "The value: a Python scalar, or a `dict` for a struct-typed value."),
]


@pytest.mark.parametrize("cls, name, doc", PROPERTY_DOCS,
                         ids=[f"{c.__name__}.{n}" for c, n, _ in PROPERTY_DOCS])
def test_property_docstrings(cls, name, doc):
    descriptor = vars(cls)[name]
    assert descriptor.__doc__ == doc


@pytest.mark.parametrize("cls, names", [
    (q.Psf, {"header", "sweeps", "traces", "values"}),
    (q.Sweep, {"name", "data"}), (q.Trace, {"name", "data"}), (q.Value, {"name", "data"}),
], ids=lambda x: getattr(x, "__name__", ""))
def test_the_properties_are_all_there_is(cls, names):
    own = {n for n in vars(cls) if not n.startswith("__")}
    assert own == names
    for n in names:
        assert type(vars(cls)[n]).__name__ == "getset_descriptor"


# ---------------------------------------------------------------------------
# Immutability and the absence of other behaviour

ATTRS = [("Psf", "header"), ("Psf", "sweeps"), ("Psf", "traces"), ("Psf", "values"),
         ("Sweep", "name"), ("Sweep", "data"), ("Trace", "name"), ("Trace", "data"),
         ("Value", "name"), ("Value", "data")]
NEW_ATTRS = [(kind, "extra") for kind in ("Psf", "Sweep", "Trace", "Value")]


@pytest.mark.parametrize("kind, attr", ATTRS + NEW_ATTRS, ids=[".".join(a) for a in ATTRS + NEW_ATTRS])
def test_attributes_cannot_be_set_or_deleted(swept, dcop, kind, attr):
    obj = objects_of(swept, dcop)[kind]
    before = getattr(obj, attr, None)
    with pytest.raises(AttributeError):
        setattr(obj, attr, "changed")
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    if before is not None:
        assert getattr(obj, attr) is before or getattr(obj, attr) == before


@pytest.mark.parametrize("kind", ["Psf", "Sweep", "Trace", "Value"])
def test_no_instance_dict_nor_weak_references(swept, dcop, kind):
    obj = objects_of(swept, dcop)[kind]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("kind", ["Psf", "Sweep", "Trace", "Value"])
def test_no_length_iteration_or_indexing(swept, dcop, kind):
    # Pickling and copying go through the package's reducers (test_pickle.py).
    obj = objects_of(swept, dcop)[kind]
    with pytest.raises(TypeError):
        len(obj)
    with pytest.raises(TypeError):
        iter(obj)
    with pytest.raises(TypeError):
        obj[0]


def test_equality_and_hash_are_by_identity(tmp_path):
    path = tmp_path / "swept.psf"
    path.write_bytes(swept_file().to_bytes())
    a, b = q.read_psf(path), q.read_psf(path)
    assert a == a and a != b
    assert a.sweeps[0] == a.sweeps[0] and a.sweeps[0] != b.sweeps[0]
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2


# ---------------------------------------------------------------------------
# What the properties return


@pytest.mark.parametrize("attr", ["sweeps", "traces", "values"])
def test_list_properties_return_a_new_list_each_time(swept, dcop, attr):
    for p in (swept, dcop):
        first, second = getattr(p, attr), getattr(p, attr)
        assert type(first) is list
        assert first is not second
        assert len(first) == len(second)
        assert all(x is y for x, y in zip(first, second))
        first.clear()
        third = getattr(p, attr)
        assert len(third) == len(second)
        assert all(x is y for x, y in zip(third, second))


def test_lists_hold_the_objects_in_order(swept, dcop):
    assert [type(s) for s in swept.sweeps] == [q.Sweep]
    assert [t.name for t in swept.traces] == ["V(out)", "I(in)"]
    assert [type(t) for t in swept.traces] == [q.Trace, q.Trace]
    assert swept.values == []
    assert dcop.sweeps == [] and dcop.traces == []
    assert [(type(v), v.name) for v in dcop.values] == [(q.Value, "M1"), (q.Value, "vdd")]


def test_header_is_the_same_dict_every_time(swept):
    h = swept.header
    assert type(h) is dict
    assert swept.header is h
    h["added"] = 1
    assert swept.header["added"] == 1
    assert list(swept.header) == ["analysis type", "points", "added"]


def test_data_is_the_same_object_every_time(swept, dcop):
    t = swept.traces[0]
    assert t.data is t.data
    assert swept.traces[0].data is t.data
    v = dcop.values[0]
    assert v.data is v.data
    v.data["added"] = True
    assert dcop.values[0].data["added"] is True


def test_writing_into_an_array_shows_in_later_reads(swept):
    swept.traces[0].data[1] = 42.0
    swept.sweeps[0].data[:] = -1.0
    assert swept.traces[0].data.tolist() == [0.5, 42.0, 2.5]
    assert swept.sweeps[0].data.tolist() == [-1.0, -1.0, -1.0]


def test_name_is_a_new_equal_string_on_every_read(swept, dcop):
    for obj in (swept.sweeps[0], swept.traces[0], dcop.values[1]):
        a, b = obj.name, obj.name
        assert type(a) is str
        assert a == b
        assert a is not b


def test_name_keeps_every_character(read):
    names = ["a\0b", "µΩ", "\U0001f600 x", ""]
    p = read(values_file(names))
    assert [v.name for v in p.values] == names


# ---------------------------------------------------------------------------
# repr


def test_psf_repr(swept, dcop):
    assert repr(swept) == "<Psf sweeps=1 traces=2 values=0>"
    assert repr(dcop) == "<Psf sweeps=0 traces=0 values=2>"
    assert str(swept) == repr(swept)


def test_psf_repr_of_a_dc_file_with_40_values(read):
    p = read(values_file([f"v{i}" for i in range(40)]))
    assert repr(p) == "<Psf sweeps=0 traces=0 values=40>"
    assert len(p.values) == 40


def test_repr_of_an_empty_file(read):
    assert repr(read(PsfFile(Layout.EMPTY))) == "<Psf sweeps=0 traces=0 values=0>"


def test_named_reprs_use_the_bare_class_name(swept, dcop):
    assert repr(swept.sweeps[0]) == '<Sweep name="freq">'
    assert repr(swept.traces[0]) == '<Trace name="V(out)">'
    assert repr(dcop.values[1]) == '<Value name="vdd">'


def test_named_reprs_quote_the_name(read):
    name = 'a"b\\c\nd'
    f = PsfFile(
        Layout.SIMPLE,
        types=[TypeDecl(1, "real", Tag.FLOAT64)],
        sweeps=[Decl(10, name, 1)],
        traces=[Decl(20, name, 1)],
        values=[Record(10, 1.0), Record(20, 2.0)],
    )
    p = read(f)
    quoted = r'"a\"b\\c\nd"'
    assert repr(p.sweeps[0]) == f"<Sweep name={quoted}>"
    assert repr(p.traces[0]) == f"<Trace name={quoted}>"
    v = read(values_file([name])).values[0]
    assert repr(v) == f"<Value name={quoted}>"


QUOTING = [
    # (name, what stands between the quotes)
    ("V(out)", "V(out)"),
    ('a"b', r'a\"b'),
    ("a\\b", r"a\\b"),
    ("a\0b", r"a\0b"),
    ("a\tb", r"a\tb"),
    ("a\rb", r"a\rb"),
    ("a\nb", r"a\nb"),
    ("a\x01b", r"a\u{1}b"),
    ("\x1b[0m", r"\u{1b}[0m"),
    ("\x7f", r"\u{7f}"),
    ("\x85", r"\u{85}"),  # Cc above ASCII
    ("soft\u00adhyphen", r"soft\u{ad}hyphen"),  # Cf
    ("\u200d", r"\u{200d}"),  # Cf
    ("\u200c", r"\u{200c}"),  # Cf, and Grapheme_Extend
    ("\U000e0001", r"\u{e0001}"),  # Cf, four bytes
    ("line\u2028sep", r"line\u{2028}sep"),  # Zl
    ("\u2029", r"\u{2029}"),  # Zp
    ("no\u00a0break", r"no\u{a0}break"),  # Zs other than the space
    ("\u3000", r"\u{3000}"),  # Zs
    ("e\u0301", r"e\u{301}"),  # Mn
    ("\u20dd", r"\u{20dd}"),  # Me
    ("\u09be", r"\u{9be}"),  # Mc with Grapheme_Extend
    ("\uff9e", r"\u{ff9e}"),  # Lm with Grapheme_Extend
    ("\U0001d165", r"\u{1d165}"),  # Mc with Grapheme_Extend, four bytes
    ("\ue000", r"\u{e000}"),  # Co
    ("\U0010ffff", r"\u{10ffff}"),  # Cn (noncharacter), highest code point
    ("\u0378", r"\u{378}"),  # Cn, unassigned
    ("\u0903", "\u0903"),  # Mc without Grapheme_Extend stays
    ("a b", "a b"),
    ("it's", "it's"),
    ("µΩ", "µΩ"),
    ("\u00e9t\u00e9", "\u00e9t\u00e9"),
    ("\U0001f600", "\U0001f600"),
    ("", ""),
    ('"\\\0\t\r\n\x01\u00ad µ\'', r'\"\\\0\t\r\n\u{1}\u{ad} µ' + "'"),
]


def test_value_reprs_quote_names_by_the_table(read):
    p = read(values_file([name for name, _ in QUOTING]))
    got = [repr(v) for v in p.values]
    want = [f'<Value name="{inner}">' for _, inner in QUOTING]
    assert got == want


@pytest.mark.parametrize("block", [
    "pass",
    "sys.modules['unicodedata'] = None",  # an interpreter built without unicodedata
    "import unicodedata; unicodedata.category = lambda c: 'Mn'",
], ids=["as-is", "unicodedata-missing", "unicodedata-replaced"])
def test_quoting_does_not_depend_on_python_level_modules(tmp_path, block):
    # reprs fail only for lack of memory; the character tables are the runtime's
    values = tmp_path / "v.psf"
    values.write_bytes(values_file(["\u00b5\u0301\u00a0x"]).to_bytes())
    dup = tmp_path / "dup.psf"
    dup.write_bytes(PsfFile(
        Layout.SIMPLE,
        types=[TypeDecl(1, "s", Tag.STRUCT, [TypeDecl(0, "\u00b5", Tag.FLOAT64)] * 2)],
        traces=[Decl(10, "noise", 1)]).to_bytes())
    code = f"""
import sys
{block}
import quarn._quarn as q
print(ascii(repr(q.read_psf({str(values)!r}).values[0])))
try:
    q.read_psf({str(dup)!r})
except ValueError as e:
    print(ascii(str(e)))
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(quarn.__path__[0])))
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        ascii('<Value name="\u00b5\\u{301}\\u{a0}x">'),
        ascii('struct field name "\u00b5" appears more than once; '
              'numpy structured arrays require unique field names'),
    ]


# ---------------------------------------------------------------------------
# Lifetime


def test_objects_outlive_their_psf(read):
    p = read(swept_file())
    sweep, trace = p.sweeps[0], p.traces[1]
    del p
    gc.collect()
    assert sweep.name == "freq"
    assert sweep.data.tolist() == [1.0, 10.0, 100.0]
    assert trace.name == "I(in)"
    assert trace.data.tolist() == [0j, 1 - 1j, 2 - 2j]
    assert repr(trace) == '<Trace name="I(in)">'


def test_value_and_header_outlive_their_psf(dcop):
    value, header = dcop.values[0], dcop.header
    del dcop
    gc.collect()
    assert value.data == {"x": 1.5, "region": 2}
    assert header == {"analysis type": "dcOp"}


class Sentinel:
    pass


@pytest.fixture
def no_automatic_gc():
    """Only the explicit gc.collect() of a test may break its cycles."""
    gc.collect()
    was = gc.isenabled()
    gc.disable()
    yield
    if was:
        gc.enable()


def test_cycle_through_the_header_is_collected(read, no_automatic_gc):
    p = read(swept_file())
    sentinel = Sentinel()
    gone = weakref.ref(sentinel)
    p.header["me"] = p
    p.header["sentinel"] = sentinel
    del p, sentinel
    assert gone() is not None  # only the cycle keeps it now
    gc.collect()
    assert gone() is None


def test_cycle_through_a_value_dict_is_collected(read, no_automatic_gc):
    value = read(PsfFile(
        Layout.NONSWEPT,
        types=[TypeDecl(2, "op", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64)])],
        values=[Decl(100, "M1", 2, [1.5])])).values[0]
    sentinel = Sentinel()
    gone = weakref.ref(sentinel)
    value.data["me"] = value
    value.data["sentinel"] = sentinel
    del value, sentinel
    assert gone() is not None
    gc.collect()
    assert gone() is None


def test_results_are_tracked_by_the_collector(swept, dcop):
    # the result holds Python containers, so the collector must see through it
    assert gc.is_tracked(swept)
    assert gc.is_tracked(dcop.values[0])
    assert dcop.header in gc.get_referents(dcop)
    sweep = swept.sweeps[0]
    assert any(r is sweep.data for r in gc.get_referents(sweep))
    assert set(map(id, dcop.values)) <= set(map(id, gc.get_referents(dcop)))
