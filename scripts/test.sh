#!/usr/bin/env bash
# One command that installs what is missing and runs every test:
#   cpp     the C++ tests (GoogleTest, through ctest)
#   np1     the Python tests against the installed package with NumPy 1.x and the oldest
#           releases of the optional libraries that pyproject.toml allows
#           (scripts/constraints-np1.txt)
#   np2     the Python tests against the installed package with NumPy 2.x and the newest
#           releases of the optional libraries
#   types   mypy --strict over python/quarn and examples/ (in the NumPy 2.x venv)
#   tsan    the C++ tests against a ThreadSanitizer build (scripts/tsan-tests.sh)
#   coverage  line and branch coverage of the core, held at a floor (scripts/coverage.sh)
#   tsan-python  the Python tests of the batch and lazy readers against a ThreadSanitizer
#           build of the extension modules (scripts/trust-steps.sh)
#   asan    the C++ tests (LeakSanitizer on) and the Python tests against builds with
#           AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize-tests.sh)
#   fuzz    a bounded fuzzing session of the parse core (scripts/fuzz.sh, FUZZ_SECONDS)
#
#   bash scripts/test.sh            # everything
#   bash scripts/test.sh cpp np2    # only the steps named
#
# Each step prints its runner's own summary; the last line is the total. The exit code
# is non-zero when any step failed. Safe to run again: venvs and build trees are reused.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/trust-steps.sh"

BUILD=$QUARN_ROOT/build
LOGS=$BUILD/logs
TOOLS_VENV=$QUARN_ROOT/.venv-tools
WHEEL_DIR=$BUILD/test-wheel
SDIST_SRC=$BUILD/test-sdist/quarn
JOBS=${JOBS:-2}

# Debian packages the steps need; later steps (sanitizers, benchmarks, fuzzing) use the rest.
# llvm-14 brings llvm-symbolizer-14, which turns sanitizer and fuzzer reports into file:line.
APT_PACKAGES=(g++ libgtest-dev libbenchmark-dev clang-14 libclang-rt-14-dev llvm-14)

declare -a SUMMARY=()
TOTAL_PASSED=0 TOTAL_FAILED=0 TOTAL_SKIPPED=0 FAILED_STEPS=0

# record STEP PASSED FAILED SKIPPED [NOTE]
record() {
  local step=$1 passed=$2 failed=$3 skipped=$4 note=${5:-}
  TOTAL_PASSED=$((TOTAL_PASSED + passed))
  TOTAL_FAILED=$((TOTAL_FAILED + failed))
  TOTAL_SKIPPED=$((TOTAL_SKIPPED + skipped))
  SUMMARY+=("$(printf '%-32s %d passed, %d failed, %d skipped%s' "$step" "$passed" "$failed" "$skipped" "${note:+  ($note)}")")
}

# A step that could not even run its tests (a build error, say) counts as one failure.
step_broken() {
  FAILED_STEPS=$((FAILED_STEPS + 1))
  record "$1" 0 1 0 "$2"
}

# ---------------------------------------------------------------------------------------
# Set-up shared by the steps

prepare_system() {
  apt_ensure "${APT_PACKAGES[@]}"
  ensure_build_prereqs
}

# CMake and Ninja from PyPI, in their own venv, so that Debian's (possibly old) ones don't
# matter; build and scikit-build-core make the sdist.
prepare_tools() {
  make_venv "$TOOLS_VENV"
  run_logged "$LOGS/tools-install.log" \
    "$TOOLS_VENV/bin/python" -m pip install "cmake>=3.20" ninja build "scikit-build-core>=0.12"
  export PATH=$TOOLS_VENV/bin:$PATH
}

# Build the sdist, then the wheel from the sdist (as `python -m build` does), and install
# that one wheel into each test venv: a file the sdist lacks breaks the build here, not
# on a user's machine. The extension finds NumPy's C API at run time, so one wheel serves
# both NumPy majors. Not isolated (the tools venv has the build backend): scikit-build-core
# keeps its build directory, so a rerun compiles only what changed (see wheel-build.log).
build_wheel() {
  rm -rf "$WHEEL_DIR"
  mkdir -p "$WHEEL_DIR"
  run_logged "$LOGS/sdist-build.log" \
    "$TOOLS_VENV/bin/python" -m build --sdist --no-isolation --outdir "$WHEEL_DIR" "$QUARN_ROOT" ||
    return 1
  sync_sdist "$(ls "$WHEEL_DIR"/quarn-*.tar.gz)" "$SDIST_SRC" || return 1
  CMAKE_BUILD_PARALLEL_LEVEL=$JOBS run_logged "$LOGS/wheel-build.log" \
    "$TOOLS_VENV/bin/python" -m pip wheel -v --no-deps --no-build-isolation -w "$WHEEL_DIR" \
    -C build-dir="$BUILD/test-wheel-build" "$SDIST_SRC" || return 1
  ls "$WHEEL_DIR"/quarn-*.whl >/dev/null
}

# sync_sdist TARBALL DIR: make DIR hold exactly the files of the sdist. Only files whose
# content changed are written, so their times tell the build what to recompile (an sdist
# stamps all its files with one fixed time).
sync_sdist() {
  "$TOOLS_VENV/bin/python" - "$1" "$2" <<'PY'
import os, sys, tarfile
tarball, dest = sys.argv[1], sys.argv[2]
wanted = set()
with tarfile.open(tarball) as tar:
    for member in tar:
        if not member.isfile():
            continue
        rel = member.name.split("/", 1)[1]
        wanted.add(rel)
        data = tar.extractfile(member).read()
        path = os.path.join(dest, rel)
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, member.mode & 0o777)
for root, dirs, files in os.walk(dest):
    for name in files:
        rel = os.path.relpath(os.path.join(root, name), dest)
        if rel not in wanted:
            os.remove(os.path.join(root, name))
PY
}

# ---------------------------------------------------------------------------------------
# Steps

# cpp_tests [BUILD_DIR [CMAKE_ARGS...]]: configure, build and run the C++ tests with ctest,
# optimised as the wheel is (Release); the sanitizer and coverage steps build their own.
# A later step (a sanitizer build, say) can call it with its own build dir and options.
cpp_tests() {
  local dir=${1:-$BUILD/cpp-tests}
  shift || true
  local name="cpp: ctest ($(basename "$dir"))"
  # A build tree made by another generator cannot be reused.
  if [[ -f $dir/CMakeCache.txt ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  log "C++ tests: configure and build in $dir"
  if ! run_logged "$LOGS/$(basename "$dir")-configure.log" \
      cmake -S "$QUARN_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DQUARN_BUILD_TESTS=ON -DQUARN_BUILD_PYTHON=OFF "$@"; then
    step_broken "$name" "cmake configure failed"
    return 0
  fi
  if ! run_logged "$LOGS/$(basename "$dir")-build.log" cmake --build "$dir" -j "$JOBS"; then
    step_broken "$name" "build failed"
    return 0
  fi
  log "C++ tests: run"
  local out=$LOGS/$(basename "$dir")-ctest.log rc=0
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$JOBS") 2>&1 | tee "$out" || rc=$?
  # "100% tests passed, 0 tests failed out of 42", or from newer CMake, when nothing
  # failed, "100% tests passed out of 42".
  local line total failed=0
  line=$(grep -E '[0-9]+% tests passed(, [0-9]+ tests? failed)? out of [0-9]+' "$out" | tail -n 1 || true)
  if [[ -z $line ]]; then
    step_broken "$name" "ctest ran no test or printed no summary (exit code $rc)"
    return 0
  fi
  if [[ $line =~ ([0-9]+)\ tests?\ failed ]]; then
    failed=${BASH_REMATCH[1]}
  fi
  [[ $line =~ out\ of\ ([0-9]+) ]]
  total=${BASH_REMATCH[1]}
  record "$name" $((total - failed)) "$failed" 0
  if ((rc != 0 && failed == 0)); then
    step_broken "$name" "ctest exited with code $rc"
  fi
}

# What each test venv gets besides the wheel with all its extras and the test tools:
# np1 the oldest releases pyproject.toml allows, with NumPy 1.x (pinned, so that pip
# cannot upgrade NumPy to 2 behind our back); np2 the newest releases, with NumPy 2.x.
# venv_requirements LABEL: sets VENV_REQS to pip's arguments for that venv.
venv_requirements() {
  case $1 in
    np1) VENV_REQS=(-c "$QUARN_ROOT/scripts/constraints-np1.txt" "numpy<2") ;;
    np2) VENV_REQS=("numpy>=2") ;;
    *) die "unknown test venv '$1'" ;;
  esac
}

# The optional libraries the package's features use: every one must import in a test
# venv, or tests that need it would be skipped instead of run.
OPTIONAL_IMPORTS="pandas xarray dask dask.array distributed pyarrow matplotlib h5netcdf h5py tqdm"

# prepare_test_venv LABEL: make .venv-LABEL with the wheel (all extras) and the test tools,
# and check that NumPy has the major the label promises and that every extra imports.
# Prints nothing on success; returns non-zero with the reason on stderr otherwise.
prepare_test_venv() {
  local label=$1 venv=$QUARN_ROOT/.venv-$1 py=$QUARN_ROOT/.venv-$1/bin/python wheel
  venv_requirements "$label"
  make_venv "$venv"
  wheel=$(ls "$WHEEL_DIR"/quarn-*.whl)
  # The second install replaces a quarn of the same version left by an earlier run.
  if ! run_logged "$LOGS/$label-install.log" \
      "$py" -m pip install "${VENV_REQS[@]}" "${wheel}[all,test]" >&2 ||
     ! run_logged "$LOGS/$label-reinstall.log" \
      "$py" -m pip install --force-reinstall --no-deps "$wheel" >&2; then
    echo "pip install failed" >&2
    return 1
  fi
  local want=${label#np}
  if ! "$py" - "$want" $OPTIONAL_IMPORTS >&2 <<'PY'; then
import importlib, sys
import numpy
want, modules = sys.argv[1], sys.argv[2:]
if numpy.__version__.split(".")[0] != want:
    sys.exit(f"numpy {numpy.__version__} installed, NumPy {want}.x wanted")
failed = []
for name in modules:
    try:
        importlib.import_module(name)
    except Exception as exc:
        failed.append(f"{name} ({type(exc).__name__}: {exc})")
if failed:
    sys.exit(f"with numpy {numpy.__version__} these do not import: " + ", ".join(failed))
PY
    echo "the venv does not hold what the tests need" >&2
    return 1
  fi
}

# python_tests LABEL: the tests in tests/, run in .venv-LABEL against the installed package.
python_tests() {
  local label=$1
  local venv=$QUARN_ROOT/.venv-$label py
  local name="python: pytest ($label)"
  py=$venv/bin/python
  venv_requirements "$label"
  log "Python tests (${VENV_REQS[*]}): venv $venv"
  local why
  if ! why=$(prepare_test_venv "$label" 2>&1); then
    printf '%s\n' "$why"
    step_broken "$name" "$(tail -n 1 <<<"$why")"
    return 0
  fi
  local numpy_version location
  numpy_version=$("$py" -c 'import numpy; print(numpy.__version__)')
  if ! location=$(cd "$QUARN_ROOT/tests" && "$py" -c 'import quarn; print(quarn.__path__[0])'); then
    step_broken "$name" "the installed quarn does not import"
    return 0
  fi
  case $location in
    "$venv"/*) ;;
    *) step_broken "$name" "quarn imported from $location, not from the venv"; return 0 ;;
  esac
  name="python: pytest (numpy $numpy_version)"
  log "Python tests: numpy $numpy_version, quarn from $location"
  # Run inside tests/: the repository's python/ folder is not on sys.path, so the tests
  # exercise the installed wheel; tests/ itself is, so its helpers import.
  local out=$LOGS/$label-pytest.log rc=0
  (cd "$QUARN_ROOT/tests" && "$py" -m pytest -q -p no:cacheprovider .) 2>&1 | tee "$out" || rc=$?
  # The closing line, e.g. "3 failed, 120 passed, 2 skipped in 4.56s" or "no tests ran in 0.01s".
  local line passed=0 failed=0 skipped=0 n
  line=$(grep -E '(passed|failed|error|errors|skipped|no tests ran).* in [0-9.]+s' "$out" | tail -n 1 || true)
  for n in passed failed error errors skipped; do
    local v
    v=$(grep -oE "[0-9]+ $n\b" <<<"$line" | grep -oE '^[0-9]+' || true)
    [[ -z $v ]] && continue
    case $n in
      passed) passed=$v ;;
      skipped) skipped=$v ;;
      *) failed=$((failed + v)) ;;
    esac
  done
  case $rc in
    0) record "$name" "$passed" "$failed" "$skipped" ;;
    1) record "$name" "$passed" "$failed" "$skipped"
       ((failed > 0)) || step_broken "$name" "pytest reported failures" ;;
    5) # No test collected: only a failure if nothing at all ran (checked at the end).
       warn "pytest collected no test in tests/ (numpy $numpy_version)"
       record "$name" 0 0 0 "no tests collected" ;;
    *) record "$name" "$passed" "$failed" "$skipped"
       ((failed > 0)) || step_broken "$name" "pytest exited with code $rc" ;;
  esac
}

# script_step NAME LOG COMMAND...: a whole script as one check, its output shown as it runs.
script_step() {
  local name=$1 out=$2 rc=0
  shift 2
  mkdir -p "$(dirname "$out")"
  "$@" 2>&1 | tee "$out" || rc=${PIPESTATUS[0]}
  if ((rc == 0)); then
    record "$name" 1 0 0
  else
    FAILED_STEPS=$((FAILED_STEPS + 1))
    record "$name" 0 1 0 "exit code $rc, see $out"
  fi
}

# mypy --strict over the package and the examples, with the configuration in
# pyproject.toml, in the NumPy 2.x venv plus mypy and the stubs of untyped libraries.
types_check() {
  local py=$QUARN_ROOT/.venv-np2/bin/python why
  log "types: mypy --strict"
  if ! why=$(prepare_test_venv np2 2>&1) ||
     ! why=$(run_logged "$LOGS/types-install.log" \
       "$py" -m pip install "mypy>=1.10" pandas-stubs types-tqdm 2>&1); then
    printf '%s\n' "$why"
    step_broken "types: mypy --strict" "could not install mypy"
    return 0
  fi
  script_step "types: mypy --strict" "$LOGS/types.log" \
    env -C "$QUARN_ROOT" "$py" -m mypy --cache-dir "$BUILD/mypy-cache"
}

# The sanitizer builds; the Python half runs in the NumPy 2.x test venv.
asan_tests() {
  local py=$QUARN_ROOT/.venv-np2/bin/python
  [[ -x $py ]] || prepare_test_venv np2 >/dev/null
  script_step "sanitizers: C++ and Python" "$LOGS/asan.log" \
    env PYTHON="$py" BUILD_DIR="$BUILD/asan" ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14 \
    bash "$QUARN_ROOT/scripts/sanitize-tests.sh" cpp python
}

fuzz_session() {
  script_step "fuzz: ${FUZZ_SECONDS:-60} s of libFuzzer" "$LOGS/fuzz.log" \
    env BUILD_DIR="$BUILD/fuzz" bash "$QUARN_ROOT/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
}

# The C++ tests against a ThreadSanitizer build (scripts/tsan-tests.sh).
tsan_tests() {
  script_step "tsan: C++ tests" "$LOGS/tsan.log" \
    env BUILD_DIR="$BUILD/tsan" JOBS="$JOBS" bash "$QUARN_ROOT/scripts/tsan-tests.sh"
}

# Line and branch coverage of the core (clang's source-based coverage), failing
# below the committed floor (scripts/coverage.sh).
coverage_check() {
  script_step "coverage: branch floor" "$LOGS/coverage.log" \
    env BUILD_DIR="$BUILD/coverage" JOBS="$JOBS" bash "$QUARN_ROOT/scripts/coverage.sh"
}

# ---------------------------------------------------------------------------------------

run_step() {
  local start=$SECONDS
  case $1 in
    cpp) cpp_tests ;;
    np1) python_tests np1 ;;
    np2) python_tests np2 ;;
    types) types_check ;;
    tsan) tsan_tests ;;
    tsan-python) tsan_python_step ;;
    coverage) coverage_check ;;
    asan) asan_tests ;;
    fuzz) fuzz_session ;;
    *) die "unknown step '$1' (known: cpp np1 np2 types tsan tsan-python coverage asan fuzz)" ;;
  esac
  SUMMARY+=("$(printf '%-32s %ds' "  step $1 took" $((SECONDS - start)))")
}

main() {
  local steps=("$@")
  if ((${#steps[@]} == 0)); then
    steps=(cpp np1 np2 types)
    # The thread and coverage checks run where their scripts are part of the tree.
    [[ -f $QUARN_ROOT/scripts/tsan-tests.sh ]] && steps+=(tsan tsan-python)
    [[ -f $QUARN_ROOT/scripts/coverage.sh ]] && steps+=(coverage)
    steps+=(asan fuzz)
  fi
  local start=$SECONDS

  log "system packages and tools"
  prepare_system
  prepare_tools
  SUMMARY+=("$(printf '%-32s %ds' "  set-up took" $((SECONDS - start)))")

  local step needs_wheel=0
  for step in "${steps[@]}"; do
    [[ $step == np* || $step == asan || $step == types ]] && needs_wheel=1
  done
  if ((needs_wheel)); then
    log "building the sdist, and from it the quarn wheel"
    local wheel_start=$SECONDS
    if ! build_wheel; then
      step_broken "python: sdist and wheel build" "python -m build --sdist or pip wheel failed"
      steps=("${steps[@]/np*/}")
      steps=("${steps[@]/types/}")
    fi
    SUMMARY+=("$(printf '%-32s %ds' "  wheel build took" $((SECONDS - wheel_start)))")
  fi

  for step in "${steps[@]}"; do
    [[ -n $step ]] && run_step "$step"
  done

  printf '\n==> summary (%ds)\n' $((SECONDS - start))
  printf '%s\n' "${SUMMARY[@]}"
  if ((TOTAL_PASSED + TOTAL_FAILED == 0)); then
    echo "no test ran"
    FAILED_STEPS=$((FAILED_STEPS + 1))
  fi
  printf 'total: %d passed, %d failed, %d skipped\n' "$TOTAL_PASSED" "$TOTAL_FAILED" "$TOTAL_SKIPPED"
  ((FAILED_STEPS == 0 && TOTAL_FAILED == 0))
}

main "$@"
