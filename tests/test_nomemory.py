"""Each allocation of the interpreter failing in turn during a read.

`_testcapi.set_nomemory(start, start + 1)` fails exactly the `start`-th
allocation made after the call. A child interpreter (so that a crash is a
failed test, not a dead runner) imports NumPy, reads the file once, then
sweeps `start` over a whole read (`read_psf`, `read_many` of the file, or
`open_psf` and reads of every series), three times. Every read gives the
result, `MemoryError`, or the module's internal error naming the
`MemoryError`; never a crash, a hang or another exception, and a sweep
leaves the interpreter with no more allocated blocks than the one before
(once the first has warmed the caches).
"""

import json
import os
import subprocess
import sys

import pytest

import quarn
from psfwriter import REALISTIC

pytest.importorskip("_testcapi", reason="the interpreter ships no _testcapi (a test-suite module)")

CHILD = r"""
import array, gc, json, sys
import numpy as np
import _testcapi
import quarn

path, how = sys.argv[1], sys.argv[2]

with quarn.open_psf(path) as f:
    names = [s.name for s in (*f.sweeps, *f.traces)]

def read_lazily():
    with quarn.open_psf(path) as f:
        for name in names:
            f.read(name)
            f.read(name, 1, 3)

read = {"read_psf": lambda: quarn.read_psf(path),
        "read_many": lambda: list(quarn.read_many([path], workers=1)),
        "open_psf": read_lazily}[how]
expected = quarn.read_psf(path)
read()

# NumPy 2 itself turns a failed allocation at the start of np.dtype(list) into
# another exception; such an outcome is NumPy's, recognised by its message.
masked = set()
for start in range(4):
    _testcapi.set_nomemory(start, start + 1)
    try:
        np.dtype([("a", "<f8"), ("b", "<f8")])
    except Exception as e:
        if type(e) is not MemoryError:
            masked.add(f"{type(e).__name__}: {e}")
    finally:
        _testcapi.remove_mem_hooks()

KINDS = ["result", "MemoryError", "internal error naming MemoryError",
         "NumPy's masked MemoryError"]
unexpected = []

def outcome(start):
    _testcapi.set_nomemory(start, start + 1)
    try:
        read()
        return 0
    except MemoryError:
        return 1
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        text = f"{type(e).__name__}: {e}"
        if type(e).__bases__ == (BaseException,) and "MemoryError" in str(e):
            return 2
        if text in masked:
            return 3
        unexpected.append(f"start {start}: {text}")
        return None
    finally:
        _testcapi.remove_mem_hooks()

# The counts live in arrays made beforehand, so that the bookkeeping allocates
# nothing while the blocks are counted.
counts = array.array("q", [0] * 3 * len(KINDS))
blocks = array.array("q", [0] * 3)
start = array.array("q", [0, 0])  # the allocation to fail, successes in a row
for i in range(3):
    start[0] = start[1] = 0
    while start[1] < 400 and start[0] < 40000:
        k = outcome(start[0])
        if k is not None:
            counts[i * len(KINDS) + k] += 1
        start[1] = start[1] + 1 if k == 0 else 0
        start[0] += 1
    gc.collect()
    blocks[i] = sys.getallocatedblocks()

# The first sweep warms the caches (interned names, NumPy's dtypes); the next
# two run alike, so a block that the third adds to the second's is a leak.
print(json.dumps({"sweeps": [dict(zip(KINDS, counts[i * len(KINDS):(i + 1) * len(KINDS)]))
                             for i in range(3)],
                  "unexpected": unexpected, "growth": blocks[2] - blocks[1]}))
"""

LAYOUTS = {"simple": ("ac", {}), "simple-structs": ("noise", {}),
           "windowed": ("tran", {"points": 300, "window": 64}), "nonswept": ("dcop", {})}


@pytest.mark.parametrize("how", ["read_psf", "read_many", "open_psf"])
@pytest.mark.parametrize("name, kw", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_every_failed_allocation_is_clean(tmp_path, name, kw, how):
    path = tmp_path / f"{name}.psfbin"
    path.write_bytes(REALISTIC[name](**kw)[0].to_bytes())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(quarn.__path__[0]), os.environ.get("PYTHONPATH", "")]))
    child = subprocess.run([sys.executable, "-c", CHILD, str(path), how], capture_output=True,
                           text=True, timeout=300, env=env)
    assert child.returncode == 0, child.stderr[-3000:]
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["unexpected"] == []
    for counts in report["sweeps"]:
        assert counts["MemoryError"] > 0, counts  # the sweep did reach the read
        # NumPy's masked failures of np.dtype(list) reach the caller as MemoryError.
        assert counts["NumPy's masked MemoryError"] == 0, counts
    if name != "noise":
        assert report["growth"] <= 0, report
    # Struct traces: NumPy 2.4 leaks the tuple of field names it makes in
    # np.dtype(list) when an allocation fails inside it; the same sweep over
    # `flat.view(np.dtype([(name, "<f8"), ...]))` alone, without quarn, leaks
    # too. Their outcomes are still checked above.
