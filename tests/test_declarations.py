"""Type declarations, data declarations and groups, the TRACE section, declaration ids."""

import numpy as np
import pytest

from psfwriter import (MAGIC, Decl, Group, Index, Layout, Mark, PsfFile, Raw, Record, Tag,
                       TraceSection, TypeDecl, Writer)

REAL, CPLX = 11, 12  # type ids of the base types


def words(*ws: int) -> bytes:
    w = Writer()
    for v in ws:
        w.u32(v)
    return w.to_bytes()


def make(types=(), sweeps=None, traces=None, values=None, layout=Layout.SIMPLE, **kw) -> PsfFile:
    base = [TypeDecl(REAL, "real", Tag.FLOAT64), TypeDecl(CPLX, "cplx", Tag.COMPLEX)]
    return PsfFile(layout, header=[("analysis type", "test")], types=base + list(types),
                   sweeps=sweeps, traces=traces, values=values, **kw)


def in_context(context: str, decls, types=()) -> PsfFile:
    """`decls` as the SWEEP, TRACE or non-swept VALUE declarations of a file,
    after a valid declaration "ok"."""
    if context == "value":
        return make(types, values=[Decl(1, "ok", REAL, 1.0), *decls], layout=Layout.NONSWEPT)
    return make(types, **{context + "s": [Decl(1, "ok", REAL), *decls]})


def names(items) -> list[str]:
    return [i.name for i in items]


# --- type declarations ----------------------------------------------------------


@pytest.mark.parametrize("leading, tag, bad", [
    (0, 4, 4), (0, 6, 6), (0, 10, 10), (0, 13, 13), (0, 15, 15), (0, 17, 17),
    (0, 0xFFFF_FFFF, 0xFFFF_FFFF), (4, 11, 4), (99, 16, 99), (4, 99, 4)])
def test_unknown_datatype_tag(error, leading, tag, bad):
    assert error(make([TypeDecl(5, "t", tag, leading=leading)])) == f"unknown datatype tag {bad}"


@pytest.mark.parametrize("leading", [0, 1, 2, 3, 5, 11, 12, 16])
def test_any_known_leading_tag_is_accepted(read, leading):
    psf = read(make([TypeDecl(5, "t", Tag.FLOAT64, leading=leading)], sweeps=[Decl(1, "s", 5)]))
    assert names(psf.sweeps) == ["s"]


def test_type_declaration_must_start_with_declaration_chunk(error):
    data, at = make([Mark("d"), TypeDecl(5, "t", Tag.FLOAT64, chunk=17)]).build()
    assert error(data) == f"expected chunk Declaration (16) at offset {at['d']}, got 17"


def test_type_name_longer_than_file(error):
    data, at = make([Mark("d"), Raw(words(16, 5, 0xFFFF_FFF0))]).build()
    assert error(data) == ("unexpected end of file: need 4294967280 bytes "
                           f"at offset {at['d'] + 12} (len {len(data)})")


def struct(name, *members, **kw):
    return TypeDecl(5, name, Tag.STRUCT, members, **kw)


def member(name, tag, **kw):
    return TypeDecl(0, name, tag, **kw)


NESTED = "struct '{}' has a nested struct member '{}' (nested structs are not supported)"
UNSUPPORTED = ("struct '{}' member '{}' has unsupported type "
               "(only flat scalar struct members are supported)")
ZERO = "struct '{}' has zero fields (empty structs unsupported)"


@pytest.mark.parametrize("decl, message", [
    (struct("empty"), ZERO.format("empty")),
    (struct("empty", props=[("p", 1)]), ZERO.format("empty")),
    (struct("outer", member("a", Tag.FLOAT64), struct("inner", member("x", Tag.FLOAT64))),
     NESTED.format("outer", "inner")),
    (struct("outer", member("n", Tag.NONE)), UNSUPPORTED.format("outer", "n")),
    (struct("outer", member("a", Tag.INT8), member("arr", Tag.ARRAY)),
     UNSUPPORTED.format("outer", "arr")),
    # A struct member is read whole before it is rejected: its own failure wins.
    (struct("outer", struct("inner")), ZERO.format("inner")),
    (struct("outer", struct("inner", member("n", Tag.NONE))), UNSUPPORTED.format("inner", "n")),
    (struct("outer", member("a", Tag.FLOAT64), member("b", 7)), "unknown datatype tag 7"),
], ids=["zero", "zero-with-props", "nested", "none-member", "array-member", "inner-zero",
        "inner-unsupported", "member-tag"])
def test_struct_declaration_failures(error, decl, message):
    assert error(make([decl])) == message


@pytest.mark.parametrize("struct_end", [0, 17])
def test_struct_without_end_word(error, struct_end):
    decl = struct("s", member("a", Tag.FLOAT64), Mark("end"), struct_end=struct_end)
    data, at = make([decl]).build()
    assert error(data) == f"expected chunk Declaration (16) at offset {at['end']}, got {struct_end}"


def test_types_none_and_array_are_accepted_until_used(read):
    types = [TypeDecl(20, "none", Tag.NONE), TypeDecl(21, "arr", Tag.ARRAY),
             struct("mixed", member("c", Tag.COMPLEX), member("s", Tag.STRING),
                    member("i", Tag.INT32), props=[("p", "q")])]
    assert read(make(types, sweeps=[Decl(1, "s", REAL)])).sweeps[0].name == "s"


@pytest.mark.parametrize("first, second, message", [
    (Tag.INT32, Tag.FLOAT64, None),
    (Tag.FLOAT64, Tag.INT32, "trace/sweep 's' has unsupported datatype Int32"),
])
def test_later_type_declaration_with_same_id_wins(read, error, first, second, message):
    f = make([TypeDecl(5, "a", first), TypeDecl(5, "b", second)], sweeps=[Decl(1, "s", 5)])
    if message is None:
        assert names(read(f).sweeps) == ["s"]
    else:
        assert error(f) == message


def test_struct_member_chain_a_million_deep(error):
    depth = 1_000_000
    head = Writer().u32(16).u32(0).string("s").u32(0).u32(Tag.STRUCT).to_bytes()
    chain = (head * (depth - 2)
             + Writer().u32(16).u32(0).string("p").u32(0).u32(Tag.STRUCT)
                       .u32(16).u32(0).string("q").u32(0).u32(Tag.STRUCT)
                       .u32(16).u32(0).string("x").u32(0).u32(Tag.FLOAT64).to_bytes()
             + words(18) * depth)
    assert error(make([Raw(chain)])) == NESTED.format("p", "q")


# --- data declarations ------------------------------------------------------------

CONTEXTS = ["sweep", "trace", "value"]


@pytest.mark.parametrize("context", CONTEXTS)
def test_declaration_with_wrong_chunk_word(error, context):
    bad = Raw(Writer().u32(19).u32(7).string("abcde").u32(REAL).to_bytes())
    data, at = in_context(context, [Mark("bad"), bad]).build()
    assert error(data) == ("expected DECLARATION (16) or GROUP_DECLARATION (17) "
                           f"at offset {at['bad']}, got 19")


@pytest.mark.parametrize("name, length, message", [
    (b"\xff", 1, "invalid UTF-8 in string at offset {}: "
                 "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"", 0xFFFF_FFFF, "unexpected end of file: need 4294967295 bytes at offset {} (len {})"),
])
def test_declaration_name_is_read_before_the_chunk_word_is_checked(error, name, length, message):
    bad = Raw(Writer().u32(19).u32(7).string(name, length=length).to_bytes())
    data, at = in_context("trace", [Mark("bad"), bad]).build()
    assert error(data) == message.format(at["bad"] + 12 + len(name), len(data))


@pytest.mark.parametrize("context", CONTEXTS)
def test_declaration_of_unknown_type(error, context):
    assert error(in_context(context, [Decl(7, "x", 99, Raw(b""))])) == \
        "declaration 7 references unknown type id 99"


@pytest.mark.parametrize("context", ["sweep", "trace"])
@pytest.mark.parametrize("tag, name", [(Tag.NONE, "None"), (Tag.INT8, "Int8"),
                                       (Tag.STRING, "String"), (Tag.ARRAY, "Array"),
                                       (Tag.INT32, "Int32")])
def test_swept_declaration_of_unsupported_type(error, context, tag, name):
    f = in_context(context, [Decl(3, "x", 5)], [TypeDecl(5, "t", tag)])
    assert error(f) == f"trace/sweep 'x' has unsupported datatype {name}"


@pytest.mark.parametrize("context", ["sweep", "trace"])
@pytest.mark.parametrize("tag, name", [(Tag.COMPLEX, "Complex"), (Tag.INT8, "Int8"),
                                       (Tag.STRING, "String"), (Tag.INT32, "Int32")])
def test_swept_struct_with_non_float_member(error, context, tag, name):
    t = struct("st", member("x", Tag.FLOAT64), member("y", tag), member("z", Tag.INT8))
    assert error(in_context(context, [Decl(3, "n", 5)], [t])) == (
        f"swept struct trace 'n' member 'y' has non-FLOAT64 type {name} (only flat float64 "
        "struct traces are supported; heterogeneous structs are supported as non-swept "
        "values only)")


def test_groups_are_flattened_in_file_order(read):
    def d(i):
        return Decl(i, f"t{i}", REAL, props=[("units", "V")])

    traces = [d(1), Group(90, "g", [d(2), Group(91, "inner", [d(3)], props=[("x", 1.5)]), d(4)]),
              Group(92, "none", [], props=[("p", "q")]), d(5),
              Group(93, "only", [Group(94, "empty", [])]), d(6)]
    psf = read(make(sweeps=[Group(80, "sg", [Decl(10, "s", REAL)])], traces=traces))
    assert names(psf.sweeps) == ["s"]
    assert names(psf.traces) == ["t1", "t2", "t3", "t4", "t5", "t6"]
    assert all(t.data.dtype == np.float64 and t.data.shape == (0,) for t in psf.traces)


def test_group_of_groups_a_million_deep(read):
    depth = 1_000_000
    level = Writer().u32(17).u32(0).string("").u32(1).to_bytes()
    traces = TraceSection([Raw(level * depth), Decl(2, "deep", REAL), Decl(3, "after", REAL)])
    psf = read(make(sweeps=[Decl(1, "s", REAL)], traces=traces,
                    values=[Record(1, 0.5), Record(2, 1.5), Record(3, 2.5)]))
    assert [(t.name, t.data.tolist()) for t in psf.traces] == [("deep", [1.5]), ("after", [2.5])]


def test_group_count_past_the_end_of_the_file(error):
    # The member after the last real one is read from the footer, whose last
    # word is taken as a name length of 8.
    f = make(sweeps=[Group(9, "g", [Decl(1, "s", REAL)], count=0xFFFF_FFFF)],
             footer=MAGIC + words(8))
    data = f.to_bytes()
    assert error(data) == \
        f"unexpected end of file: need 8 bytes at offset {len(data)} (len {len(data)})"


@pytest.mark.parametrize("sweeps, traces, dup", [
    ([Decl(5, "a", REAL), Decl(5, "b", REAL)], [], 5),
    ([Decl(1, "a", REAL)], [Decl(1, "t", REAL)], 1),
    ([Decl(1, "a", REAL)], [Decl(2, "t", REAL), Group(3, "g", [Decl(2, "u", CPLX)])], 2),
], ids=["two-sweeps", "sweep-and-trace", "two-traces"])
def test_repeated_declaration_id(error, sweeps, traces, dup):
    assert error(make(sweeps=sweeps, traces=traces)) == \
        f"internal: missing declaration {dup} during assembly"


# --- TRACE section ---------------------------------------------------------------------


def test_empty_trace_section(read):
    f = make(sweeps=[Decl(1, "s", REAL)], traces=TraceSection([]))
    data, at = f.build()
    assert at["trace.end"] == at["trace.index"] + 8  # sub-container empty, index count 0
    assert names(read(data).traces) == []


def test_trace_index_count_leaving_bytes_unconsumed(error):
    f = make(traces=TraceSection([Decl(1, "t", REAL)],
                                 index=Index([(1, bytes(12))], size=20, extra=bytes(4))))
    data, at = f.build()
    assert error(data) == (f"TRACE container end mismatch: at offset {at['trace.end'] - 4} "
                           f"but expected {at['trace.end']}")


def test_trace_kinds(read):
    t = struct("st", member("a", Tag.FLOAT64), member("b", Tag.FLOAT64))
    psf = read(make([t], sweeps=[Decl(1, "s", REAL)],
                    traces=[Decl(2, "r", REAL), Decl(3, "c", CPLX), Decl(4, "st", 5)]))
    assert [(x.name, x.data.dtype, x.data.shape) for x in psf.traces] == [
        ("r", np.dtype(np.float64), (0,)), ("c", np.dtype(np.complex128), (0,)),
        ("st", np.dtype([("a", "<f8"), ("b", "<f8")]), (0,))]
