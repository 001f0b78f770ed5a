"""The `quarn` command: `quarn info`, `quarn export` and `quarn plot` on result files.

Exit codes: 0 success; 1 a file could not be read or written (the message, and any note
on it, on stderr); 2 a usage error. `python -m quarn` runs the same command.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from .. import __version__
from . import export, info, plot
from ._common import CommandError, UsageError


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarn", description="Read psfbin circuit-simulation results: describe, export, plot.")
    parser.add_argument("--version", action="version", version=f"quarn {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for command in (info, export, plot):
        command.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's) and returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version, usage errors: argparse printed them
        return exc.code if isinstance(exc.code, int) else 2
    try:
        code: int = args.run(args)
        return code
    except UsageError as exc:
        args.parser.print_usage(sys.stderr)
        print(f"{args.parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    except (CommandError, ImportError) as exc:
        print(f"quarn: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (`quarn info DIR | head`): not an error of ours.
        # Point stdout at nothing so that the interpreter's final flush does not complain.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        print("quarn: interrupted", file=sys.stderr)
        return 130
