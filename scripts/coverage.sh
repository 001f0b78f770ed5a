#!/usr/bin/env bash
# Line and branch coverage of the Python-free core, measured and held.
#
#   scripts/coverage.sh [--html]
#
# Builds the C++ tests, the fuzz corpus replay and the allocation-failure
# harness with g++ --coverage (no optimisation, so every branch in the source is
# one in the object code), runs them, and prints the line and branch coverage
# of the core: src/types, src/reader, src/driver (less assemble.cpp, which is
# the Python half), src/batch and src/lazy. The branch figure counts the
# branches of the source's own decisions: gcovr drops the branches gcc adds for
# exception paths (--exclude-throw-branches) and those it proved dead
# (--exclude-unreachable-branches); a branch that no input can reach carries a
# GCOVR_EXCL_BR_LINE marker with the reason on its line.
#
# Fails when branch coverage falls below the floor in scripts/coverage-floor.txt
# (raise that figure when coverage rises; it never goes down).
#
# Knobs: BUILD_DIR (default build/coverage), JOBS (default 2), CXX (default g++),
# COV_VENV (default .venv-cov: a venv of this script's own with gcovr).
set -euo pipefail

main() {
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=${BUILD_DIR:-$root/build/coverage}
  venv=${COV_VENV:-$root/.venv-cov}
  floor_file=$root/scripts/coverage-floor.txt
  html=0
  [[ ${1:-} == --html ]] && html=1

  if ! "$venv/bin/gcovr" --version >/dev/null 2>&1; then
    echo "==> gcovr into $venv"
    rm -rf "$venv"
    "${PYTHON:-python3}" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "gcovr>=7"
  fi

  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  # Atomic counters: the body decode and the batch run on several threads.
  local flags="-O0 -g --coverage -fprofile-update=atomic"
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="${CXX:-g++}" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_PYTHON=OFF \
    >/dev/null
  cmake --build "$build" -j "${JOBS:-2}"

  # Counters from an earlier run would inflate this one.
  find "$build" -name '*.gcda' -delete
  echo "==> tests"
  (cd "$build" && ctest --output-on-failure --no-tests=error -j "${JOBS:-2}")

  echo "==> coverage of the core"
  local report=$build/coverage.json
  local args=(--root "$root" --object-directory "$build"
    --filter "$root/src/(types|reader|driver|batch|lazy)/"
    --exclude "$root/src/driver/assemble\.cpp"
    --gcov-exclude-directories ".*/CMakeFiles/[0-9][^/]*/"
    --exclude-throw-branches --exclude-unreachable-branches
    --gcov-ignore-parse-errors=negative_hits.warn_once_per_file
    --exclude-lines-by-pattern '.*\bassert\(.*'
    -j "${JOBS:-2}")
  if ((html)); then
    mkdir -p "$build/coverage-html"
    args+=(--html-details "$build/coverage-html/index.html")
  fi
  "$venv/bin/gcovr" "${args[@]}" --print-summary --txt-metric branch \
    --txt "$build/coverage.txt" --json-summary "$report" --json-summary-pretty
  # The files with branches left, fewest first.
  awk 'NR > 5 && $0 !~ /100%/ && /%/' "$build/coverage.txt" || true
  ((html)) && echo "HTML report: $build/coverage-html/index.html"

  local branch floor
  branch=$("$venv/bin/python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["branch_percent"])' "$report")
  floor=$(grep -Eo '^[0-9.]+' "$floor_file")
  echo "branch coverage ${branch}% (floor ${floor}%)"
  if ! "$venv/bin/python" -c 'import sys; sys.exit(float(sys.argv[1]) + 1e-9 < float(sys.argv[2]))' "$branch" "$floor"; then
    echo "coverage.sh: branch coverage ${branch}% fell below the floor ${floor}% ($floor_file)" >&2
    exit 1
  fi
}

main "$@"
exit
