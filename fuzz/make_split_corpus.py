"""Writes the seed corpus of the split form's fuzz target (fuzz_split.cpp).

    python fuzz/make_split_corpus.py            # (re)write fuzz/corpus_split
    python fuzz/make_split_corpus.py --check    # fail if fuzz/corpus_split differs
    python fuzz/make_split_corpus.py --out DIR  # write elsewhere

An input's first byte chooses the decoder: odd for FastLZ (then the expected
size, two bytes big-endian, and the stream), even for a data file (then the
number of traces, with 0x80 set for a .dat file, and the file). The seeds are
the worked examples' data files (generations 1.1, 1.4 and 0.1, taken from the
C++ tests' copy of them), a few of their faults, and the worked FastLZ
streams, so the fuzzer starts past the framing everywhere.

Files named `fuzz-*` are the minimised coverage of fuzzing runs (see
fuzz/README.md): this script neither writes, checks nor removes them.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "tests" / "cpp" / "split_examples.h"


def examples() -> dict[str, bytes]:
    text = EXAMPLES.read_text()
    out = {}
    for name, body in re.findall(r"std::string_view (\w+) =\n((?:\s+\"[0-9a-f]*\"\n?)+);", text):
        out[name] = bytes.fromhex("".join(re.findall(r"\"([0-9a-f]*)\"", body)))
    return out


def fastlz(expected: int, stream: str) -> bytes:
    return bytes([1, expected >> 8, expected & 255]) + bytes.fromhex(stream)


def data_file(traces: int, data: bytes, dat: bool = False) -> bytes:
    return bytes([0, traces | (0x80 if dat else 0)]) + data


def seeds() -> dict[str, bytes]:
    ex = examples()
    a, b, c = ex["kExampleAData"], ex["kExampleBData"], ex["kExampleCData"]
    far = "2341424300e0" + "ff" * 35 + "3e003fff0328005a"
    level1_8192 = "014142" + "e0ff01" * 31 + "a001" + "3fff"
    return {
        "data_a": data_file(5, a),
        "data_b": data_file(2, b),
        "data_c": data_file(2, c, dat=True),
        "data_a_cut": data_file(5, a[:700]),
        "data_a_plane_level": data_file(5, a[:0x18C] + b"\x40" + a[0x18D:]),
        "data_a_as_dat": data_file(5, a, dat=True),
        "data_c_two_columns": data_file(2, c[:0x150] + c[0xE8:0x150] + c[0x150:], dat=True),
        "lz_short": fastlz(6, "20006000"),
        "lz_level1": fastlz(6, "00006000"),
        "lz_overlap": fastlz(6, "2141424001"),
        "lz_long": fastlz(520, "2000e0ffff0000"),
        "lz_level1_long": fastlz(300, "0000e0ff00e01a00"),
        "lz_far": fastlz(9004, far),
        "lz_level1_8192": fastlz(8196, level1_8192),
        "lz_before_start": fastlz(6, "20006001"),
        "lz_far_cut": fastlz(2000, "23414243003fff03"),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=HERE / "corpus_split")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    made = seeds()
    if args.check:
        stale = [n for n, d in made.items() if not (args.out / n).exists() or (args.out / n).read_bytes() != d]
        if stale:
            print("corpus_split differs from make_split_corpus.py:", ", ".join(stale), file=sys.stderr)
            return 1
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    for name, data in made.items():
        (args.out / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
