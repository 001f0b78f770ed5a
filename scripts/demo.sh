#!/usr/bin/env bash
# One command for a newcomer: installs what is missing, builds and installs quarn into
# the virtual environment .venv of this repository, and prints the example files shipped
# in examples/ (or the psfbin files given as arguments).
#
#   bash scripts/demo.sh                  # the shipped examples
#   bash scripts/demo.sh path/to/file ... # your own files
#
# Safe to run again: the second run reuses .venv and rebuilds only what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

venv=$QUARN_ROOT/.venv

ensure_build_prereqs
log "virtual environment: $venv"
make_venv "$venv"

log "building and installing quarn (pip install .; compiling takes a minute or two the first time)"
run_logged "$QUARN_ROOT/build/logs/demo-install.log" \
  "$venv/bin/python" -m pip install "$QUARN_ROOT"
"$venv/bin/python" -c 'import quarn; print("installed quarn", quarn.__version__, "at", quarn.__path__[0])'

log "reading the example files"
# `python examples/show.py` puts examples/ (not python/) on sys.path, so the installed
# package is the one imported.
exec "$venv/bin/python" "$QUARN_ROOT/examples/show.py" "$@"
