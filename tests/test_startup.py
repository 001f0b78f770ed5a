"""A fast start: `import quarn` and each command import only the optional libraries that
what they do needs (an import of xarray, pandas or matplotlib costs 0.3 to 1 s)."""

import subprocess
import sys

import pytest

from psfwriter import REALISTIC

OPTIONAL = ("pandas", "xarray", "matplotlib", "dask", "pyarrow", "h5netcdf", "h5py", "tqdm")

SCRIPT = """
import sys
import quarn.cli
code = quarn.cli.main(sys.argv[1:]) if len(sys.argv) > 1 else 0
print(" ".join(m for m in {optional!r} if m in sys.modules))
sys.exit(code)
"""


@pytest.fixture(scope="module")
def ac(tmp_path_factory):
    path = tmp_path_factory.mktemp("startup") / "ac.psfbin"
    path.write_bytes(REALISTIC["ac"]()[0].to_bytes())
    return path


@pytest.mark.parametrize("args, needs, may_follow", [
    ([], None, ""),                               # import quarn, quarn.cli
    (["info", "{ac}"], None, ""),
    (["info", "--json", "{ac}"], None, ""),
    (["info", "--brief", "{ac}"], None, ""),
    (["export", "{ac}", "-o", "{out}.npz"], None, ""),
    # pandas imports pyarrow itself when it is installed.
    (["export", "{ac}", "-o", "{out}.csv"], "pandas", "pyarrow"),
    (["plot", "{ac}", "-o", "{out}.png"], "matplotlib", ""),
])
def test_commands_import_only_what_they_use(ac, tmp_path, args, needs, may_follow):
    if needs is not None:
        pytest.importorskip(needs)
    argv = [a.format(ac=ac, out=tmp_path / "out") for a in args]
    proc = subprocess.run([sys.executable, "-c", SCRIPT.format(optional=OPTIONAL), *argv],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    imported = set(proc.stdout.splitlines()[-1].split())
    assert needs is None or needs in imported
    assert imported <= {needs, *may_follow.split()}, proc.stdout
