"""The package as pip installs it, and the sdist it is built from."""

from __future__ import annotations

import importlib.metadata
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path, PurePosixPath

import pytest

import quarn
import quarn._quarn
import quarn._version

ROOT = Path(__file__).resolve().parent.parent

# Never in an sdist: build trees, environments, caches, compiled modules.
FORBIDDEN_PARTS = {"__pycache__", ".hypothesis", ".mypy_cache", ".pytest_cache", "corpus-work"}
FORBIDDEN_TOP = ("build", "build-", ".venv", ".ci")


def test_one_version_everywhere() -> None:
    versions = {
        "quarn.__version__": quarn.__version__,
        "quarn._quarn.__version__": quarn._quarn.__version__,
        "quarn._version": quarn._version.__version__,
        "distribution metadata": importlib.metadata.version("quarn"),
    }
    assert len(set(versions.values())) == 1, versions


def test_installed_package_is_typed() -> None:
    files = importlib.metadata.files("quarn") or []
    names = {PurePosixPath(str(f)).as_posix() for f in files}
    assert {"quarn/py.typed", "quarn/_quarn.pyi"} <= names


def tracked_files() -> set[str]:
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    run = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True)
    if run.returncode != 0:
        pytest.skip("not in a git checkout")
    return {name for name in run.stdout.decode().split("\0") if name}


def test_sdist_holds_the_sources_and_nothing_built(tmp_path: Path) -> None:
    pytest.importorskip("scikit_build_core")
    expected = {name for name in tracked_files() if not name.startswith(".ci/")}
    made = subprocess.run(
        [sys.executable, "-c",
         "import sys; from scikit_build_core.build import build_sdist; "
         "print(build_sdist(sys.argv[1]))", str(tmp_path)],
        cwd=ROOT, capture_output=True, text=True, check=True)
    sdist = tmp_path / made.stdout.strip().splitlines()[-1]
    with tarfile.open(sdist) as tar:
        members = [m for m in tar.getmembers() if m.isfile()]
        top = f"quarn-{quarn.__version__}/"
        assert all(m.name.startswith(top) for m in members)
        names = {m.name[len(top):] for m in members}
        pkg_info = tar.extractfile(top + "PKG-INFO")
        assert pkg_info is not None
        assert f"\nVersion: {quarn.__version__}\n" in pkg_info.read().decode()

    assert sorted(expected - names) == []
    built = sorted(
        name for name in names
        if name.startswith(FORBIDDEN_TOP) or name.endswith((".so", ".pyc", ".whl"))
        or FORBIDDEN_PARTS & set(PurePosixPath(name).parts))
    assert built == []
