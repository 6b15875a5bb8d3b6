"""The main example runs from start to end: its software device streams a Python source's frames."""

import os

from conftest import no_leak_check_at_exit, run_python

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "main.py")


def test_the_example_walks_the_whole_road():
    # The software device's and the pipeline's threads wind down as the interpreter exits.
    proc = run_python([EXAMPLE], env=no_leak_check_at_exit(), timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    for line in ("Adding a Python stream source: OK", "Software device start: OK", "connected: OK",
                 "FireEvent(0x9000): OK", "Stream: OK as TqStreamGEV", "decompressed: OK, identical: True",
                 "Pipeline start: OK", "Exclusive connection: OK", "Software device stop: OK"):
        assert line in proc.stdout, proc.stdout[-4000:]
    assert "frame" in proc.stdout and "  no frame:" not in proc.stdout, proc.stdout[-4000:]
