"""The VALUE section's framing, the empty and non-swept layouts, and scalar values."""

import struct

import pytest

from psfwriter import (FOOTER, MAGIC, Decl, Group, Layout, Mark, PsfFile, Raw, Tag,
                       TypeDecl, ValueSection, Writer)


def nonswept(values, types=(), **section) -> PsfFile:
    return PsfFile(Layout.NONSWEPT, header=[("analysis type", "dcOp")], types=list(types),
                   values=ValueSection(values, **section))


def typed(tag, *members) -> TypeDecl:
    return TypeDecl(1, "t", tag, [TypeDecl(0, n, t) for n, t in members])


def f64(pattern: int) -> float:
    return struct.unpack(">d", struct.pack(">Q", pattern))[0]


# --- framing -------------------------------------------------------------------------


def test_empty_layout_smallest_value_section(read):
    data, at = PsfFile(Layout.EMPTY, values=[]).build()
    assert data[at["value"]:at["footer"]] == struct.pack(">4I", 4, 21, at["value"] + 16, 15)
    psf = read(data)
    assert (psf.sweeps, psf.traces, psf.values) == ([], [], [])


@pytest.mark.parametrize("body", [
    [Raw(b"\x00\x00\x00\x00")],
    [Decl(1, "v", 1, Raw(struct.pack(">d", 1.0)))],  # an Empty body reads nothing, not even this
    ValueSection([Decl(1, "v", 1, 1.0)], nonswept=True),
])
def test_empty_layout_with_content(error, body):
    f = PsfFile(Layout.EMPTY, types=[TypeDecl(1, "t", Tag.FLOAT64)], values=body)
    data, at = f.build()
    assert error(data) == (f"VALUE container end mismatch: at offset {at['value'] + 12} "
                           f"but expected {at['value.end']}")


def test_nonswept_without_values(read):
    data, at = nonswept([]).build()
    v = at["value"]
    assert data[v:at["footer"]] == struct.pack(">8I", 4, 21, v + 32, 22, v + 20, 19, 0, 15)
    assert read(data).values == []


# --- scalar values ---------------------------------------------------------------------

SCALARS = [
    (Tag.INT8, 0, 0), (Tag.INT8, 127, 127), (Tag.INT8, 128, 128), (Tag.INT8, 255, 255),
    (Tag.INT32, 0, 0), (Tag.INT32, 2**31, 2147483648), (Tag.INT32, 0xFFFF_FFFF, 4294967295),
    (Tag.FLOAT64, 1.5, 1.5), (Tag.FLOAT64, -0.0, -0.0), (Tag.FLOAT64, float("inf"), float("inf")),
    (Tag.FLOAT64, f64(0x7FF4_0000_0000_BEEF), f64(0x7FF4_0000_0000_BEEF)),
    (Tag.FLOAT64, f64(1), f64(1)),
    (Tag.COMPLEX, 0.5 - 1j, 0.5 - 1j),
    (Tag.COMPLEX, complex(-0.0, f64(0xFFF8_0000_0000_0001)),
     complex(-0.0, f64(0xFFF8_0000_0000_0001))),
    (Tag.STRING, "", ""), (Tag.STRING, "a", "a"), (Tag.STRING, "abcd", "abcd"),
    (Tag.STRING, "abcde", "abcde"), (Tag.STRING, "a\0b", "a\0b"),
    (Tag.STRING, "\u00fcn\u00efc\u00f6d\u00e9 \u2713 \U0001F600",
     "\u00fcn\u00efc\u00f6d\u00e9 \u2713 \U0001F600"),
]


@pytest.mark.parametrize("tag, written, want", SCALARS)
def test_scalar_value(read, same_value, tag, written, want):
    # A value after it shows that exactly the value's bytes were consumed.
    f = nonswept([Decl(1, "v", 1, written, props=[("p", 1)]), Decl(2, "next", 2, 7)],
                 [TypeDecl(1, "t", tag), TypeDecl(2, "i", Tag.INT32)])
    psf = read(f)
    assert [v.name for v in psf.values] == ["v", "next"]
    assert same_value(psf.values[0].data, want)
    assert psf.values[1].data == 7


@pytest.mark.parametrize("members, written, want", [
    # The Int8 region takes a whole word: y follows 4 bytes after it.
    ([("x", Tag.FLOAT64), ("region", Tag.INT8), ("y", Tag.FLOAT64)],
     {"x": 1.5, "region": 2, "y": -0.0}, {"x": 1.5, "region": 2, "y": -0.0}),
    ([("c", Tag.COMPLEX), ("s", Tag.STRING), ("n", Tag.INT32), ("b", Tag.INT8)],
     {"c": 1 + 2j, "s": "abcde", "n": 4294967295, "b": 255},
     {"c": 1 + 2j, "s": "abcde", "n": 4294967295, "b": 255}),
    ([("only", Tag.STRING)], {"only": ""}, {"only": ""}),
    # Repeated member names: the later value, at the first position.
    ([("x", Tag.FLOAT64), ("y", Tag.INT8), ("x", Tag.INT32)], [0.25, 1, 9], {"x": 9, "y": 1}),
])
def test_struct_value(read, same_value, members, written, want):
    psf = read(nonswept([Decl(1, "dev", 1, written), Decl(2, "after", 2, 3.0)],
                        [typed(Tag.STRUCT, *members), TypeDecl(2, "f", Tag.FLOAT64)]))
    assert [v.name for v in psf.values] == ["dev", "after"]
    assert same_value(psf.values[0].data, want)
    assert psf.values[1].data == 3.0


def test_values_keep_file_order_groups_and_repeated_names(read):
    d = [Decl(i, n, 1, float(i)) for i, n in enumerate(["a", "b", "a", "c", "d", "a"])]
    values = [d[0], Group(50, "g", [d[1], Group(51, "h", [d[2]], props=[("p", "x")]), d[3]]),
              Group(52, "empty", []), d[4], d[5]]
    psf = read(nonswept(values, [TypeDecl(1, "f", Tag.FLOAT64)]))
    assert [(v.name, v.data) for v in psf.values] == [
        ("a", 0.0), ("b", 1.0), ("a", 2.0), ("c", 3.0), ("d", 4.0), ("a", 5.0)]


@pytest.mark.parametrize("tag, message", [(Tag.NONE, "value has datatype NONE"),
                                          (Tag.ARRAY, "array-typed values are not supported")])
def test_value_of_refused_type(error, tag, message):
    f = nonswept([Decl(1, "ok", 2, 1.0), Decl(3, "v", 1, Raw(b""))],
                 [TypeDecl(1, "t", tag), TypeDecl(2, "f", Tag.FLOAT64)])
    assert error(f) == message


def test_invalid_utf8_in_string_value(error):
    f = nonswept([Decl(1, "s", 1, Raw(Writer().string(b"ab\xe2\x82").to_bytes())), Mark("end")],
                 [TypeDecl(1, "t", Tag.STRING)])
    data, at = f.build()
    assert error(data) == (f"invalid UTF-8 in string at offset {at['end']}: "
                           "incomplete utf-8 byte sequence from index 2")


def test_string_value_longer_than_file(error):
    f = nonswept([Decl(1, "s", 1, Raw(struct.pack(">I", 0x7FFF_FFFF))), Mark("bytes")],
                 [TypeDecl(1, "t", Tag.STRING)])
    data, at = f.build()
    assert error(data) == (f"unexpected end of file: need 2147483647 bytes at offset "
                           f"{at['bytes']} (len {len(data)})")


def ending_with(f: PsfFile, tail: bytes) -> bytes:
    """The bytes of `f` up to its mark "cut", then `tail`."""
    data, at = f.build()
    return data[:at["cut"]] + tail


def test_complex_value_cut_by_end_of_file(error):
    # The real part is the footer magic; 4 bytes are left for the imaginary part.
    f = nonswept([Decl(1, "z", 1, Raw(b"")), Mark("cut")], [TypeDecl(1, "c", Tag.COMPLEX)],
                 sub_end_word=0xFFFF_FFF0)
    data = ending_with(f, FOOTER)
    assert error(data) == \
        f"unexpected end of file: need 8 bytes at offset {len(data) - 4} (len {len(data)})"


def test_int8_padding_cut_by_end_of_file(error):
    # The last declaration is named "xClariss", its type id is "a" and three
    # bytes of the footer's tail, its Int8 value the last byte of the file.
    type_id = int.from_bytes(b"a\x00\x00\x01", "big")
    f = nonswept([Mark("cut")], [TypeDecl(type_id, "i8", Tag.INT8)], sub_end_word=0xFFFF_FFF0)
    head = Writer().u32(16).u32(1).u32(8).raw(b"x").to_bytes()
    data = ending_with(f, head + MAGIC + b"\x00\x00\x01\xff")
    assert data[-12:-4] == MAGIC
    assert error(data) == \
        f"unexpected end of file: skip 3 bytes at offset {len(data)} (len {len(data)})"
