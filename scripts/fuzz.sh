#!/usr/bin/env bash
# Builds the libFuzzer target of the parse core (clang-14, ASan + UBSan) and
# fuzzes it for a bounded time, starting from the seed corpus and every saved
# finding.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]    # default 60 s
#
# New inputs go to $BUILD_DIR/corpus (the committed fuzz/corpus is only read);
# a crash, leak, timeout or out-of-memory input is written to
# $BUILD_DIR/artifacts/ and the script exits non-zero. Minimise a finding
# with
#   $BUILD_DIR/fuzz/quarn_fuzz -minimize_crash=1 -runs=100000 CRASH_FILE
# and keep the result in fuzz/regressions/ (the test run replays it).
#
# Knobs: BUILD_DIR (default build-fuzz), CXX (default clang++-14),
# MAX_LEN (default 65536), RSS_LIMIT_MB (default 2048), JOBS (build, default 2),
# SANITIZE (default address,undefined; `undefined` alone for long runs).
set -euo pipefail

# The whole script is one function, read before it runs: editing the file
# during a long session cannot change what the running shell does next.
main() {
  root=$(cd "$(dirname "$0")/.." && pwd)
  seconds=${1:-60}
  shift || true
  build=${BUILD_DIR:-$root/build-fuzz}
  cxx=${CXX:-clang++-14}

  command -v "$cxx" >/dev/null || {
    echo "fuzz.sh: $cxx not found (apt-get install clang-14 libclang-rt-14-dev)" >&2
    exit 2
  }
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ -f $build/CMakeCache.txt ]] && ! grep -q "CMAKE_CXX_COMPILER:.*=.*$(basename "$cxx")" "$build/CMakeCache.txt"; then
    rm -rf "$build"  # made with another compiler
  fi
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DQUARN_BUILD_FUZZ=ON -DQUARN_BUILD_PYTHON=OFF \
    -DQUARN_BUILD_TESTS=OFF -DQUARN_FUZZ_SANITIZE="${SANITIZE:-address,undefined}" >/dev/null
  cmake --build "$build" --target quarn_fuzz -j "${JOBS:-2}"

  mkdir -p "$build/corpus" "$build/artifacts"
  # Reports with file:line when Debian's llvm-14 is there (its symbolizer has no
  # unsuffixed name on PATH).
  if [[ -z ${ASAN_SYMBOLIZER_PATH:-} && -x /usr/lib/llvm-14/bin/llvm-symbolizer ]]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
  fi
  # Inputs that crash stop the run with a report; UBSan findings abort too.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:allocator_may_return_null=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  set -x
  "$build/fuzz/quarn_fuzz" \
    -max_total_time="$seconds" \
    -max_len="${MAX_LEN:-65536}" \
    -rss_limit_mb="${RSS_LIMIT_MB:-2048}" \
    -timeout=20 \
    -dict="$root/fuzz/psfbin.dict" \
    -artifact_prefix="$build/artifacts/" \
    -print_final_stats=1 \
    "$@" \
    "$build/corpus" "$root/fuzz/corpus" "$root/fuzz/regressions"
}

main "$@"
exit
