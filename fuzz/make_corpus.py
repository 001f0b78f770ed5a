"""Writes the seed corpus of the fuzz target from the tests' file writer.

    python fuzz/make_corpus.py            # (re)write fuzz/corpus
    python fuzz/make_corpus.py --check    # fail if fuzz/corpus differs from what this makes
    python fuzz/make_corpus.py --out DIR  # write elsewhere

The seeds are the realistic files of every layout, small files reaching each
part of the format (every datatype, groups, struct types, padding, indexes
with leftover bytes, trailing bytes) and files that fail in each reader, so
the fuzzer starts past the footer and framing checks everywhere. Every file is
deterministic; the corpus stays a few tens of kilobytes.

Files named `fuzz-*` are the minimised coverage of the long fuzzing runs
(see fuzz/README.md): this script neither writes, checks nor removes them.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from psfwriter import (  # noqa: E402
    Decl,
    Frame,
    Group,
    Index,
    Layout,
    Padding,
    PsfFile,
    Raw,
    Record,
    Tag,
    TraceSection,
    TypeDecl,
    TypeSection,
    ValueSection,
    ac_analysis,
    dc_sweep,
    noise,
    operating_point,
    transient,
)

F64, CPLX, STRUCT3 = 1, 2, 3


def _types():
    return [TypeDecl(F64, "real", Tag.FLOAT64, props=[("units", "V")]),
            TypeDecl(CPLX, "cplx", Tag.COMPLEX),
            TypeDecl(STRUCT3, "trio", Tag.STRUCT,
                     [TypeDecl(0, n, Tag.FLOAT64, props=[("units", "V2/Hz")])
                      for n in ("a", "b", "c")])]


def seeds() -> dict[str, bytes]:
    out: dict[str, bytes] = {}

    def add(name: str, f) -> None:
        out[name] = f.to_bytes() if isinstance(f, PsfFile) else bytes(f)

    # Realistic files of every layout, kept small.
    add("real_ac", ac_analysis(5)[0])
    add("real_dc", dc_sweep(6)[0])
    add("real_tran", transient(40, 16)[0])
    add("real_noise", noise(4)[0])
    add("real_dcop", operating_point()[0])

    # Framing and the header.
    add("min_empty", PsfFile())
    add("header_props", PsfFile(header=[("s", "x\u00e9\u4e2d\U0001f600"), ("i", 4294967295),
                                        ("f", -0.0), ("s", "again")]))
    add("empty_all_sections", PsfFile(types=[], sweeps=[], traces=[], values=[]))
    add("trailer_after_sections", PsfFile(types=_types(), trailer=b"\x00\x00\x00\x09junk"))
    # An index whose byte count leaves three bytes unconsumed; the TYPE
    # container ends before them.
    add("index_leftover", PsfFile(types=TypeSection(
        decls=_types(), index=Index(size=lambda n: n + 3, extra=b"\0\0\0"),
        end_word=lambda v: v - 3)))

    # Non-swept values of every datatype, grouped and not.
    vtypes = [TypeDecl(10, "i8", Tag.INT8), TypeDecl(11, "i32", Tag.INT32),
              TypeDecl(12, "f", Tag.FLOAT64), TypeDecl(13, "c", Tag.COMPLEX),
              TypeDecl(14, "s", Tag.STRING),
              TypeDecl(15, "mix", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64),
                                               TypeDecl(0, "n", Tag.INT8),
                                               TypeDecl(0, "t", Tag.STRING),
                                               TypeDecl(0, "k", Tag.INT32),
                                               TypeDecl(0, "z", Tag.COMPLEX)])]
    add("nonswept_all_types", PsfFile(
        Layout.NONSWEPT, types=vtypes,
        values=[Decl(1, "b", 10, 255), Decl(2, "w", 11, 7), Decl(3, "x", 12, 1.5),
                Group(9, "g", [Decl(4, "z", 13, complex(1, -2)), Decl(5, "t", 14, "ok\u2713")],
                      props=[("n", 2)]),
                Decl(6, "m", 15, {"x": 0.25, "n": 3, "t": "abc", "k": 9, "z": 1j},
                     props=[("p", 1.0)])]))

    # Swept layouts.
    add("simple_kinds", PsfFile(
        Layout.SIMPLE, types=_types(), sweeps=[Decl(1, "s", F64)],
        traces=[Decl(2, "r", F64), Decl(3, "c", CPLX), Decl(4, "st", STRUCT3)],
        values=[r for i in range(3) for r in (Record(1, float(i)), Record(2, -float(i)),
                                              Record(3, complex(i, 1)),
                                              Record(4, [1.0, 2.0, 3.0]))]))
    add("simple_nested_groups", PsfFile(
        Layout.SIMPLE, types=_types(), sweeps=[Group(50, "sg", [Decl(1, "s", F64)])],
        traces=[Group(60, "outer", [Decl(2, "a", F64),
                                    Group(61, "inner", [Decl(3, "b", CPLX)], props=[("k", 1)]),
                                    Group(62, "none", [])])],
        values=[Record(1, 0.5), Record(3, 2j), Record(2, 1.0)]))
    add("simple_no_records", PsfFile(Layout.SIMPLE, types=_types(),
                                     sweeps=[Decl(1, "s", F64)], traces=[Decl(2, "t", F64)],
                                     values=[]))
    add("windowed_partial", PsfFile(
        Layout.WINDOWED, types=_types(), sweeps=[Decl(1, "t", F64)],
        traces=[Decl(2, "a", F64), Decl(3, "b", F64)],
        values=[Padding(0), Frame([[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]], window_size=4),
                Padding(8), Frame([[], [], []], window_size=2), Frame([[6.0]] * 3),
                Padding(0)]))
    add("windowed_sweep_only", PsfFile(
        Layout.WINDOWED, types=_types(), sweeps=[Decl(1, "t", F64)],
        values=[Frame([[1.0, 2.0, 3.0]], window_size=3), Frame([[4.0]], window_size=2)]))

    # Files that fail, one per kind of failure, so mutations start next to each check.
    add("bad_first_word", PsfFile(first_word=0x300))
    add("bad_magic", PsfFile().to_bytes()[:-12] + b"Clarisse\0\0\0\0")
    add("bad_header_end", PsfFile(header=[("a", 1)], header_end_word=lambda v: v + 4))
    add("bad_utf8_name", PsfFile(header=[(b"\xc3\x28", 1)]))
    add("bad_dup_trace_id", PsfFile(Layout.SIMPLE, types=_types(), sweeps=[Decl(1, "s", F64)],
                                    traces=[Decl(2, "a", F64), Decl(2, "b", F64)], values=[]))
    add("bad_sweep_trace_same_id", PsfFile(Layout.SIMPLE, types=_types(),
                                           sweeps=[Decl(1, "s", F64)],
                                           traces=[Decl(1, "t", F64)], values=[]))
    add("bad_unknown_record", PsfFile(Layout.SIMPLE, types=_types(), sweeps=[Decl(1, "s", F64)],
                                      values=[Record(1, 1.0), Record(7, 2.0)]))
    add("bad_record_cut", PsfFile(Layout.SIMPLE, types=_types(), traces=[Decl(4, "st", STRUCT3)],
                                  values=[Record(4, [1.0, 2.0, 3.0]), Raw(b"\0\0\0\x10\0\0\0\x04")],
                                  ))
    add("bad_windowed_complex", PsfFile(Layout.WINDOWED, types=_types(),
                                        sweeps=[Decl(1, "t", F64)], traces=[Decl(2, "c", CPLX)],
                                        values=[Frame([[1.0], [2.0, 3.0]])]))
    add("bad_windowed_n_gt_w", PsfFile(Layout.WINDOWED, types=_types(),
                                       sweeps=[Decl(1, "t", F64)],
                                       values=[Frame([[1.0, 2.0]], window_size=1)]))
    add("bad_windowed_two_sweeps", PsfFile(Layout.WINDOWED, types=_types(),
                                           sweeps=[Decl(1, "t", F64), Decl(2, "u", F64)],
                                           values=[Frame([[1.0]])]))
    add("bad_empty_struct", PsfFile(types=[TypeDecl(5, "nothing", Tag.STRUCT, [])]))
    add("bad_nested_struct", PsfFile(types=[TypeDecl(5, "outer", Tag.STRUCT, [
        TypeDecl(0, "inner", Tag.STRUCT, [TypeDecl(0, "x", Tag.FLOAT64)])])]))
    add("bad_swept_int", PsfFile(Layout.SIMPLE, types=[TypeDecl(5, "i", Tag.INT32)],
                                 sweeps=[Decl(1, "s", 5)]))
    add("bad_unknown_type", PsfFile(Layout.SIMPLE, types=_types(), sweeps=[Decl(1, "s", 99)]))
    add("bad_value_none", PsfFile(Layout.NONSWEPT, types=[TypeDecl(5, "n", Tag.NONE)],
                                  values=[Decl(1, "v", 5, Raw(b""))]))
    add("bad_value_array", PsfFile(Layout.NONSWEPT, types=[TypeDecl(5, "a", Tag.ARRAY)],
                                   values=[Decl(1, "v", 5, Raw(b"\0\0\0\0"))]))
    add("bad_value_container_end", PsfFile(
        Layout.SIMPLE, types=_types(), sweeps=[Decl(1, "s", F64)],
        values=ValueSection(items=[Record(1, 1.0)], end_word=lambda v: v - 8)))
    add("bad_trace_index_chunk", PsfFile(
        Layout.SIMPLE, types=_types(), traces=TraceSection(decls=[Decl(2, "a", F64)],
                                                           index=Index(chunk=20))))
    tran = transient(40, 16)[0].to_bytes()
    add("bad_tran_cut", tran[: len(tran) * 2 // 3] + b"Clarissa\0\0\0\0")
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=HERE / "corpus")
    ap.add_argument("--check", action="store_true",
                    help="compare with the directory instead of writing it")
    args = ap.parse_args(argv)
    made = seeds()
    if args.check:
        have = {p.name: p.read_bytes() for p in args.out.iterdir()
                if p.is_file() and not p.name.startswith(("README", ".", "fuzz-"))}
        if have != made:
            stale = sorted(set(have) ^ set(made) | {n for n in made if have.get(n) != made[n]})
            print(f"{args.out} is out of date: {', '.join(stale)}", file=sys.stderr)
            return 1
        print(f"{args.out}: {len(made)} seeds up to date")
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    for p in args.out.iterdir():
        if p.is_file() and not p.name.startswith(("README", ".", "fuzz-")) and p.name not in made:
            p.unlink()
    for name, data in made.items():
        (args.out / name).write_bytes(data)
    total = sum(map(len, made.values()))
    print(f"{args.out}: {len(made)} seeds, {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
