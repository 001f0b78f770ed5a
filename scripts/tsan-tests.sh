#!/usr/bin/env bash
# Runs the C++ tests (the batch reader, the thread budget, the multi-threaded
# body decode, and the rest) against a ThreadSanitizer build of the core:
#   scripts/tsan-tests.sh [ctest args...]
# Builds into $BUILD_DIR (default build-tsan) with g++ and -DQUARN_TSAN=ON; a
# data race or a lock-order problem fails the test it happens in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-tsan}
jobs=${JOBS:-2}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DQUARN_TSAN=ON -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "$jobs"
# halt_on_error: the first report ends the test with a failure; the report's
# stacks name the racing accesses.
cd "$build"
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  ctest --output-on-failure --no-tests=error -j "$jobs" "$@"
