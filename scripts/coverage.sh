#!/usr/bin/env bash
# Line and branch coverage of the Python-free core, measured and held.
#
#   scripts/coverage.sh [--html]
#
# Builds the C++ tests, the fuzz corpus replay and the allocation-failure
# harness with clang's source-based coverage (-fprofile-instr-generate
# -fcoverage-mapping, no optimisation), runs them through ctest, and prints the
# line and branch coverage of the core: src/types, src/reader, src/driver (less
# assemble.cpp, the Python half), src/batch, src/lazy and src/split.
#
# A branch is a condition of the source, counted as two outcomes (taken, not
# taken): each if/while/for/?: test, each operand of && and ||. Unlike gcc's
# object-code branches there is no noise from exception edges or from the
# copies of inline functions, so 100% is reachable. A condition no input can
# decide both ways carries `LCOV_EXCL_BR_LINE: <reason>` on its line
# (scripts/coverage_report.py leaves it out and counts it).
#
# Fails when a test fails or when branch coverage falls below the floor in
# scripts/coverage-floor.txt (raise that figure when coverage rises; it never
# goes down).
#
# Knobs: BUILD_DIR (default build/coverage), JOBS (default 2), LLVM_VERSION
# (default 14: clang++-14, llvm-profdata-14, llvm-cov-14).
set -euo pipefail

main() {
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=${BUILD_DIR:-$root/build/coverage}
  v=${LLVM_VERSION:-14}
  for tool in clang++-$v llvm-profdata-$v llvm-cov-$v; do
    command -v "$tool" >/dev/null || {
      echo "coverage.sh: $tool not found (apt-get install clang-$v llvm-$v)" >&2
      exit 2
    }
  done

  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ -f $build/CMakeCache.txt ]] && ! grep -q "CMAKE_CXX_COMPILER:.*=.*clang++-$v" "$build/CMakeCache.txt"; then
    rm -rf "$build"  # made with another compiler
  fi
  local flags="-O0 -g -fprofile-instr-generate -fcoverage-mapping"
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="clang++-$v" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
    -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_PYTHON=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-2}"

  # One profile per program, shared by its concurrent runs (%4m: a pool of 4
  # files per binary, merged online), so 400 test processes leave a few files.
  rm -rf "$build/profiles" && mkdir -p "$build/profiles"
  echo "==> tests"
  (cd "$build" && LLVM_PROFILE_FILE="$build/profiles/%4m.profraw" \
    ctest --output-on-failure --no-tests=error -j "${JOBS:-2}")

  echo "==> coverage of the core"
  "llvm-profdata-$v" merge -sparse -o "$build/core.profdata" "$build"/profiles/*.profraw
  # Every test program that links the core.
  local objects=() exe
  while IFS= read -r exe; do
    objects+=(-object "$exe")
  done < <(find "$build/tests" "$build/fuzz" -maxdepth 2 -type f -perm -u+x -name 'quarn_*' | sort)
  "llvm-cov-$v" export -instr-profile="$build/core.profdata" "${objects[@]}" \
    -skip-functions >"$build/coverage.json" 2> >(grep -v 'mismatched data' >&2)
  if [[ ${1:-} == --html ]]; then
    "llvm-cov-$v" show -instr-profile="$build/core.profdata" "${objects[@]}" -format=html \
      -show-branches=count -output-dir="$build/coverage-html" "$root"/src/{types,reader,driver,text,split}
    echo "HTML report: $build/coverage-html/index.html"
  fi
  python3 "$root/scripts/coverage_report.py" "$build/coverage.json" "$root" \
    "$root/scripts/coverage-floor.txt"
}

main "$@"
exit
