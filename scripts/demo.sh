#!/usr/bin/env bash
# One command for a newcomer: installs what is missing, builds and installs quarn (with
# matplotlib, for plots) into the virtual environment .venv of this repository, prints the
# example files shipped in examples/ (or the psfbin files given as arguments), describes
# the examples with `quarn info` and draws a Bode plot of examples/ac.psfbin into a PNG.
#
#   bash scripts/demo.sh                  # the shipped examples
#   bash scripts/demo.sh path/to/file ... # your own files
#
# Safe to run again: the second run reuses .venv and rebuilds only what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

venv=$QUARN_ROOT/.venv
examples=$QUARN_ROOT/examples
plot=$QUARN_ROOT/build/demo/bode.png

ensure_build_prereqs
ensure_compiler_cache
log "virtual environment: $venv"
make_venv "$venv"
run_logged "$QUARN_ROOT/build/logs/demo-backend.log" install_build_backend "$venv"

# Not isolated: the build directory build/<wheel tag>/ is kept, so a second run compiles
# only what changed (the log shows what ninja did).
log "building and installing quarn with its plot extra (pip install '.[plot]'; compiling takes a minute or two the first time)"
run_logged "$QUARN_ROOT/build/logs/demo-install.log" \
  "$venv/bin/python" -m pip install -v --no-build-isolation "$QUARN_ROOT[plot]"
"$venv/bin/python" -c 'import quarn; print("installed quarn", quarn.__version__, "at", quarn.__path__[0])'

log "reading the example files"
# `python examples/show.py` puts examples/ (not python/) on sys.path, so the installed
# package is the one imported.
status=0
"$venv/bin/python" "$examples/show.py" "$@" || status=$?

log "quarn info on the examples"
"$venv/bin/quarn" info "$examples/ac.psfbin" "$examples/opinfo.psfbin" || status=$?

log "a Bode plot of examples/ac.psfbin"
mkdir -p "$(dirname "$plot")"
if "$venv/bin/quarn" plot "$examples/ac.psfbin" -o "$plot" >/dev/null; then
  printf 'the Bode plot is in %s\n' "$plot"
else
  status=$?
fi
exit "$status"
