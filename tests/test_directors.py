"""The director machinery on a test-only callback interface: results converted or refused with the
exact texts, failures reported on standard output and thrown into the caller (never left behind on
a native thread), the per-director method cache, the Python object's lifetime, the ownership map,
cheap and safe callbacks from native threads, no Python touched once the interpreter exits, and the
constructor forms of a class whose constructor takes arguments."""

import gc
import sys
import textwrap
import weakref

import pytest

from conftest import no_leak_check_at_exit, raises

METHOD_ERROR = "exception: SWIG director method error. "


@pytest.fixture(autouse=True)
def sinks_are_destroyed(hooks):
    """Owned sink proxies destroy their director when they die."""
    class ProbeSink:
        __swig_destroy__ = hooks.sink_delete

    hooks.register_class("_p_lTqDeviceInfoZelvraProtocol", ProbeSink)


class Echo:
    def OnValue(self, value):
        return value + 1

    def Check(self, value):
        return value


@pytest.mark.parametrize("on_thread", [False, True])
def test_results_and_their_mismatches(hooks, k, on_thread):
    class Returns:
        def __init__(self, value):
            self.value = value

        def OnValue(self, value):
            return self.value

        def Check(self, value):
            return self.value

    kept = []   # a director does not keep its object alive

    def sink(obj):
        kept.append(obj)
        return hooks.sink_new(obj)

    echo = sink(Echo())
    assert hooks.sink_fire(echo, 5, 2, on_thread) == ["6", "6"]
    assert hooks.sink_check(echo, 65535, on_thread) == ["65535"]
    # A TqResult proxy is copied; an int must fit a 32-bit long.
    assert hooks.sink_check(sink(Returns(k.TqResult(7))), 0, on_thread) == ["7"]
    assert hooks.sink_check(sink(Returns(-1)), 0, on_thread) == [str(2**32 - 1)]
    mismatch = "exception: SWIG director type mismatch in method Check with output value of type 'TqResult'"
    for value in (None, 2**31, "1"):
        assert hooks.sink_check(sink(Returns(value)), 0, on_thread) == [mismatch]
    for value in ("x", 2**31, None):
        assert hooks.sink_fire(sink(Returns(value)), 0, 1, on_thread) == [
            "exception: SWIG director type mismatch in output value of type 'int32_t'"]


def test_python_failures_are_reported_once_per_call(hooks, capfd):
    class Raises:
        calls = 0

        def OnValue(self, value):
            Raises.calls += 1
            if Raises.calls == 1:
                raise ValueError("bad value %d" % value)
            return 0

    class KeyFails:
        def OnValue(self, value):
            raise KeyError("x")

    raises, key_fails = Raises(), KeyFails()
    line = "In method 'OnValue': ValueErrorbad value 3"
    # On a native thread the error set by the failure is dropped with the callback: the thread's
    # next callbacks run clean.
    assert hooks.sink_fire(hooks.sink_new(raises), 3, 3, True) == [METHOD_ERROR + line, "0", "0"]
    assert hooks.sink_fire(hooks.sink_new(key_fails), 3, 2, False) == [METHOD_ERROR + "In method 'OnValue': KeyError'x'"] * 2
    assert capfd.readouterr().out == line + "\n" + "In method 'OnValue': KeyError'x'\n" * 2


def test_missing_method_and_dead_object(hooks):
    class Nothing:
        pass

    nothing = Nothing()
    assert hooks.sink_fire(hooks.sink_new(nothing), 1, 1, True) == [
        METHOD_ERROR + "Method in class ProbeSink doesn't exist, undefined OnValue"]
    echo = Echo()
    sink = hooks.sink_new(echo)   # a bare proxy owns the director; nothing keeps echo alive
    del echo
    gc.collect()
    assert hooks.sink_fire(sink, 1, 1, True) == [
        "exception: 'self' uninitialized, maybe you forgot to call ProbeSink.__init__."]


def test_method_cache_holds_no_reference_to_the_object(hooks):
    echo = Echo()
    before = sys.getrefcount(echo)
    echo.sink = hooks.sink_new(echo)   # the object owns its director, as a subclass instance does
    assert hooks.sink_fire(echo.sink, 1, 1, True) == ["2"]
    assert sys.getrefcount(echo) == before
    # The cache keeps what the first call found.
    echo.OnValue = lambda value: 100
    assert hooks.sink_fire(echo.sink, 1, 1, False) == ["2"]
    alive = weakref.ref(echo)
    del echo
    assert alive() is None


def test_disown_takes_one_reference_and_deletion_drops_it(hooks):
    echo = Echo()
    sink = hooks.sink_new(echo)
    before = sys.getrefcount(echo)
    hooks.sink_disown(sink)
    hooks.sink_disown(sink)
    assert sys.getrefcount(echo) == before + 1
    alive = weakref.ref(echo)
    del echo
    gc.collect()
    assert hooks.sink_fire(sink, 1, 1, True) == ["2"]
    hooks.sink_delete(sink)
    assert alive() is None


def test_ownership_map(hooks):
    echo = Echo()
    sink = hooks.sink_new(echo)
    hooks.sink_own(sink, 0x1000, 1)
    hooks.sink_own(sink, 0x2000, 0)   # nothing owned: not recorded
    hooks.sink_own(sink, 0, 1)
    assert [hooks.sink_release(sink, a) for a in (0x1000, 0x1000, 0x2000, 0x3000, 0)] == [1, 0, 0, 0, 0]
    hooks.sink_own(sink, 0x1000, 1)   # released with the director


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


def test_no_thread_state_is_made_at_exit(python_run):
    """Native threads whose every callback makes a thread state, while the interpreter exits:
    once finalisation begins none may take the GIL or make a state (a thread that had decided to
    before it began finishes first), whatever the moment each thread comes."""
    code = textwrap.dedent("""
        import _kivo_testhooks as h
        class Adds:
            def OnValue(self, value):
                return value + 1
        keep = [Adds() for _ in range(8)]
        sinks = [h.sink_new(o) for o in keep]
        for s in sinks:
            h.sink_disown(s)
            h.sink_keep(s)
            h.sink_fire_detached(s, 1, 100000, True)
        for _ in range(200):
            sum(range(1000))
        print("exiting")
    """)
    # Threads are still running at exit on purpose.
    env = no_leak_check_at_exit()
    for _ in range(10):
        proc = python_run(code, env=env)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "exiting\n"


def test_a_missing_method_stays_the_attribute_error(m, k):
    """An object without the method: the lookup's AttributeError is the error the caller sees, for
    every director class."""

    class Plain:
        pass

    plain = Plain()
    cases = [
        (m.new_TqLogSink, m.delete_TqLogSink, "Log", lambda s: m.TqLogSink_Log(s, 0, "logger", 1, "source", "a", "b")),
        (m.new_TqDeviceEventSink, m.delete_TqDeviceEventSink, "OnLinkReconnected",
         lambda s: m.TqDeviceEventSink_OnLinkReconnected(s, None)),
        (m.new_TqPipelineEventSink, m.delete_TqPipelineEventSink, "OnStart",
         lambda s: m.TqPipelineEventSink_OnStart(s, None)),
    ]
    for new, delete, name, call in cases:
        sink = new(plain)
        with pytest.raises(AttributeError) as info:
            call(sink)
        assert str(info.value) == "'Plain' object has no attribute '%s'" % name
        delete(sink)


SHAPE_FORMS = ("Wrong number or type of arguments for overloaded function 'new_ProbeShape'.\n"
               "  Possible C/C++ prototypes are:\n"
               "    ProbeShape::ProbeShape(uint32_t,uint32_t,size_t)\n"
               "    ProbeShape::ProbeShape(uint32_t,uint32_t)\n"
               "    ProbeShape::ProbeShape(uint32_t)\n"
               "    ProbeShape::ProbeShape(PyObject *)\n")


def test_constructor_forms_pass_the_sdk_arguments(hooks):
    """A director class whose constructor takes arguments: one form per count of items, the SDK's
    defaults for those left out, the texts of the dispatcher, and None refused for a class Python
    must subclass."""

    class Shape:
        def Area(self):
            return 7

    obj = Shape()
    before = hooks.live_objects().get("ProbeShape", 0)
    made = []
    for args, facts in (((), (640, 480, 16)), ((3,), (3, 480, 16)), ((3, 4), (3, 4, 16)),
                        ((3, 4, 2 ** 64 - 1), (3, 4, 2 ** 64 - 1))):
        shape = hooks.new_ProbeShape(obj, *args)
        made.append(shape)
        assert hooks.shape_facts(shape) == facts + (7,)   # the director answers from Python
        assert hooks.ProbeShape_Area(shape) == 7
    assert hooks.live_objects()["ProbeShape"] == before + 4
    for shape in made:
        hooks.delete_ProbeShape(shape)
    assert hooks.live_objects().get("ProbeShape", 0) == before

    raises(TypeError, SHAPE_FORMS, hooks.new_ProbeShape)
    raises(TypeError, "new_ProbeShape expected at most 4 arguments, got 5\nAdditional information:\n" + SHAPE_FORMS,
           hooks.new_ProbeShape, obj, 1, 2, 3, 4)
    # A value no form takes is the overload text, never an overflow.
    for bad in ((-1,), (2 ** 32,), (1, 2, 2 ** 64), (1, "2"), (1.5,)):
        raises(TypeError, SHAPE_FORMS, hooks.new_ProbeShape, obj, *bad)
    for args in ((), (1,), (1, 2, 3)):
        raises(RuntimeError, "accessing abstract class or protected constructor", hooks.new_ProbeShape, None, *args)
    assert hooks.live_objects().get("ProbeShape", 0) == before
