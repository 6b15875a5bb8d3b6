"""`cmake --install`: the module, the companion layer and the SDK libraries land in one folder, which a
fresh interpreter imports from with nothing of the build tree on its path; by default that folder is
the interpreter's user site-packages."""

import os
import shutil
import site
import subprocess
import sys
import sysconfig

import pytest

from conftest import BUILD_PYTHON

BUILD = os.path.dirname(BUILD_PYTHON)
SITE = os.path.relpath(site.getusersitepackages(), site.getuserbase())   # lib/python3.X/site-packages

pytestmark = pytest.mark.skipif(shutil.which("cmake") is None or not os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")),
                                reason="needs cmake and the build folder")

# Run by the installed module: every part of it is the installed one, and it works (a buffer over SDK
# memory as an array, a pixel conversion, a software device with its engine).
USE = r"""
import os, sys
import numpy as np
import kivo_python64 as kivo
import _kivo_python64
prefix = sys.argv[1]
assert kivo.__file__.startswith(prefix) and _kivo_python64.__file__.startswith(prefix), (kivo.__file__, _kivo_python64.__file__)
buffer = kivo.TqBuffer()
assert buffer.GetImage().Alloc(4, 2, kivo.TqPixelType["TqPixelMono8"]).IsOK()
array = buffer.GetImage().GetDataPointer()
array[:] = np.arange(8, dtype=np.uint8).reshape(2, 4)
rgb = kivo.TqBuffer()
assert rgb.GetImage().Alloc(4, 2, kivo.TqPixelType["TqPixelRGB8"]).IsOK()
assert kivo.TqBufferConverter().Convert(buffer.GetImage(), rgb)[0].IsOK()
assert np.array_equal(rgb.GetImage().GetDataPointer()[..., 0], array)
device = kivo.TqSoftDeviceGEV()
del device
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libTq" in line or "_kivo" in line}
outside = sorted(path for path in loaded if not path.startswith(prefix))
assert loaded and not outside, outside
print("installed", len(loaded))
"""


def install(*args, env=None):
    done = subprocess.run(["cmake", "--install", BUILD, *args], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def built_parts():
    """What the build gathered for Python that users get: everything but the test and benchmark modules."""
    return {name for name in os.listdir(BUILD_PYTHON)
            if name.startswith("libTq") or name in ("_kivo_python64.abi3.so", "kivo_python64.py")}


def test_installed_under_a_prefix_imports_from_there(tmp_path):
    prefix = str(tmp_path / "prefix")
    install("--prefix", prefix)
    folder = os.path.join(prefix, SITE)
    assert set(os.listdir(folder)) == built_parts()
    assert "libTqBase64.so" in os.listdir(folder)
    # A fresh interpreter with the installed folder alone on its path (the user's site left out), in a
    # folder of its own, with the build tree gone from its reach.
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "KIVO_PYTHON_DIR")}
    env["PYTHONPATH"] = folder
    done = subprocess.run([sys.executable, "-s", "-c", USE, os.path.realpath(prefix)], capture_output=True,
                          text=True, env=env, cwd=str(tmp_path), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("installed")


def test_without_a_prefix_the_user_site_packages(tmp_path):
    # The prefix the build folder was configured with: the user base, unless someone chose another.
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        prefix = next(line.split("=", 1)[1].strip() for line in cache if line.startswith("CMAKE_INSTALL_PREFIX:"))
    if prefix != site.getuserbase():
        pytest.skip(f"the build folder was configured with the prefix {prefix}")
    # Staged under DESTDIR, so that the user's own site-packages stays as it is.
    stage = str(tmp_path / "stage")
    install(env=dict(os.environ, DESTDIR=stage))
    folder = stage + site.getusersitepackages()
    assert set(os.listdir(folder)) == built_parts()
    assert site.getusersitepackages() == os.path.join(site.getuserbase(), SITE)
    assert sysconfig.get_python_version() in SITE
