"""TqLogger: records reach the SDK's log with their values in order (None as a null text), the
priority filters them, and the argument conversions give their exact messages."""

import threading

import pytest

from conftest import arg, raises

LOG_FUNCTIONS = [("TqLogger_LogInfo", 1), ("TqLogger_LogError", 2), ("TqLogger_LogWarning", 3),
                 ("TqLogger_LogCritical", 4), ("TqLogger_LogDebug", 5)]


@pytest.fixture
def log(hooks):
    hooks.clear_log_records()
    yield hooks.log_records
    hooks.clear_log_records()


def test_records_and_priority(m, k, log):
    logger = k.TqLogger("cam")
    assert logger.thisown and logger.GetLogPriority() == m.TqLogLevelInfo
    m.TqLogger_SetLogPriority(logger, m.TqLogLevelDebug)   # everything goes on
    for name, level in LOG_FUNCTIONS:
        assert getattr(m, name)(logger, "grab.cpp", level * 10, "text " + name, "\u00e9") is None
    m.TqLogger_LogInfo(logger, None, 0, None, None)
    assert log() == [(level, "cam", "grab.cpp", level * 10, "text " + name, "\u00e9") for name, level in LOG_FUNCTIONS] + \
        [(1, "cam", None, 0, None, None)]
    # Warning lets Critical, Error and Warning through; an unknown priority everything.
    m.TqLogger_SetLogPriority(logger, m.TqLogLevelWarning)
    assert m.TqLogger_GetLogPriority(logger) == m.TqLogLevelWarning
    for name, _ in LOG_FUNCTIONS:
        getattr(m, name)(logger, "p", -1, "a", "b")
    assert [r[0] for r in log()[6:]] == [2, 3, 4] and log()[6][3] == -1
    m.TqLogger_SetLogPriority(logger, -7)
    assert logger.GetLogPriority() == -7
    logger.LogDebug("d", 0, "kept", None)
    assert log()[-1][4] == "kept"
    # A logger made from a TqString carries its name.
    k.TqLogger(k.TqString("second")).LogError("s", 1, "t", "u")
    assert log()[-1][:2] == (2, "second")


def test_conversions(m, k, log):
    logger = k.TqLogger("cam")
    for name, _ in LOG_FUNCTIONS:
        raises(OverflowError, arg(name, 3, "int"), getattr(m, name), logger, "a", 2**31, "b", "c")
        raises(TypeError, arg(name, 3, "int"), getattr(m, name), logger, "a", 1.0, "b", "c")
        raises(TypeError, arg(name, 2, "char const *"), getattr(m, name), logger, b"a", 1, "b", "c")
        raises(TypeError, arg(name, 5, "char const *"), getattr(m, name), logger, "a", 1, "b", 3)
        raises(TypeError, arg(name, 1, "TqLogger *"), getattr(m, name), None, "a", 1, "b", "c")
        raises(TypeError, "%s expected 5 arguments, got 4" % name, getattr(m, name), logger, "a", 1, "b")
    for bad in (5, None, b"cam"):
        raises(TypeError, "Argument 1: failed to create TqString from Python string", m.new_TqLogger, bad)
    raises(OverflowError, arg("TqLogger_SetLogPriority", 2, "int32_t"), m.TqLogger_SetLogPriority, logger, 2**31)
    raises(TypeError, arg("delete_TqLogger", 1, "TqLogger *"), m.delete_TqLogger, k.TqString("x"))
    assert m.delete_TqLogger(None) is None
    assert log() == []
    assert m.TqLogger_LogInfo.__doc__ is None and m.new_TqLogger.__doc__ is None


def test_many_threads_log_at_once(m, k, hooks, log):
    loggers = [k.TqLogger("t%d" % i) for i in range(4)]

    def write(logger):
        for i in range(200):
            logger.LogError("thread", i, "x", "y")

    threads = [threading.Thread(target=write, args=(logger,)) for logger in loggers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    records = log()
    assert len(records) == 800
    for logger in ("t0", "t1", "t2", "t3"):
        assert [r[3] for r in records if r[1] == logger] == list(range(200))
    del loggers
    assert hooks.live_objects().get("TqLogger", 0) == 0
