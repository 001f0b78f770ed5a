# A step of scripts/test.sh, sourced by it (after its helpers: script_step,
# record, $BUILD, $LOGS, $QUARN_ROOT):
#   tsan_python  the Python tests of the threaded paths against a
#                ThreadSanitizer build of both extension modules
# The allocation-failure harness and the fuzz replays are ctest tests, so the
# cpp, asan and coverage steps run them already.

# The interpreter is not built with ThreadSanitizer, so its runtime is
# preloaded; the interpreter's own locks are pthread mutexes, which it
# intercepts, so the GIL hand-offs are seen. Only the tests of the paths that
# run native threads are run (the rest gain nothing and take long), less three
# that cannot work under it: the fork tests (ThreadSanitizer does not support
# threads started after fork; the child exits with its code 66), the
# interrupt test (its 1 GiB header is copied under shadow memory for minutes)
# and the cut of a file while the batch reads it (the timing never lands).
tsan_python_step() {
  local py=${PYTHON:-$QUARN_ROOT/.venv-np2/bin/python}
  script_step "tsan: Python, threaded paths" "$LOGS/tsan-python.log" \
    env PYTHON="$py" BUILD_DIR="$BUILD/tsan-python" bash -c '
      set -euo pipefail
      root=$1 build=$BUILD_DIR
      exe=$("$PYTHON" -c "import sys; print(sys.executable)")
      cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=g++ -DQUARN_TSAN=ON -DQUARN_BUILD_PYTHON=ON \
        -DPython_EXECUTABLE="$exe" >/dev/null
      cmake --build "$build" -j "${JOBS:-2}"
      pkg=$build/pkg/quarn
      rm -rf "$pkg" && mkdir -p "$pkg"
      cp -r "$root"/python/quarn/. "$pkg"/
      rm -f "$pkg"/*.so
      for so in "$build"/_quarn*.so "$build"/_native*.so; do ln -s "$so" "$pkg/"; done
      cd "$root/tests"
      LD_PRELOAD=$(g++ -print-file-name=libtsan.so) \
      TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:report_signal_unsafe=0} \
      PYTHONPATH=$build/pkg "$PYTHON" -m pytest -q -p no:cacheprovider \
        -k "not fork and not interrupted and not shrinking" \
        ${TSAN_PYTEST:-test_batch.py test_lazy.py test_realistic.py}
    ' _ "$QUARN_ROOT"
}
