"""Opening the file, footer, first word, HEADER, section framing and the section walk."""

import dataclasses
import os
import re

import pytest

import quarn
import quarn._quarn
from psfwriter import (FOOTER, MAGIC, Decl, Index, Layout, PsfFile, Raw, SweepSection,
                       Tag, TraceSection, TypeDecl, TypeSection, ValueSection, Writer,
                       patch_u32)

SMALLEST = bytes.fromhex("00000000" "00000015" "00000010") + MAGIC + b"\x00\x00\x00\x00"


def words(*ws: int) -> bytes:
    w = Writer()
    for v in ws:
        w.u32(v)
    return w.to_bytes()


# --- opening -------------------------------------------------------------------


# The native module raises plain OSError; the package its subclasses (test_errors.py).


def test_missing_file(tmp_path):
    path = tmp_path / "missing.psfbin"
    with pytest.raises(OSError) as e:
        quarn._quarn.read_psf(str(path))
    assert type(e.value) is OSError
    assert e.value.args == (f"cannot open {path}: No such file or directory (os error 2)",)
    assert e.value.errno is None and e.value.strerror is None


def test_path_that_is_not_utf8_is_shown_with_replacement_characters(tmp_path):
    path = os.path.join(str(tmp_path), "r\udcffsult.psfbin")  # the byte FF in the file name
    with pytest.raises(OSError) as e:
        quarn.read_psf(path)
    assert str(e.value) == (f"cannot open {tmp_path}/r\ufffdsult.psfbin: "
                            "No such file or directory (os error 2)")


def test_nul_byte_in_path(tmp_path):
    path = f"{tmp_path}/a\0b.psfbin"
    with pytest.raises(OSError) as e:
        quarn.read_psf(path)
    assert str(e.value) == f"cannot open {path}: file name contained an unexpected NUL byte"


def test_directory_cannot_be_mapped(tmp_path):
    with pytest.raises(OSError) as e:
        quarn._quarn.read_psf(str(tmp_path))
    assert type(e.value) is OSError
    assert re.fullmatch(rf"cannot mmap {re.escape(str(tmp_path))}: \S.* \(os error [1-9]\d*\)",
                        str(e.value))


def test_failed_reads_leave_no_descriptor_open(tmp_path):
    bad = tmp_path / "bad.psfbin"
    bad.write_bytes(words(0, 21, 3) + FOOTER)
    paths = [str(bad), str(tmp_path / "missing"), str(tmp_path)]

    def fds():
        return len(os.listdir("/proc/self/fd"))

    before = fds()
    for i in range(1000):
        with pytest.raises((OSError, ValueError)):
            quarn.read_psf(paths[i % 3])
    assert fds() == before


# --- size, footer, first word ---------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, 11])
def test_file_too_small(error, size):
    assert error(SMALLEST[:size]) == f"file too small to be psfbin ({size} bytes)"


@pytest.mark.parametrize("data", [
    SMALLEST[:-12] + b"\x00\x00\x00\x00" + MAGIC,  # magic at size - 8
    SMALLEST[:-12] + b"clarissa\x00\x00\x00\x00",
    SMALLEST[:-12] + b"Clarisa\x00\x00\x00\x00\x00",
    SMALLEST[:-1],
    bytes(4096),
], ids=["magic-at-size-8", "lowercase", "misspelt", "tail-cut", "zeros"])
def test_footer_magic_missing(error, data):
    assert error(data) == "footer magic 'Clarissa' not found (not a psfbin file?)"


def test_twelve_bytes_footer_only(error):
    # The magic is at offset 0, so the first word is "Clar".
    assert error(FOOTER) == "unknown value_section_type 1131176306"


@pytest.mark.parametrize("word", [1, 256, 511, 513, 768, 1025, 1279, 1536, 0x0500_0000,
                                  0xFFFF_FFFF])
def test_unknown_value_section_type(error, word):
    assert error(patch_u32(SMALLEST, 0, word)) == f"unknown value_section_type {word}"


def test_first_word_is_checked_before_the_header(error):
    assert error(words(7, 99, 99) + FOOTER) == "unknown value_section_type 7"


def test_smallest_file(read):
    assert PsfFile().to_bytes() == SMALLEST
    psf = read(SMALLEST)
    assert repr(psf) == "<Psf sweeps=0 traces=0 values=0>"
    assert psf.header == {} and psf.sweeps == [] and psf.traces == [] and psf.values == []


@pytest.mark.parametrize("layout", list(Layout))
def test_every_layout_reads_a_header_only_file(read, layout):
    psf = read(PsfFile(layout, header=[("a", 1)]))
    assert psf.header == {"a": 1}
    assert (psf.sweeps, psf.traces, psf.values) == ([], [], [])


# --- HEADER ---------------------------------------------------------------------


@pytest.mark.parametrize("build, message", [
    (lambda: PsfFile(header_container=22), "expected chunk Container (21) at offset 4, got 22"),
    (lambda: PsfFile(header_end_word=3), "invalid CONTAINER size 3"),
    (lambda: PsfFile(header_end_word=0), "invalid CONTAINER size 0"),
    (lambda: PsfFile(header_end_word=4),
     "HEADER container end mismatch: at offset 12 but expected 0"),
    (lambda: PsfFile(header=[("a", 1)], header_end_word=lambda v: v + 4),
     "HEADER container end mismatch: at offset 28 but expected 32"),
    (lambda: PsfFile(header=[("a", 1)], header_end_word=lambda v: v - 4),
     "HEADER container end mismatch: at offset 28 but expected 24"),
    # The word 16 ends the property list but not the HEADER container.
    (lambda: PsfFile(header=[("a", "b"), Raw(words(16))]),
     "HEADER container end mismatch: at offset 32 but expected 36"),
], ids=["container-word", "end-3", "end-0", "end-4", "end-too-far", "end-too-near", "non-property"])
def test_header_framing(error, build, message):
    assert error(build()) == message


def test_header_values(read, same_value):
    header = [("str", "ab c"), ("empty", ""), ("int", 7), ("max", 0xFFFF_FFFF), ("zero", 0),
              ("one", 1.0), ("neg0", -0.0), ("inf", float("-inf")), ("a\0b", "x\0y"),
              ("", "unnamed"), ("temp\u00e9rature \u2103", "\U0001F600")]
    psf = read(PsfFile(header=header))
    assert list(psf.header) == [k for k, _ in header]
    for k, v in header:
        assert same_value(psf.header[k], v), k


def test_header_float_bits(read, bits):
    w = Writer().u32(0).u32(21).u32(0)
    w.u32(35).string("one").u64(0x3FF0_0000_0000_0000)
    w.u32(35).string("nan").u64(0x7FF4_0000_0000_0ABC)
    data = patch_u32(w.to_bytes(), 8, w.pos + 4) + FOOTER
    header = read(data).header
    assert header["one"] == 1.0
    assert bits([header["nan"]])[0] == 0x7FF4_0000_0000_0ABC


def test_repeated_header_name_keeps_later_value_at_first_position(read):
    psf = read(PsfFile(header=[("a", 1), ("b", 2.5), ("a", "x"), ("c", 3), ("a", 4.0)]))
    assert list(psf.header.items()) == [("a", 4.0), ("b", 2.5), ("c", 3)]


# --- strings and end of file, through header properties ----------------------------


@pytest.mark.parametrize("name, detail", [
    (b"\xc3\x28", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"\xe2", "incomplete utf-8 byte sequence from index 0"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # a surrogate
    (b"ok\xe2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 2"),
    (b"\xf0\x9f\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"),
    (b"abcd\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 4"),
    (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # > U+10FFFF
    (b"abc\xff", "invalid utf-8 sequence of 1 bytes from index 3"),
    (b"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
])
def test_invalid_utf8(error, name, detail):
    # The property chunk word is at 12, the length at 16, the bytes from 20.
    message = error(PsfFile(header=[Raw(Writer().u32(33).string(name).u32(0).to_bytes())]))
    assert message == f"invalid UTF-8 in string at offset {20 + len(name)}: {detail}"


def test_invalid_utf8_in_value_string(error):
    data = PsfFile(header=[Raw(Writer().u32(33).string("k").string(b"v\xff").to_bytes())])
    assert error(data) == ("invalid UTF-8 in string at offset 30: "
                           "invalid utf-8 sequence of 1 bytes from index 1")


def test_utf8_is_checked_before_the_padding(error):
    # The string ends at the end of the file, its padding missing.
    data = Writer().u32(0).u32(21).u32(100).u32(33).u32(13).raw(b"\xff" + FOOTER).to_bytes()
    assert error(data) == ("invalid UTF-8 in string at offset 33: "
                           "invalid utf-8 sequence of 1 bytes from index 0")


def test_string_padding_cut_by_end_of_file(error):
    data = Writer().u32(0).u32(21).u32(100).u32(33).u32(13).raw(b"X" + FOOTER).to_bytes()
    assert error(data) == "unexpected end of file: skip 3 bytes at offset 33 (len 33)"


@pytest.mark.parametrize("length", [4_294_967_295, 13, 4_294_967_288])
def test_string_longer_than_file(error, length):
    data = PsfFile(header=[Raw(words(33, length))]).to_bytes()
    assert error(data) == (f"unexpected end of file: need {length} bytes at offset 20 "
                           f"(len {len(data)})")


def test_float_property_cut_by_end_of_file(error):
    # The property's name is the footer magic; its value would start at size - 4.
    data = Writer().u32(0).u32(21).u32(100).u32(35).string(MAGIC).u32(0).to_bytes()
    assert error(data) == "unexpected end of file: need 8 bytes at offset 28 (len 32)"


# --- section framing ------------------------------------------------------------


def four_sections(**overrides) -> PsfFile:
    """TYPE, SWEEP, TRACE and a non-swept VALUE section; `overrides` maps a
    section name to keyword arguments of its section object."""
    kw = {name: overrides.get(name, {}) for name in ("type", "sweep", "trace", "value")}
    return PsfFile(
        Layout.NONSWEPT, header=[("h", 1)],
        sections=[TypeSection([TypeDecl(1, "real", Tag.FLOAT64)], **kw["type"]),
                  SweepSection([Decl(2, "s", 1)], **kw["sweep"]),
                  TraceSection([Decl(3, "t", 1)], **kw["trace"]),
                  ValueSection([Decl(4, "v", 1, 2.5)], **kw["value"])])


def test_four_sections(read):
    psf = read(four_sections())
    assert [(s.name, s.data.size) for s in psf.sweeps] == [("s", 0)]
    assert [(t.name, t.data.size) for t in psf.traces] == [("t", 0)]
    assert [(v.name, v.data) for v in psf.values] == [("v", 2.5)]


SECTIONS = ["type", "sweep", "trace", "value"]
WITH_SUB = ["type", "trace", "value"]
UPPER = {s: s.upper() for s in SECTIONS}
SUB_DECL_FAILURE = {
    "type": "expected chunk Declaration (16) at offset {}, got 19",
    "trace": "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got 19",
    "value": "expected DECLARATION (16) or GROUP_DECLARATION (17) at offset {}, got 19",
}


def framing_cases():
    for s in SECTIONS:
        yield s, "container-word", {"container": 20}, \
            lambda at, s=s: f"expected chunk Container (21) at offset {at[s] + 4}, got 20"
        yield s, "end-word-3", {"end_word": 3}, lambda at: "invalid CONTAINER size 3"
        yield s, "end-too-near", {"end_word": lambda v: v - 4}, lambda at, s=s: (
            f"{UPPER[s]} container end mismatch: at offset {at[s + '.end']} "
            f"but expected {at[s + '.end'] - 4}")
    for s in WITH_SUB:
        yield s, "sub-container-word", {"sub_container": 21}, \
            lambda at, s=s: f"expected chunk SubContainer (22) at offset {at[s] + 12}, got 21"
        yield s, "index-word", {"index": Index(chunk=20)}, lambda at, s=s: (
            f"expected chunk ContainerIndex (19) at offset {at[s + '.index']}, got 20")
        # The index is then read as a declaration; its name is empty.
        payload = bytes(12 if s == "trace" else 4)
        yield s, "sub-end-too-far", {"sub_end_word": lambda v: v + 8,
                                     "index": Index([(0, payload)])}, \
            lambda at, s=s: SUB_DECL_FAILURE[s].format(at[s + ".index"])
        # The index entries would run far past the end of the file.
        yield s, "index-huge", {"index": Index(size=0xFFFF_FFF0)}, \
            lambda at, s=s: huge_index_failure(at, s)


def huge_index_failure(at, section):
    width = 4 + (12 if section == "trace" else 4)
    start = at[section + ".index"] + 8
    entry = start + (at["size"] - start) // width * width  # the first entry cut off
    if at["size"] - entry < 4:
        return f"unexpected end of file: need 4 bytes at offset {entry} (len {at['size']})"
    return (f"unexpected end of file: skip {width - 4} bytes at offset {entry + 4} "
            f"(len {at['size']})")


@pytest.mark.parametrize("section, fault, kw, message",
                         [pytest.param(*c, id=f"{c[0]}-{c[1]}") for c in framing_cases()])
def test_section_framing(error, section, fault, kw, message):
    data, at = four_sections(**{section: kw}).build()
    assert error(data) == message(at)


@pytest.mark.parametrize("section", WITH_SUB)
def test_declaration_running_past_sub_container_end_is_not_reported(read, section):
    psf = read(four_sections(**{section: {"sub_end_word": lambda v: v - 4}}))
    assert ([s.name for s in psf.sweeps], [t.name for t in psf.traces],
            [v.name for v in psf.values]) == (["s"], ["t"], ["v"])


@pytest.mark.parametrize("count, extra, leftover",
                         [(9, b"\x00", 1), (8, b"", 0), (15, bytes(7), 7)])
def test_type_index_byte_count_not_a_multiple_of_the_entry(read, error, count, extra, leftover):
    f = four_sections(type={"index": Index([(1, bytes(4))], size=count, extra=extra)})
    data, at = f.build()
    if leftover == 0:
        assert read(data).values[0].data == 2.5
    else:
        assert error(data) == ("TYPE container end mismatch: "
                               f"at offset {at['type.end'] - leftover} "
                               f"but expected {at['type.end']}")


@pytest.mark.parametrize("section_end, got", [(0, 0), (16, 16), (None, 1131176306)])
def test_section_end_word(error, section_end, got):
    data, at = four_sections(value={"section_end": section_end}).build()
    assert error(data) == (f"expected chunk SectionEnd (15) at offset {at['value.end']}, "
                           f"got {got}")


# --- the section walk -------------------------------------------------------------


def test_anything_after_the_header_that_is_no_section_word_is_ignored(read):
    for word in (0, 5, 15, 16, 21, 0xFFFF_FFFF):
        psf = read(PsfFile(header=[("k", "v")], trailer=words(word, 1, 2, 3)))
        assert psf.header == {"k": "v"} and psf.sweeps == [] and psf.values == []


def test_nothing_after_the_value_section_is_examined(read):
    psf = read(dataclasses.replace(four_sections(), trailer=b"\xff" * 13))
    assert [v.data for v in psf.values] == [2.5]


def sections_in_order(*names, layout=Layout.EMPTY):
    make = {
        "type": lambda: TypeSection([TypeDecl(11, "real", Tag.FLOAT64)]),
        "sweep": lambda: SweepSection([Decl(1, "s", 11)]),
        "sweep2": lambda: SweepSection([Decl(2, "s2", 11)]),
        "sweep0": lambda: SweepSection([]),
        "trace": lambda: TraceSection([Decl(3, "t", 11)]),
        "value": lambda: ValueSection([]),
    }
    return PsfFile(layout, sections=[make[n]() for n in names])


@pytest.mark.parametrize("order, sweeps, traces", [
    (("type", "sweep", "trace", "value"), ["s"], ["t"]),
    (("type", "trace"), [], ["t"]),
    (("type", "sweep0", "trace", "value"), [], ["t"]),
    (("type", "sweep", "sweep2", "trace"), ["s"], []),  # the second SWEEP stops the walk
    (("type", "sweep", "value", "trace"), ["s"], []),  # TRACE after VALUE is not read
    (("type", "trace", "sweep"), [], ["t"]),
    (("value", "type", "sweep"), [], []),
])
def test_sections_out_of_order_are_passed_by(read, order, sweeps, traces):
    psf = read(sections_in_order(*order))
    assert [s.name for s in psf.sweeps] == sweeps
    assert [t.name for t in psf.traces] == traces


def test_type_section_after_sweep_section_is_not_read(error):
    assert error(sections_in_order("sweep", "type")) == \
        "declaration 1 references unknown type id 11"
