#!/usr/bin/env bash
# Runs the tests against builds with AddressSanitizer and UndefinedBehaviorSanitizer
# (g++, -DQUARN_SANITIZE=ON):
#   cpp     the C++ tests, the fuzz corpus replay included, under LeakSanitizer
#   python  the Python test suite against a sanitizer build of the extension
#
#   PYTHON=/path/to/venv/bin/python scripts/sanitize-tests.sh [cpp] [python] [-- pytest args...]
#
# PYTHON is an interpreter with NumPy and pytest installed (default python3). The
# extension is built into $BUILD_DIR/python (default build-asan/python) and put on
# PYTHONPATH through a package directory of its own, so the working tree's
# python/quarn/ keeps its ordinary build. The interpreter is not built with ASan, so
# the runtime is preloaded:
#   LD_PRELOAD=$(g++ -print-file-name=libasan.so) \
#   ASAN_OPTIONS=detect_leaks=0:handle_sigbus=0 PYTHONPATH=build-asan/python/pkg \
#   python -m pytest tests
# Leak detection is off for the interpreter (it keeps its own memory at exit; the
# leak tests of tests/test_hostile.py measure the extension instead) and SIGBUS is
# left to the extension's own handling. Child interpreters started by the tests
# inherit the environment, so they run the sanitizer build too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-asan}
python=${PYTHON:-python3}
jobs=${JOBS:-2}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DQUARN_SANITIZE=ON)
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0

run_cpp() {
  echo "==> C++ tests under ASan, UBSan and LeakSanitizer ($build/cpp)"
  cmake -S "$root" -B "$build/cpp" "${generator[@]}" "${common[@]}" \
    -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$build/cpp" -j "$jobs"
  (cd "$build/cpp" &&
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1} \
      ctest --output-on-failure --no-tests=error -j "$jobs") || status=1
}

run_python() {
  echo "==> Python tests against the sanitizer build of the extension ($build/python)"
  local exe
  exe=$("$python" -c 'import sys; print(sys.executable)')
  cmake -S "$root" -B "$build/python" "${generator[@]}" "${common[@]}" \
    -DQUARN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$exe" >/dev/null
  cmake --build "$build/python" -j "$jobs"
  # A package of its own: the Python sources of python/quarn plus this build's modules.
  local pkg=$build/python/pkg/quarn so
  rm -rf "$pkg" && mkdir -p "$pkg"
  # The whole package (subpackages such as quarn.cli too), less compiled modules and caches.
  cp -r "$root"/python/quarn/. "$pkg"/
  find "$pkg" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
  for so in "$build/python"/_quarn*.so "$build/python"/_native*.so; do
    if [[ -e $so ]]; then ln -s "$so" "$pkg/$(basename "$so")"; fi
  done
  local libasan
  libasan=$(g++ -print-file-name=libasan.so)
  [[ -f $libasan ]] || { echo "sanitize-tests.sh: libasan.so not found ($libasan)" >&2; exit 2; }
  # With libstdc++ loaded from the start, ASan finds the real __cxa_throw when another
  # C++ extension (matplotlib's, say) throws; without it, ASan aborts on the first throw.
  local libstdcxx
  libstdcxx=$(g++ -print-file-name=libstdc++.so)
  (cd "$root" &&
    LD_PRELOAD="$libasan $libstdcxx" \
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:handle_sigbus=0:abort_on_error=1} \
    PYTHONPATH=$build/python/pkg \
      "$python" -m pytest -q -p no:cacheprovider tests "$@") || status=1
}

# The whole run is one function, read before it starts: editing this file
# while it runs cannot change what the running shell does next.
main() {
  steps=()
  while (($#)); do
    case $1 in
      cpp | python) steps+=("$1"); shift ;;
      --) shift; break ;;
      *) echo "sanitize-tests.sh: unknown step '$1' (cpp, python, then -- pytest args)" >&2; exit 2 ;;
    esac
  done
  ((${#steps[@]})) || steps=(cpp python)

  for step in "${steps[@]}"; do
    case $step in
      cpp) run_cpp ;;
      python) run_python "$@" ;;
    esac
  done
  exit $status
}

main "$@"
