"""Every function of the method table survives wrong arguments: a result or a proper exception,
never a crash, a SystemError or an exception without a message."""

import os
import subprocess
import sys

from conftest import BUILD_PYTHON


def test_every_function_survives_wrong_arguments():
    runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sweep_runner.py")
    env = dict(os.environ)
    env["PYTHONPATH"] = BUILD_PYTHON + os.pathsep + env.get("PYTHONPATH", "")
    proc = subprocess.run([sys.executable, runner], capture_output=True, text=True, env=env, timeout=600)
    lines = proc.stdout.splitlines()
    calls = [line.split()[1] for line in lines if line.startswith("CALL ")]
    bad = [line for line in lines if line.startswith("BAD ")]
    assert calls, "the sweep called nothing:\n" + proc.stderr[-2000:]
    if proc.returncode not in (0, 1) or not lines[-1].startswith("SWEPT"):
        raise AssertionError("crash (exit %d) in %s:\n%s" % (proc.returncode, calls[-1], proc.stderr[-3000:]))
    assert not bad, "\n".join(bad[:40])
    assert proc.returncode == 0
