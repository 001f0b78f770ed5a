"""A file that shrinks while it is mapped must fail the read, not kill the interpreter."""

import os
import signal
import struct
import subprocess
import sys
import time

import pytest

import psfwriter

READER = """
import sys, quarn
print("ready", flush=True)
try:
    quarn.read_psf(sys.argv[1])
    print("ok")
except (OSError, ValueError) as e:
    print(type(e).__name__, e)
"""


def big_header_file(path, payload, misplaced_end=False):
    """A valid file whose HEADER holds one string property of `payload` bytes;
    with `misplaced_end`, one that a parse rejects only after checking the
    string, where the HEADER's end is not where it says (slow to read, cheap to
    report)."""
    extra = struct.pack(">I", 99) if misplaced_end else b""
    head = struct.pack(">6I", 0, 21, 28 + payload + 4 + len(extra), 33, 1, 0)
    head = head[:20] + b"n\0\0\0" + struct.pack(">I", payload)
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(len(head) + payload)  # the string: zero bytes, valid UTF-8
        f.seek(len(head) + payload)
        f.write(extra + b"Clarissa\0\0\0\0")
    return os.path.getsize(path)


def run_reader(path, **kw):
    return subprocess.Popen(
        [sys.executable, "-c", READER, str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kw,
    )


def test_intact_big_file_reads(tmp_path):
    path = tmp_path / "big.psf"
    big_header_file(path, 1 << 20)
    proc = run_reader(path)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert out.split() == ["ready", "ok"]


# On a page boundary the reader faults on the next page; inside a page the rest
# of that page reads as zeros, and the read must still be reported as shrunk.
CUTS = [64 * 1024, 64 * 1024 + 1000]


def cut_while_reading(path, write, cut):
    """Writes the file with `write()` (which returns its size), starts a reader
    and cuts the file to `cut` bytes while the reader opens or walks it, again
    and again; the reader must never die. Returns the outcomes."""
    outcomes = []
    for attempt in range(10):
        size = write()
        proc = run_reader(path)
        assert proc.stdout.readline().strip() == "ready"
        # The reader is about to open the file or already walks it.
        time.sleep(0.01 * (attempt % 4))
        os.truncate(path, cut)
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, f"reader died with {proc.returncode}: {err}"
        line = out.strip()
        if line.startswith("OSError"):
            prefix = f"OSError cannot read {path}: the file shrank while it was being read (no data at offset "
            assert line.startswith(prefix) and line.endswith(")"), line
            offset = int(line[len(prefix):-1])
            assert cut <= offset < size
            outcomes.append("shrank")
            if outcomes.count("shrank") >= 3:
                break
        else:
            # Cut before the file was opened: an ordinary small file without its footer.
            assert line in ("ok", "ValueError footer magic 'Clarissa' not found (not a psfbin file?)"), line
            outcomes.append(line)
    return outcomes


@pytest.mark.parametrize("cut", CUTS)
def test_truncated_while_reading_raises_oserror(tmp_path, cut):
    """Another process cuts the file while the reader walks its header."""
    path = tmp_path / "shrinking.psf"
    outcomes = cut_while_reading(path, lambda: big_header_file(path, 400_000_000), cut)
    assert "shrank" in outcomes, outcomes


@pytest.mark.parametrize("cut", CUTS)
def test_truncated_while_threads_decode_raises_oserror(tmp_path, cut):
    """The samples of a large body are decoded by several threads at once: a
    cut that one of them runs into fails the read the same way."""
    path = tmp_path / "shrinking.psf"
    data = psfwriter.transient(points=6_000_000, window=2048)[0].to_bytes()

    def write():
        path.write_bytes(data)
        return len(data)

    outcomes = cut_while_reading(path, write, cut)
    assert "shrank" in outcomes, outcomes


def test_foreign_bus_error_is_not_swallowed(tmp_path):
    """A SIGBUS that is not a read of a file being parsed still ends the process."""
    path = tmp_path / "small.psf"
    big_header_file(path, 16)
    code = (
        "import os, signal, sys, quarn\n"
        "quarn.read_psf(sys.argv[1])\n"
        "os.kill(os.getpid(), signal.SIGBUS)\n"
        "print('survived')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == -signal.SIGBUS, (proc.returncode, proc.stdout, proc.stderr)
    assert "survived" not in proc.stdout


@pytest.mark.parametrize("enable_first", [True, False])
def test_bus_error_chains_to_faulthandler(tmp_path, enable_first):
    """A handler installed before the reader's still sees foreign bus errors."""
    path = tmp_path / "small.psf"
    big_header_file(path, 16)
    steps = ["faulthandler.enable()", "quarn.read_psf(sys.argv[1])"]
    if not enable_first:
        steps.reverse()
    code = "import faulthandler, os, signal, sys, quarn\n" + "\n".join(steps) + "\nos.kill(os.getpid(), signal.SIGBUS)\n"
    proc = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == -signal.SIGBUS
    assert "Bus error" in proc.stderr


@pytest.mark.parametrize("make, message", [
    (lambda p: os.mkfifo(p), "cannot mmap {}: No such device (os error 19)"),
    (lambda p: __import__("socket").socket(__import__("socket").AF_UNIX).bind(str(p)),
     "cannot open {}: No such device or address (os error 6)"),
], ids=["fifo-without-writer", "unix-socket"])
def test_special_files_fail_at_once(tmp_path, make, message):
    """Nothing that is not a regular file may block the open."""
    path = tmp_path / "special"
    make(path)
    code = "import sys, quarn\ntry:\n    quarn.read_psf(sys.argv[1])\nexcept OSError as e:\n    print(e)\n"
    proc = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
    assert proc.stdout.strip() == message.format(path), proc.stderr
