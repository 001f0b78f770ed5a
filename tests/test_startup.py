"""A fast start: `import quarn` and each command import only the optional libraries that
what they do needs (each of xarray, pandas, matplotlib, dask costs 0.2 to 1 s)."""

import subprocess
import sys

import pytest

from psfwriter import REALISTIC

SCRIPT = """
import sys
import quarn.cli
code = quarn.cli.main(sys.argv[1:]) if len(sys.argv) > 1 else 0
optional = ("pandas", "xarray", "matplotlib", "dask", "pyarrow", "h5netcdf", "h5py", "tqdm")
print(" ".join(m for m in optional if m in sys.modules))
sys.exit(code)
"""


@pytest.mark.parametrize("args, needs, may_follow", [
    ([], None, ""),  # import quarn, quarn.cli
    (["info", "{ac}"], None, ""),
    (["info", "--json", "{ac}"], None, ""),
    (["info", "--brief", "{ac}"], None, ""),
    (["export", "{ac}", "-o", "{out}.npz"], None, ""),
    (["export", "{ac}", "-o", "{out}.csv"], "pandas", "pyarrow"),  # pandas imports pyarrow
    (["plot", "{ac}", "-o", "{out}.png"], "matplotlib", ""),
])
def test_commands_import_only_what_they_use(tmp_path, args, needs, may_follow):
    if needs is not None:
        pytest.importorskip(needs)
    (tmp_path / "ac.psfbin").write_bytes(REALISTIC["ac"]()[0].to_bytes())
    argv = [a.format(ac=tmp_path / "ac.psfbin", out=tmp_path / "out") for a in args]
    proc = subprocess.run([sys.executable, "-c", SCRIPT, *argv], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    imported = set(proc.stdout.splitlines()[-1].split())
    assert needs is None or needs in imported
    assert imported <= {needs, *may_follow.split()}, proc.stdout
