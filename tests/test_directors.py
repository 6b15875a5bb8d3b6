"""The director machinery: a test-only callback interface whose director calls Python methods from
native threads, with the per-class method cache, failures reported and thrown into the caller,
and no Python touched once the interpreter exits."""

import gc
import sys
import textwrap

import pytest


@pytest.fixture(autouse=True)
def sinks_are_destroyed(hooks):
    """Owned sink proxies destroy their director when they die."""
    class ProbeSink:
        __swig_destroy__ = hooks.sink_delete

    hooks.register_class("_p_TqSystemEventSink", ProbeSink)


class Adds:
    def OnValue(self, value):
        return value + 1


class Scales(Adds):
    def Scale(self, value):
        return 7


def test_overridden_and_native_methods(hooks):
    adds, scales = Adds(), Scales()
    a, s = hooks.sink_new(adds), hooks.sink_new(scales)
    # Scale is not overridden by Adds: the native default (x10) runs.
    assert hooks.sink_fire(a, 5, 2, True) == ["6,50", "6,50"]
    assert hooks.sink_fire(a, 5, 1, False) == ["6,50"]
    assert hooks.sink_fire(s, 1, 1, True) == ["2,7"]


def test_director_keeps_no_reference_to_its_object(hooks):
    adds = Adds()
    before = sys.getrefcount(adds)
    sink = hooks.sink_new(adds)
    hooks.sink_fire(sink, 1, 3, True)
    assert sys.getrefcount(adds) == before
    del adds
    gc.collect()
    # The Python side is gone while the native object lives on: the callback fails, calls nothing.
    assert hooks.sink_fire(sink, 1, 1, True) == ["exception: In method 'Scale': no Python object to call"]


def test_disown_keeps_the_object_alive(hooks):
    adds = Adds()
    sink = hooks.sink_new(adds)
    hooks.sink_disown(sink)
    assert sys.getrefcount(adds) == 3
    del adds
    gc.collect()
    assert hooks.sink_fire(sink, 1, 1, True) == ["2,10"]


def test_failures_are_reported_and_thrown(hooks, capfd):
    class Raises:
        def OnValue(self, value):
            raise ValueError("bad value %d" % value)

    class WrongType:
        def OnValue(self, value):
            return "x"

    class Nothing:
        pass

    objects = Raises(), WrongType(), Nothing()
    sinks = [hooks.sink_new(o) for o in objects]
    assert hooks.sink_fire(sinks[0], 3, 1, True) == ["exception: In method 'OnValue': ValueErrorbad value 3"]
    assert capfd.readouterr().out == "In method 'OnValue': ValueErrorbad value 3\n"
    assert hooks.sink_fire(sinks[1], 3, 1, False) == ["exception: in output value of type 'int32_t' of OnValue"]
    assert hooks.sink_fire(sinks[2], 3, 1, True) == ["exception: Attempted to invoke pure virtual method OnValue"]


def test_no_callback_runs_python_at_exit(python_run):
    code = textwrap.dedent("""
        import _kivo_testhooks as h
        class Adds:
            def OnValue(self, value):
                return value + 1
        keep = [Adds() for _ in range(4)]
        sinks = [h.sink_new(o) for o in keep]
        for s in sinks:
            h.sink_disown(s)
            h.sink_keep(s)
            h.sink_fire_detached(s, 1, 100000)
        print("exiting")
    """)
    for _ in range(5):
        proc = python_run(code)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "exiting\n"
