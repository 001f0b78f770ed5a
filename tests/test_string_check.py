"""Text of the file: ASCII strings are taken without the UTF-8 walk, so a byte
of 0x80 or more must be found at any index, in eight-byte steps and in their
tails, in kept strings and in property lists that are only passed over; and the
name a failed open shows is made only for the message, from the right error."""

import os
import re

import pytest

import quarn
from psfwriter import Mark, PsfFile, Prop, Tag, TypeDecl

LENGTHS = range(1, 26)  # several eight-byte steps, and every tail length


@pytest.mark.parametrize("length", LENGTHS)
@pytest.mark.parametrize("byte", [0x80, 0xFF])
def test_a_high_byte_is_found_at_any_index(error, length, byte):
    for index in range(length):
        name = bytearray(b"n" * length)
        name[index] = byte
        got = error(PsfFile(header=[Prop(bytes(name), 1)]))
        # The property chunk word is at 12, the length at 16, the bytes from 20.
        assert got == (f"invalid UTF-8 in string at offset {20 + length}: "
                       f"invalid utf-8 sequence of 1 bytes from index {index}"), index


@pytest.mark.parametrize("length", LENGTHS)
def test_well_formed_text_at_any_index_is_kept_whole(read, length):
    for index in range(length):
        name = "n" * index + "\u00e9" + "n" * (length - index - 1)  # two bytes longer in UTF-8
        value = "v" * index + "\u20ac" + "v" * (length - index - 1)
        header = read(PsfFile(header=[(name.encode(), value.encode()), ("after", 7)])).header
        assert header == {name: value, "after": 7}, index


@pytest.mark.parametrize("where, detail_index, offset_after_mark", [
    # chunk word, length word, then the nine bytes of the name
    ("name", 8, 4 + 4 + 9),
    # "k" and its padding come first; then the value's length and its bytes
    ("value", 8, 4 + 4 + 4 + 4 + 9),
])
def test_bad_text_in_a_passed_over_property_list(error, where, detail_index, offset_after_mark):
    bad = b"abcdefgh\xc3"  # a lead byte that the end of the string cuts short
    prop = Prop(bad, "v") if where == "name" else Prop(b"k", bad)
    data, marks = PsfFile(types=[TypeDecl(1, "t", Tag.FLOAT64, props=[Mark("p"), prop])]).build()
    assert error(data) == (f"invalid UTF-8 in string at offset {marks['p'] + offset_after_mark}: "
                           f"incomplete utf-8 byte sequence from index {detail_index}")


def test_failed_mapping_names_the_file_and_its_own_error(tmp_path):
    # A directory opens, but cannot be mapped; its name is not UTF-8.
    path = os.path.join(str(tmp_path), "r\udcffsults")
    os.mkdir(path)
    with pytest.raises(IsADirectoryError) as e:
        quarn.read_psf(path)
    m = re.fullmatch(rf"cannot mmap {re.escape(str(tmp_path))}/r\ufffdsults: (.+) "
                     r"\(os error ([1-9]\d*)\)", str(e.value))
    assert m is not None, str(e.value)
    assert m.group(1) == os.strerror(int(m.group(2)))
