"""Where the package finds the library: the environment variable, an installed tree (the
package beside the library), a pip install, and the error that names what was tried."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vanto_edit

PACKAGE_SOURCE = Path(vanto_edit.__file__).resolve().parent.parent
PROBE = "import vanto_edit, sys; print(vanto_edit.library_path); print(vanto_edit.version())"


def run_python(code: str, pythonpath: Path, library: str | None, cwd: Path):
    env = {k: v for k, v in os.environ.items() if k not in ("VANTO_EDIT_LIBRARY", "PYTHONPATH")}
    env["PYTHONPATH"] = str(pythonpath)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if library is not None:
        env["VANTO_EDIT_LIBRARY"] = library
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.skipif("VANTO_BUILD_DIR" not in os.environ, reason="needs the CMake build tree")
def test_cmake_install_puts_the_package_beside_the_library(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", os.environ["VANTO_BUILD_DIR"], "--prefix", str(prefix),
                    "--component", "runtime"], check=True, capture_output=True, timeout=300)
    package_dir = prefix / os.environ["VANTO_PYTHON_INSTALL_DIR"]
    assert (package_dir / "vanto_edit" / "py.typed").is_file()
    result = run_python(PROBE, package_dir, None, tmp_path)
    assert result.returncode == 0, result.stderr
    loaded, version = result.stdout.split()
    assert Path(loaded).resolve().parent == (prefix / os.environ["VANTO_INSTALL_LIBDIR"]).resolve()
    assert version == vanto_edit.version()


def test_pip_install_and_the_missing_library_error(tmp_path):
    target = tmp_path / "site"
    work = tmp_path / "src"
    shutil.copytree(PACKAGE_SOURCE, work, ignore=shutil.ignore_patterns("__pycache__", "tests",
                                                                         "*.egg-info", "build"))
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                          "--no-index", "--quiet", "--target", str(target), str(work)],
                         capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stderr
    assert (target / "vanto_edit" / "py.typed").is_file()

    # With the environment variable: that library.
    result = run_python(PROBE, target, vanto_edit.library_path, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == vanto_edit.library_path

    # A wrong variable is named in the error.
    result = run_python("import vanto_edit", target, str(tmp_path / "nope.so"), tmp_path)
    assert result.returncode != 0 and "VANTO_EDIT_LIBRARY" in result.stderr
    assert "nope.so" in result.stderr and "LibraryNotFound" in result.stderr

    # Nowhere to be found: every place tried is listed.
    import ctypes.util
    if ctypes.util.find_library("vanto_edit"):
        pytest.skip("a system-wide libvanto_edit is installed")
    result = run_python("import vanto_edit", target, None, tmp_path)
    assert result.returncode != 0 and "tried" in result.stderr
    assert str(target / "vanto_edit" / "libvanto_edit.so") in result.stderr
    assert "system loader path" in result.stderr
