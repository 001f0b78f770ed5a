"""The `quarn` command: `quarn info`, `quarn export` and `quarn plot` on result files.

Exit codes: 0 success; 1 a file could not be read or written, or the output could not be
written (the message, and any note on it, on stderr); 2 a usage error; 130 interrupted
(Ctrl-C). `python -m quarn` runs the same command.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import argparse

#: The exit code of an interrupted command, as a shell gives it for SIGINT.
INTERRUPTED = 130


def build_parser() -> argparse.ArgumentParser:
    import argparse

    from .. import __version__
    from . import export, info, plot

    parser = argparse.ArgumentParser(
        prog="quarn", description="Read psfbin circuit-simulation results: describe, export, plot.")
    parser.add_argument("--version", action="version", version=f"quarn {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for command in (info, export, plot):
        command.add_parser(commands)
    return parser


def _quiet_stdout() -> None:
    """Points stdout at nothing, so that the interpreter's final flush of what is left in
    its buffer does not fail a second time."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's) and returns the exit code.

    The subcommands (and NumPy with them) are imported here, so that an interrupt
    while they load ends the command like one during its work."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        print("quarn: interrupted", file=sys.stderr)
        return INTERRUPTED


def _run(argv: Sequence[str] | None) -> int:
    from ._common import CommandError, UsageError, escape

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version, usage errors: argparse printed them
        return exc.code if isinstance(exc.code, int) else 2
    try:
        code: int = args.run(args)
        sys.stdout.flush()
        return code
    except UsageError as exc:
        args.parser.print_usage(sys.stderr)
        print(f"{args.parser.prog}: error: {escape(str(exc))}", file=sys.stderr)
        return 2
    except (CommandError, ImportError) as exc:
        print(f"quarn: error: {escape(str(exc))}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (`quarn info DIR | head`): not an error of ours.
        _quiet_stdout()
        return 0
    except OSError as exc:
        # The commands turn every failure of a file into a message or CommandError: what
        # is left is writing the output itself (`quarn info > /dev/full`).
        _quiet_stdout()
        print(f"quarn: error: cannot write the output: {exc.strerror or exc}", file=sys.stderr)
        return 1
