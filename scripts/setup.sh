# Shared set-up steps for scripts/demo.sh and scripts/test.sh. Source it, don't run it.
#
# Everything here is safe to repeat: Debian packages are installed only when missing
# (`apt-get update` runs at most once, and only if something must be installed),
# virtual environments are reused when they still work, and builds are incremental.
#
# Knobs (all optional):
#   PYTHON   the interpreter the virtual environments are made from (default: python3)

set -euo pipefail

QUARN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUARN_PYTHON=${PYTHON:-python3}

# Nothing from the working tree may leak into the interpreters we test.
unset PYTHONPATH PYTHONHOME
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off
export DEBIAN_FRONTEND=noninteractive

log() { printf '\n==> %s\n' "$*"; }
warn() { printf 'warning: %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Run a command as root: directly when we are root, through sudo otherwise.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    die "need root (or sudo) to run: $*"
  fi
}

_quarn_apt_updated=0

# is_installed PKG: true when the Debian package is fully installed
# (a package that was removed but left its configuration behind does not count).
is_installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

# apt_ensure PKG...: install the Debian packages that are not installed yet.
apt_ensure() {
  local missing=() pkg
  for pkg in "$@"; do
    is_installed "$pkg" || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0
  command -v apt-get >/dev/null 2>&1 ||
    die "these packages are needed but this is not a Debian-like system: ${missing[*]}"
  log "installing Debian packages: ${missing[*]}"
  if ((_quarn_apt_updated == 0)); then
    retry as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
    _quarn_apt_updated=1
  fi
  retry as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# retry CMD...: run CMD; if it fails, wait a little and run it once more (mirrors hiccup).
retry() {
  "$@" && return 0
  warn "failed, trying again in 10 s: $*"
  sleep 10
  "$@"
}

# ensure_build_prereqs: a C++ compiler, and an interpreter with its headers and venv.
ensure_build_prereqs() {
  if ! command -v "$QUARN_PYTHON" >/dev/null 2>&1; then
    apt_ensure python3
    QUARN_PYTHON=python3
  fi
  if ! command -v c++ >/dev/null 2>&1 && ! command -v g++ >/dev/null 2>&1; then
    apt_ensure g++
  fi
  # Debian's own interpreter ships its headers and venv support in separate packages.
  if ! "$QUARN_PYTHON" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    apt_ensure python3-dev
  fi
  if ! "$QUARN_PYTHON" -c 'import venv, ensurepip' >/dev/null 2>&1; then
    apt_ensure python3-venv
  fi
}

# make_venv DIR: create a virtual environment at DIR, or keep the one there if it works.
make_venv() {
  local dir=$1
  if [[ -x $dir/bin/python ]] && "$dir/bin/python" -m pip --version >/dev/null 2>&1; then
    return 0
  fi
  rm -rf "$dir"
  if ! "$QUARN_PYTHON" -m venv "$dir" >/dev/null 2>&1; then
    # Debian's interpreter can make a venv only with python3-venv.
    rm -rf "$dir"
    apt_ensure python3-venv
    "$QUARN_PYTHON" -m venv "$dir"
  fi
}

# run_logged LOGFILE CMD...: run CMD with its output in LOGFILE; on failure show the end of it.
run_logged() {
  local logfile=$1
  shift
  mkdir -p "$(dirname "$logfile")"
  if "$@" >"$logfile" 2>&1; then
    return 0
  else
    local rc=$?
    printf -- '--- last lines of %s ---\n' "$logfile"
    tail -n 80 "$logfile"
    printf -- '--- (command failed with exit code %d: %s)\n' "$rc" "$*"
    return "$rc"
  fi
}

# install_build_backend VENV: scikit-build-core, and CMake and Ninja when it asks for them
# (when the system has none recent enough), into VENV, for `pip install --no-build-isolation`.
# An isolated build gets a new temporary copy of scikit-build-core every time, and
# scikit-build-core then clears its build directory (build/<wheel tag>/): the whole
# extension would be compiled again on every run.
install_build_backend() {
  local py=$1/bin/python
  local -a needs
  "$py" -m pip install "scikit-build-core>=0.12" || return 1
  # The backend's own answer (it reads pyproject.toml in the current directory).
  mapfile -t needs < <(cd "$QUARN_ROOT" && "$py" -c '
from scikit_build_core.build import get_requires_for_build_wheel
for requirement in get_requires_for_build_wheel():
    print(requirement)')
  ((${#needs[@]} == 0)) || "$py" -m pip install "${needs[@]}"
}

# ensure_compiler_cache: ccache, when it can be had. Builds for a wheel compile through it
# (CMakeLists.txt), so that a build whose directory was cleared (a plain `pip install .`,
# isolated) takes back the objects compiled before instead of compiling them again.
ensure_compiler_cache() {
  command -v ccache >/dev/null 2>&1 && return 0
  command -v apt-get >/dev/null 2>&1 || return 0
  apt_ensure ccache || warn "no ccache: a later plain 'pip install .' compiles everything again"
}
