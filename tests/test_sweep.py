"""Every function of the method table survives wrong arguments: a result or a proper exception,
never a crash, a SystemError or an exception without a message."""

import os

from conftest import assert_no_sanitizer_report, run_python


def test_every_function_survives_wrong_arguments():
    runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sweep_runner.py")
    proc = run_python([runner], timeout=600, check_sanitizer=False)
    lines = proc.stdout.splitlines()
    calls = [line.split()[1] for line in lines if line.startswith("CALL ")]
    bad = [line for line in lines if line.startswith("BAD ")]
    assert calls, "the sweep called nothing:\n" + proc.stderr[-2000:]
    crashed = proc.returncode not in (0, 1) or not lines[-1].startswith("SWEPT")
    if crashed or any(mark in proc.stderr for mark in ("ERROR: AddressSanitizer", "runtime error:")):
        raise AssertionError("crash (exit %d) in %s:\n%s" % (proc.returncode, calls[-1], proc.stderr[-3000:]))
    assert_no_sanitizer_report(proc)
    assert not bad, "\n".join(bad[:40])
    assert proc.returncode == 0
