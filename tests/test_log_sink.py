"""TqLogSink subclasses receive log records from the SDK's threads and from wrapper calls; the flat
functions give their exact errors; disowning and deleting keep exact reference counts; callbacks
from several native threads are safe while Python threads run."""

import gc
import sys
import textwrap
import weakref

import pytest

from conftest import keeps_counts, raises

REPORT_ERROR = "SWIG director method error. "
PURE = "SWIG director pure virtual method called TqLogSink::Log"


@pytest.fixture
def logger(k, hooks):
    hooks.clear_log_records()
    yield k.TqLogger("cam")
    hooks.clear_log_records()


def recorder(k):
    class Recorder(k.TqLogSink):
        def __init__(self):
            super().__init__()
            self.records = []

        def Log(self, *args):
            self.records.append(args)

    return Recorder()


def test_abstract_class_and_flat_functions(m, k, hooks):
    raises(RuntimeError, "accessing abstract class or protected constructor", m.new_TqLogSink, None)
    raises(RuntimeError, "accessing abstract class or protected constructor", k.TqLogSink)
    for name in ("new_TqLogSink", "delete_TqLogSink", "TqLogSink_Log", "disown_TqLogSink"):
        assert getattr(m, name).__doc__ is None
    sink = recorder(k)
    raises(TypeError, "in method 'TqLogSink_Log', argument 1 of type 'TqLogSink *'", m.TqLogSink_Log, None, 1, "a", 1,
           "b", "c", "d")
    raises(TypeError, "in method 'TqLogSink_Log', argument 2 of type 'TqLogLevelEnum'", m.TqLogSink_Log, sink.this,
           "1", "a", 1, "b", "c", "d")
    raises(OverflowError, "in method 'TqLogSink_Log', argument 2 of type 'TqLogLevelEnum'", m.TqLogSink_Log,
           sink.this, 2**31, "a", 1, "b", "c", "d")
    raises(TypeError, "in method 'TqLogSink_Log', argument 3 of type 'char const *'", m.TqLogSink_Log, sink.this, 1,
           b"a", 1, "b", "c", "d")
    raises(OverflowError, "in method 'TqLogSink_Log', argument 4 of type 'uint32_t'", m.TqLogSink_Log, sink.this, 1,
           "a", -1, "b", "c", "d")
    raises(TypeError, "in method 'TqLogSink_Log', argument 7 of type 'char const *'", m.TqLogSink_Log, sink.this, 1,
           "a", 1, "b", "c", 4)
    raises(TypeError, "in method 'disown_TqLogSink', argument 1 of type 'TqLogSink *'", m.disown_TqLogSink, 3)
    raises(TypeError, "in method 'delete_TqLogSink', argument 1 of type 'TqLogSink *'", m.delete_TqLogSink, 3)
    assert m.delete_TqLogSink(None) is None and m.disown_TqLogSink(None) is None
    assert sink.records == []


def test_records_arrive_in_order(m, k, hooks, logger):
    sink = recorder(k)
    # Through the flat function on the director: any level, None for null texts, the GIL kept.
    assert m.TqLogSink_Log(sink.this, 7, "a", 2**32 - 1, None, "\u00e9", None) is None
    # From the SDK's logging, on the calling thread with the GIL released.
    hooks.log_add_sink(sink)
    try:
        logger.LogError("grab.cpp", 12, "text", None)
        logger.LogDebug("filtered", 0, None, None)   # below the logger's priority
    finally:
        assert hooks.log_remove_sink(sink)
    logger.LogError("after", 0, None, None)
    assert sink.records == [(7, "a", 2**32 - 1, None, "\u00e9", None), (m.TqLogLevelError, "cam", 12, "grab.cpp", "text", None)]
    # A sink made natively is called virtually; disowning it does nothing.
    native = hooks.native_log_sink()
    before = hooks.native_log_sink_count()
    m.TqLogSink_Log(native, 1, "a", 1, "b", "c", "d")
    m.disown_TqLogSink(native)
    assert hooks.native_log_sink_count() == before + 1


def test_up_call_and_failures(m, k, hooks, logger, capfd):
    class UpCalls(k.TqLogSink):
        def Log(self, *args):
            super().Log(*args)

    class Inherits(k.TqLogSink):
        pass

    class Raises(k.TqLogSink):
        def Log(self, level, *args):
            raise ValueError("bad level %d" % level)

    up, inherits, failing = UpCalls(), Inherits(), Raises()
    raises(RuntimeError, PURE, up.Log, 1, "a", 1, "b", "c", "d")
    raises(RuntimeError, PURE, m.TqLogSink_Log, up, 1, "a", 1, "b", "c", "d")
    assert capfd.readouterr().out == ""
    # Through the director: the report line on standard output, and the error in the caller.
    line = "In method 'Log': ValueErrorbad level 1"
    raises(RuntimeError, REPORT_ERROR + line, m.TqLogSink_Log, failing.this, 1, "a", 1, "b", "c", "d")
    inherited = "In method 'Log': RuntimeError" + PURE
    raises(RuntimeError, REPORT_ERROR + inherited, m.TqLogSink_Log, inherits.this, 1, "a", 1, "b", "c", "d")
    assert capfd.readouterr().out == line + "\n" + inherited + "\n"
    # From the SDK: every sink gets the record, the failed ones count, the first failure is the
    # logging call's error.
    good = recorder(k)
    failures = hooks.log_sink_failures()
    for sink in (failing, inherits, good):
        hooks.log_add_sink(sink)
    try:
        raises(RuntimeError, REPORT_ERROR + "In method 'Log': ValueErrorbad level 2", logger.LogError, "s", 1, "t", None)
    finally:
        for sink in (failing, inherits, good):
            hooks.log_remove_sink(sink)
    assert hooks.log_sink_failures() == failures + 2 and len(good.records) == 1
    assert capfd.readouterr().out.count("\n") == 2
    # On the SDK's own threads a failure is reported and counted; the threads go on.
    hooks.log_add_sink(failing)
    try:
        hooks.log_from_threads("native", 2, 3)
    finally:
        hooks.log_remove_sink(failing)
    assert hooks.log_sink_failures() == failures + 8
    assert capfd.readouterr().out == "In method 'Log': ValueErrorbad level 1\n" * 6


def test_a_report_piece_that_raises_is_left_out_and_its_error_stands(m, k, capfd):
    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    class Nameless(type):
        @property
        def __name__(cls):
            raise KeyError("no name")

    class Anonymous(Exception, metaclass=Nameless):
        pass

    class Raises(k.TqLogSink):
        def __init__(self, error, *args):
            super().__init__()
            self.error = (error, args)   # a new exception each call: none holds the sink through its frames

        def Log(self, *args):
            raise self.error[0](*self.error[1])

    # The value's text raises: the report has the type's name only, and the caller gets that error, not
    # the report's RuntimeError; the same for a type whose name raises, with the value's text kept.
    class NamelessUnprintable(Unprintable, metaclass=Nameless):
        pass

    sinks = [Raises(Unprintable, "x"), Raises(Anonymous, "kept"), Raises(NamelessUnprintable)]
    raises(LookupError, "no text", m.TqLogSink_Log, sinks[0].this, 1, "a", 1, "b", "c", "d")
    raises(KeyError, "'no name'", m.TqLogSink_Log, sinks[1].this, 1, "a", 1, "b", "c", "d")
    # Both raise: the first one stands.
    raises(KeyError, "'no name'", m.TqLogSink_Log, sinks[2].this, 1, "a", 1, "b", "c", "d")
    assert capfd.readouterr().out == "In method 'Log': Unprintable\nIn method 'Log': kept\nIn method 'Log': \n"
    # The errors' tracebacks reach the sinks through the overrides' frames: the sinks go here, not in a
    # later test's collection.
    del sinks
    gc.collect()


def test_method_cache_and_lifetime(m, k, hooks, gil_released):
    assert gil_released(lambda: recorder(k))
    sink = recorder(k)
    assert gil_released(lambda: m.delete_TqLogSink(recorder(k).this))
    m.TqLogSink_Log(sink.this, 1, "a", 1, "b", "c", "d")
    sink.Log = lambda *args: None   # the director keeps calling what it found first
    m.TqLogSink_Log(sink.this, 2, "a", 1, "b", "c", "d")
    assert [r[0] for r in sink.records] == [1, 2]
    # The director does not keep its owner alive: the sink dies with its last reference, and its
    # director with it.
    live = hooks.live_objects().get("TqLogSink", 0)
    alive = weakref.ref(sink)
    del sink
    assert alive() is None and hooks.live_objects().get("TqLogSink", 0) == live - 1


def test_disown_takes_one_reference(m, k, hooks):
    with keeps_counts():
        sink = recorder(k)
        before = sys.getrefcount(sink)
        proxy = sink.__disown__()
        m.disown_TqLogSink(sink)
        sink.__disown__()
        assert sys.getrefcount(sink) == before + 1 and not sink.thisown
        proxy.Log(1, "a", 1, "b", "c", "d")
        assert len(sink.records) == 1
        # The native side owns the director now: deleting it drops exactly that reference.
        hooks.log_add_sink(sink)
        hooks.log_remove_sink(sink)
        sink.this.own(True)   # hand it back, so that the test leaves nothing behind
        m.delete_TqLogSink(sink.this)
        assert sys.getrefcount(sink) == before


def test_native_threads_and_python_threads(python_run):
    code = textwrap.dedent("""
        import threading
        import kivo_python64 as k, _kivo_testhooks as h

        class Counter(k.TqLogSink):
            def __init__(self):
                super().__init__()
                self.count = 0
                self.threads = set()
            def Log(self, level, logger, number, source, text1, text2):
                self.count += 1
                self.threads.add(source)

        sink, late = Counter(), Counter()
        h.log_add_sink(sink)
        stop = threading.Event()
        def python_work():
            logger = k.TqLogger("py")
            while not stop.is_set():
                logger.LogInfo("python", 0, "x", None)
        workers = [threading.Thread(target=python_work) for _ in range(2)]
        for w in workers:
            w.start()
        natives = [threading.Thread(target=h.log_from_threads, args=("native", 4, 2000)) for _ in range(2)]
        for t in natives:
            t.start()
        h.log_add_sink(late)
        h.log_remove_sink(late)   # waits for calls in flight on the other threads
        for t in natives:
            t.join()
        stop.set()
        for w in workers:
            w.join()
        h.log_remove_sink(sink)
        native = sum(1 for s in sink.threads if s.startswith("thread "))
        print(native, sink.count >= 16000, h.log_sink_failures())
    """)
    proc = python_run(code, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "4 True 0\n"
