#!/usr/bin/env bash
# Developer build: compiles the extension and the C++ tests with CMake into
# build-dev/ (or $BUILD_DIR) and links the module into python/quarn/, so that
# `PYTHONPATH=python pytest` runs against the working tree without reinstalling.
#   PYTHON=/path/to/venv/bin/python scripts/dev-build.sh [extra cmake args]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
build=${BUILD_DIR:-$here/build-dev}
mkdir -p "$build"
# One build at a time per folder: concurrent ninja runs in one tree corrupt it.
exec 9>"$build/.dev-build.lock"
flock 9
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DQUARN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')" \
  "$@" >/dev/null
cmake --build "$build"
# Every extension module of the package (_quarn, _native).
for so in "$build"/_quarn*.so "$build"/_native*.so; do
  [[ -e $so ]] || continue
  ln -sf "$so" "$here/python/quarn/$(basename "$so")"
  echo "built $so"
done
