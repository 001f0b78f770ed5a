"""Line and branch figures of the core from an `llvm-cov export` JSON document.

    python3 scripts/coverage_report.py EXPORT.json ROOT FLOOR_FILE

A branch is one condition of the source (each operand of && and ||, each
if/while/for/?: test, each case of a switch), counted as two outcomes: taken
and not taken. A condition that no input can decide both ways carries
`LCOV_EXCL_BR_LINE: <reason>` on its line or in a comment line right above it;
its outcomes are left out and counted as exclusions. Exits non-zero when branch coverage falls below the
floor, or when a source file of the core was linked into no measured program
(it would otherwise be silently missing from the figures).
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path

CORE = re.compile(r"src/(types|reader|driver|batch|lazy|text|split)/")
NOT_CORE = re.compile(r"src/driver/assemble\.cpp$")
MARKER = "LCOV_EXCL_BR_LINE"


def main(export: str, root_arg: str, floor_file: str) -> int:
    root = Path(root_arg).resolve()
    files = json.loads(Path(export).read_text())["data"][0]["files"]
    rows = []
    seen = set()
    totals = {"lines": 0, "lines_hit": 0, "outcomes": 0, "taken": 0, "excluded": 0}
    for f in sorted(files, key=lambda f: f["filename"]):
        rel = Path(f["filename"]).resolve().relative_to(root).as_posix() \
            if f["filename"].startswith(str(root)) else None
        if rel is None or not CORE.match(rel) or NOT_CORE.search(rel):
            continue
        seen.add(rel)
        source = (root / rel).read_text().splitlines()
        outcomes = taken = excluded = 0
        missing = []
        for line, _col, _eline, _ecol, true_count, false_count, *_ in sorted(f["branches"]):
            above = source[line - 2].strip() if line >= 2 else ""
            if MARKER in source[line - 1] or (above.startswith("//") and MARKER in above):
                excluded += 1
                continue
            outcomes += 2
            taken += (true_count > 0) + (false_count > 0)
            if not true_count or not false_count:
                missing.append(f"{line}{'' if true_count else 'T'}{'' if false_count else 'F'}")
        lines = f["summary"]["lines"]
        totals["lines"] += lines["count"]
        totals["lines_hit"] += lines["covered"]
        totals["outcomes"] += outcomes
        totals["taken"] += taken
        totals["excluded"] += excluded
        rows.append((rel, outcomes, taken, missing))

    width = max(len(r[0]) for r in rows)
    print(f"{'file':<{width}}  branches  taken  cover  not taken (line, T/F outcome)")
    for rel, outcomes, taken, missing in rows:
        cover = f"{100 * taken / outcomes:5.1f}%" if outcomes else "    --"
        print(f"{rel:<{width}}  {outcomes:8}  {taken:5}  {cover}  {' '.join(missing)}")
    line_pct = 100 * totals["lines_hit"] / totals["lines"]
    branch_pct = 100 * totals["taken"] / totals["outcomes"]
    print(f"lines: {line_pct:.1f}% ({totals['lines_hit']} of {totals['lines']})")
    print(f"branches: {branch_pct:.1f}% ({totals['taken']} of {totals['outcomes']} outcomes; "
          f"{totals['excluded']} conditions excluded as unreachable)")

    status = 0
    unmeasured = sorted(
        p.relative_to(root).as_posix() for p in (root / "src").rglob("*.cpp")
        if CORE.match(p.relative_to(root).as_posix())
        and not NOT_CORE.search(p.as_posix())
        and p.relative_to(root).as_posix() not in seen)
    if unmeasured:
        print("coverage: linked into no measured program: " + ", ".join(unmeasured), file=sys.stderr)
        status = 1
    floor = float(Path(floor_file).read_text().split()[0])
    if round(branch_pct, 1) < floor:
        print(f"coverage: branch coverage {branch_pct:.1f}% fell below the floor {floor}% "
              f"({floor_file})", file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
