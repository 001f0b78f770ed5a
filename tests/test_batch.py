"""Many files at once: read_header and read_many against read_psf, file by file."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quarn
from psfwriter import FOOTER, REALISTIC
from quarn import _native
from test_shrink import big_header_file
from test_truncation import FILES


def outcome(fn, *args, **kw):
    """What a call gives: its result, or the exception's exact class and message."""
    try:
        return fn(*args, **kw)
    except (OSError, ValueError) as e:
        return type(e), str(e)


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a new file and returns its path."""
    count = iter(range(10**9))

    def write(data):
        path = tmp_path / f"{next(count)}.psfbin"
        path.write_bytes(data)
        return str(path)

    return write


@pytest.mark.parametrize("name", REALISTIC)
def test_header_at_every_cut_of_the_header(write, name):
    """A file cut anywhere, footer put back, gives read_psf's outcome for the file
    cut at the same place or at the HEADER's end, whichever comes first: the
    HEADER's properties, or read_psf's exception."""
    data, at = REALISTIC[name]()[0].build()
    body, end = data[:at["footer"]], at["header.end"]
    for n in [*range(end + 16), at["value"], len(body)]:
        got = outcome(quarn.read_header, write(body[:n] + FOOTER))
        want = outcome(quarn.read_psf, write(body[:min(n, end)] + FOOTER))
        assert got == (want.header if isinstance(want, quarn.Psf) else want), n


@pytest.mark.parametrize("name", REALISTIC)
def test_header_without_footer(write, name):
    data, at = REALISTIC[name]()[0].build()
    body = data[:at["footer"]]
    header = quarn.read_psf(write(data)).header
    for n in (at["header.end"], at["value"], len(body)):
        path = write(body[:n])
        assert outcome(quarn.read_header, path) == (
            ValueError, "footer magic 'Clarissa' not found (not a psfbin file?)")
        assert _native.read_header(path, require_footer=False) == header


@pytest.mark.parametrize("junk", [b"#!/bin/sh\necho not a result file\n" * 3, bytes(40),
                                  b"\x00\x00\x04\x00\x00\x00\x00\x15" + b"\xff" * 40])
def test_header_of_other_files_without_footer_check(write, junk):
    got = outcome(_native.read_header, write(junk), require_footer=False)
    assert got == outcome(quarn.read_psf, write(junk + FOOTER))
    assert isinstance(got, tuple)


def test_header_argument_errors(tmp_path):
    missing = tmp_path / "missing.psfbin"
    assert outcome(quarn.read_header, missing) == outcome(quarn.read_psf, missing)
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object is not an instance"):
        quarn.read_header(os.fsencode(missing))


# ---- read_many ----


def fingerprint(result):
    """A result as comparable data (arrays as bytes), or the exception's class,
    message and notes."""
    if isinstance(result, BaseException):
        return type(result), str(result), getattr(result, "__notes__", None)
    assert type(result) is quarn.Psf
    series = [(type(s).__name__, s.name, s.data.dtype.descr, np.ascontiguousarray(s.data).tobytes())
              for s in result.sweeps + result.traces]
    values = [(v.name, repr(v.data)) for v in result.values]
    return repr(list(result.header.items())), series, values


def one_by_one(paths):
    out = []
    for p in paths:
        try:
            out.append(quarn.read_psf(p))
        except Exception as e:  # noqa: BLE001
            out.append(e)
    return out


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_many_equals_read_psf_file_by_file(write, workers):
    """Realistic files (some large enough to be decoded on helpers), every cut of
    small ones with the footer put back and some without, a missing file and a
    path of the wrong type, in one batch: each outcome is read_psf's, in order."""
    paths = [write(f.to_bytes()) for name, sizes in [("ac", [{}, {"points": 90000}]),
                                                   ("tran", [{"points": 400000, "window": 2048}])]
             for kw in sizes for f in [REALISTIC[name](**kw)[0]]]
    paths += [write(REALISTIC[name]()[0].to_bytes()) for name in REALISTIC]
    for name, make in FILES.items():
        body = make()[0].to_bytes()[:-12]
        step = 1 if workers == 2 else 7
        paths += [write(body[:n] + FOOTER) for n in range(0, len(body) + 1, step)]
        paths += [write(body[:n]) for n in range(0, len(body), 97)]
    paths += [os.path.join(os.path.dirname(paths[0]), "missing.psfbin"), 42]
    got = list(quarn.read_many(paths, workers=workers, errors="return"))
    want = one_by_one(paths)
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert fingerprint(g) == fingerprint(w), paths[i]


def test_many_raises_the_first_failure_in_order(write):
    good = write(REALISTIC["ac"]()[0].to_bytes())
    bad = write(b"not a result" * 4)
    paths = (p for p in [good, good, bad, write(b"x"), good])
    it = quarn.read_many(paths, workers=2)
    assert [type(next(it)), type(next(it))] == [quarn.Psf, quarn.Psf]
    with pytest.raises(ValueError) as e:
        next(it)
    cls, message, notes = fingerprint(one_by_one([bad])[0])
    assert fingerprint(e.value) == (cls, message, [*(notes or []), f"while reading {bad}"])
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize("kw, error, message", [
    ({"errors": "ignore"}, ValueError, "errors must be 'raise' or 'return', not 'ignore'"),
    ({"workers": 0}, ValueError, "workers must be at least 1, not 0"),
    ({"workers": -3}, ValueError, "workers must be at least 1, not -3"),
    ({"workers": True}, TypeError, "workers must be an int or None, not bool"),
    ({"workers": "2"}, TypeError, "workers must be an int or None, not str"),
    ({"workers": 2.0}, TypeError, "workers must be an int or None, not float"),
    ({"read_ahead_bytes": 0}, ValueError, "read_ahead_bytes must be at least 1, not 0"),
    ({"read_ahead_bytes": None}, TypeError, "read_ahead_bytes must be an int, not NoneType"),
])
def test_many_argument_errors(kw, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        quarn.read_many([], **kw)
    with pytest.raises(TypeError, match="^read_many\\(\\) takes an iterable of paths, not one path$"):
        quarn.read_many("one.psfbin")


def threads_and_fds():
    return len(os.listdir("/proc/self/task")), sorted(os.listdir("/proc/self/fd"))


def settles_to(before, seconds=5.0):
    """Whether the threads and descriptors come back to `before`: a joined
    thread can stay listed in /proc for a moment after its join returns."""
    deadline = time.monotonic() + seconds
    while threads_and_fds() != before and time.monotonic() < deadline:
        time.sleep(0.01)
    return threads_and_fds() == before


@pytest.mark.parametrize("workers", [1, 3])
def test_many_reads_ahead_a_bounded_number_of_paths(write, workers):
    path = write(REALISTIC["ac"]()[0].to_bytes())
    pulled = 0

    def paths():
        nonlocal pulled
        for _ in range(40):
            pulled += 1
            yield path

    before = threads_and_fds()
    it = quarn.read_many(paths(), workers=workers)
    for taken, _ in enumerate(it, 1):
        assert pulled - taken <= 10 * workers
        if taken == 10:  # the workers and the thread that takes the paths
            assert threads_and_fds()[0] == before[0] + workers + 1
    assert pulled == taken == 40
    assert settles_to(before), (threads_and_fds(), before)


MEMORY = """
import re, sys, quarn
def peak_kib():  # this process's own (ru_maxrss may hold the parent's, from before exec)
    return int(re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
path, count = sys.argv[1], int(sys.argv[2])
quarn.read_psf(path)
start = peak_kib()
for psf in quarn.read_many([path] * count, workers=2):
    pass
print(peak_kib() - start)
"""


# A sanitizer's shadow memory and quarantine count in the resident size.
UNSANITIZED = pytest.mark.skipif(
    any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan")),
    reason="resident memory is not the reader's under a sanitizer")


@UNSANITIZED
def test_many_keeps_memory_flat(write):
    """A consumer that keeps nothing: 200 results of 9.6 MB each pass, the peak
    grows by the read-ahead (4 results and those being made), not by 1.9 GB."""
    path = write(REALISTIC["tran"](points=400000, window=2048)[0].to_bytes())
    out = subprocess.run([sys.executable, "-c", MEMORY, path, "200"], capture_output=True,
                         text=True, timeout=300, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    grown_kib = int(out.stdout)
    assert grown_kib < 10 * 9600, grown_kib


def test_many_interrupted(tmp_path):
    """SIGINT from another thread while read_many waits for a slow file: the
    iteration raises KeyboardInterrupt, the workers are joined, no descriptor
    stays open."""
    slow = tmp_path / "slow.psfbin"
    big_header_file(slow, 1 << 28, misplaced_end=True)
    before = threads_and_fds()
    # More files than a fast machine reads before the signal, each failing
    # cheaply, so the iteration can end only by the interrupt.
    it = quarn.read_many((str(slow) for _ in range(100_000)), workers=2, errors="return")
    # Python's own handler, even where the test run started with SIGINT ignored
    # (a background job of a shell without job control).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in it:
                pass
    finally:
        timer.cancel()
        timer.join()  # it may still be ending after sending the signal
        signal.signal(signal.SIGINT, previous)
    assert settles_to(before), (threads_and_fds(), before)


FORK = """
import os, sys, quarn
path = sys.argv[1]
it = quarn.read_many([path] * 50, workers=2)
first = next(it)
pid = os.fork()
if pid == 0:
    ok = [r.header for r in quarn.read_many([path] * 5, workers=2)] == [first.header] * 5
    it.close()  # the parent's batch: left alone here
    os._exit(0 if ok else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), sum(1 for _ in it))
"""


def test_many_after_fork(write):
    path = write(REALISTIC["ac"]()[0].to_bytes())
    out = subprocess.run([sys.executable, "-c", FORK, path], capture_output=True, text=True,
                         timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["0", "49"]


def test_many_progress_bar(write, capsys, monkeypatch):
    path = write(REALISTIC["dcop"]()[0].to_bytes())
    assert len(list(quarn.read_many([path] * 3, progress=True))) == 3
    assert "3/3" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError, match=r"quarn\[progress\]"):
        quarn.read_many([path], progress=True)


SHRINK = """
import sys, quarn
from quarn import _native
small, path, first = sys.argv[1:]
calls = {"psf": lambda: quarn.read_psf(small), "native": lambda: _native.read_header(small)}
for name in (first, {"psf": "native", "native": "psf"}[first]):
    calls[name]()  # each module installs its bus-error handler on its first read
print("ready", flush=True)
try:
    next(quarn.read_many([path]))
    print("ok")
except (OSError, ValueError) as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("first", ["psf", "native"])
def test_many_file_shrinking_with_both_modules_loaded(tmp_path, first):
    """Both extension modules hold a bus-error handler, each chained to the one
    before it: a file cut while the batch reads it fails with OSError either way."""
    small, path = tmp_path / "small.psf", tmp_path / "shrinking.psf"
    big_header_file(small, 16)
    for attempt in range(20):
        big_header_file(path, 400_000_000)
        proc = subprocess.Popen([sys.executable, "-c", SHRINK, str(small), str(path), first],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.02 * (attempt % 5))  # now and then the worker has opened the file
        os.truncate(path, 64 * 1024)
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        if out.startswith("OSError"):
            assert "the file shrank while it was being read" in out
            return
    pytest.fail("the cut never landed while the file was being read")


# ---- read_many: hostile callers ----


def run_child(script, *args, timeout=120):
    """Runs `script` in a fresh interpreter; its stdout's words. A hang fails the
    test by the timeout instead of stalling the run."""
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True,
                         text=True, timeout=timeout,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


SIGNALLED = """
import signal, sys, quarn
slow, good, mode = sys.argv[1:]
class Timeout(Exception):
    pass
def handler(*_):
    raise Timeout()
signal.signal(signal.SIGALRM, handler)
paths = [good if i % 2 else slow for i in range(400)]  # more than are read before the alarm
it = quarn.read_many(paths if mode == "list" else iter(paths), workers=1, errors="return")
got = []
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    for r in it:
        got.append(r)
except Timeout:
    print("timeout")
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(got) < len(paths), next(it, "done"))
# Each result is its own path's: slow files fail, good ones read.
print(all(isinstance(r, quarn.Psf) == (p == good) for p, r in zip(paths, got)))
"""


@pytest.mark.parametrize("mode", ["list", "generator"])
def test_many_signal_handler_exception_propagates(tmp_path, write, mode):
    """An Exception from a SIGALRM handler while the iteration waits ends it;
    it never stands in for a file, and the results before it are each their own."""
    slow = tmp_path / "slow.psfbin"
    big_header_file(slow, 1 << 27, misplaced_end=True)
    good = write(REALISTIC["dcop"]()[0].to_bytes())
    assert run_child(SIGNALLED, slow, good, mode) == ["timeout", "True", "done", "True"]


FEEDBACK = """
import queue, sys, time, quarn
paths = sys.argv[1:]
# The next path depends on the last result: the generator waits for it.
q = queue.Queue()
q.put(paths[0])
def feedback():
    for _ in range(12):
        yield q.get()
for i, r in enumerate(quarn.read_many(feedback(), workers=2)):
    q.put(paths[len(r.sweeps[0].data) % len(paths)])
print(i + 1)
# One path every 0.4 s: the first result comes when its file is read, not when
# more paths have been pulled.
pulled = 0
def slow():
    global pulled
    for p in paths * 3:
        pulled += 1
        yield p
        time.sleep(0.4)
start = time.monotonic()
it = quarn.read_many(slow(), workers=2)
next(it)
print(pulled, time.monotonic() - start < 0.35)
it.close()
"""


def test_many_feedback_and_slow_paths(write):
    paths = [write(REALISTIC["ac"](points=n)[0].to_bytes()) for n in (3, 4, 5)]
    assert run_child(FEEDBACK, *paths, timeout=60) == ["12", "1", "True"]


def failing(paths, exc):
    yield from paths
    raise exc


@pytest.mark.parametrize("errors", ["raise", "return"])
@pytest.mark.parametrize("inline", [False, True])
def test_many_iterable_that_raises_keeps_the_results_before_it(write, errors, inline):
    paths = [write(REALISTIC[name]()[0].to_bytes()) for name in ("ac", "dcop", "tran", "ac")]
    if errors == "return":
        paths.insert(2, write(b"not a result" * 4))
    boom = RuntimeError("no more paths")
    if inline:  # the way a list is taken, given an iterator
        it = quarn._batch._iterate(failing(paths, boom), 2, errors == "return", None, True, 1 << 30)
    else:
        it = quarn.read_many(failing(paths, boom), workers=2, errors=errors)
    got = []
    with pytest.raises(RuntimeError) as e:
        for r in it:
            got.append(r)
    assert e.value is boom
    assert [fingerprint(r) for r in got] == [fingerprint(r) for r in one_by_one(paths)]


@pytest.mark.parametrize("paths, workers, threads", [
    (3, 1000, {3}),          # never more threads than the files of a list
    ({"a", "b"}, 8, {2, 3}),  # nor than those of another sized iterable (its thread may be done)
    (None, 10**6, {64 + 1}),  # at most 64, and the thread that takes the paths
    (None, 2**32 + 1, {64 + 1}),
    (0, 8, {0}),
])
def test_many_thread_bound(write, paths, workers, threads):
    path = write(REALISTIC["dcop"]()[0].to_bytes())
    if isinstance(paths, set):  # two names of one file
        paths = {path, os.path.join(os.path.dirname(path), ".", os.path.basename(path))}
    total = 1000 if paths is None else len(paths) if isinstance(paths, set) else paths
    source = (paths if isinstance(paths, set) else
              [path] * total if paths is not None else (path for _ in range(total)))
    before = threads_and_fds()
    it = quarn.read_many(source, workers=workers)
    first = next(it, None)
    assert threads_and_fds()[0] - before[0] in threads
    assert (first is None) == (total == 0) and len(list(it)) == max(total - 1, 0)
    assert settles_to(before), (threads_and_fds(), before)


BYTES = """
import re, sys, time, quarn
def peak_kib():  # this process's own (ru_maxrss may hold the parent's, from before exec)
    return int(re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read()).group(1))
path, limit = sys.argv[1], int(sys.argv[2])
quarn.read_psf(path)
start = peak_kib()
for psf in quarn.read_many([path] * 60, workers=8, read_ahead_bytes=limit):
    time.sleep(0.01)  # a slow caller: the workers run ahead as far as they may
print(peak_kib() - start)
"""


@UNSANITIZED
def test_many_read_ahead_is_bounded_in_bytes(write):
    """Files of 9.6 MB on 8 workers: with a bound of one byte (each file is larger,
    and is still read, alone) or of two files, the peak grows by a few files
    (those mapped and parsed, the one handed out), not by the window's 16."""
    path = write(REALISTIC["tran"](points=400000, window=2048)[0].to_bytes())
    grown_kib = {limit: int(run_child(BYTES, path, limit, timeout=300)[0])
                 for limit in (1, 20_000_000, 1 << 40)}
    assert grown_kib[1] < 10 * 9600 and grown_kib[20_000_000] < 10 * 9600, grown_kib
    assert grown_kib[1 << 40] > 12 * 9600, grown_kib  # the window alone allows that much


def test_many_failures_name_their_path(write, tmp_path):
    bad = write(b"not a result" * 4)
    missing = str(tmp_path / "missing.psfbin")
    for path, named_in_message in ((bad, False), (missing, True)):
        with pytest.raises((OSError, ValueError)) as e:
            list(quarn.read_many([path]))
        assert (path in str(e.value)) == named_in_message
        assert (f"while reading {path}" in getattr(e.value, "__notes__", [])) != named_in_message
    pytest.importorskip("xarray")
    good = write(REALISTIC["ac"]()[0].to_bytes())
    with pytest.raises(ValueError) as e:
        quarn.read_runs([good, bad])
    assert f"while reading {bad}" in e.value.__notes__


def test_many_unencodable_path_fails_in_place(write):
    good = write(REALISTIC["dcop"]()[0].to_bytes())
    got = list(quarn.read_many([good, "\ud800.psfbin", good], errors="return"))
    assert [type(r) for r in got] == [quarn.Psf, UnicodeEncodeError, quarn.Psf]
    assert got[1].__context__ is None and not hasattr(got[1], "__notes__")


EXIT = """
import sys, threading, time, quarn
path, mode = sys.argv[1:]
def forever():
    while True:
        yield path
if mode == "unfinished":
    it = quarn.read_many(forever(), workers=2)
    next(it)
else:  # a daemon thread still reading
    def consume():
        for _ in quarn.read_many(forever(), workers=2):
            time.sleep(0.001)
    threading.Thread(target=consume, daemon=True).start()
    time.sleep(0.3)
print("exit")
"""


@pytest.mark.parametrize("mode", ["unfinished", "daemon"])
def test_many_at_interpreter_exit(write, mode):
    """Threads that wait with the interpreter lock released when the interpreter
    exits are ended by it: the process exits cleanly, it does not abort."""
    path = write(REALISTIC["tran"](points=40000)[0].to_bytes())
    assert run_child(EXIT, path, mode, timeout=60) == ["exit"]


# ---- read_runs ----

def test_runs_stack_along_a_new_dimension(write):
    xr = pytest.importorskip("xarray")
    paths = [write(REALISTIC["ac"]()[0].to_bytes()) for _ in range(3)]
    ds = quarn.read_runs(paths)
    want = [quarn.to_xarray(quarn.read_psf(p)) for p in paths]
    assert list(ds.sizes) == ["run", *want[0].sizes] and list(ds["run"].values) == paths
    for i, w in enumerate(want):
        xr.testing.assert_identical(ds.isel(run=i, drop=True).drop_attrs(), w.drop_attrs())
    labelled = quarn.read_runs(paths, dim="corner", labels=["tt", "ff", "ss"])
    assert list(labelled["corner"].values) == ["tt", "ff", "ss"]


@pytest.mark.parametrize("other, difference", [
    (lambda: REALISTIC["ac"](points=40), "dimension 'freq' has 40 points, not 41"),
    (lambda: REALISTIC["noise"](), "its variables differ: missing "),
    (lambda: REALISTIC["dcop"](), "its variables differ: missing "),
])
def test_runs_mismatch_names_the_file_and_the_difference(write, other, difference):
    pytest.importorskip("xarray")
    first, same = (write(REALISTIC["ac"]()[0].to_bytes()) for _ in range(2))
    odd = write(other()[0].to_bytes())
    with pytest.raises(ValueError) as e:
        quarn.read_runs([first, same, odd, first])
    assert str(e.value).startswith(f"read_runs: {odd} does not match {first}: {difference}")
    with pytest.raises(ValueError, match="^read_runs: 1 labels for 2 paths$"):
        quarn.read_runs([first, same], labels=["a"])
