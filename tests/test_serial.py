"""Device serial ports over a connected software device: bytes written come back through the port's
loopback, reads wait without the GIL, the receive buffer drops its oldest bytes and is flushed by a
resize, a large write's progress is watched from another thread, statistics are exact beyond 2**32,
echo sinks hear the traffic, the adapter stays alive while the port is open, and the exact messages."""

import gc
import sys
import threading
import time

import numpy as np
import pytest

from conftest import arg, connect_soft_device, raises, ticks_during, until


@pytest.fixture
def adapter(k, soft_devices):
    """A software device at 127.0.0.2, connected, and its adapter: (handle, device, adapter)."""
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Serial Source",
                                         mac="02:4b:49:63:00:01", width=64, height=48)
    adapter = k.TqDeviceAdapter(device)
    yield handle, device, adapter
    del adapter
    gc.collect()
    k.TqDevice.Free(device)


@pytest.fixture
def port(m, k, adapter):
    handle, device, dev_adapter = adapter
    p = k.TqDeviceSerialPort()
    assert p.Open(dev_adapter, m.TqDeviceSerial0).IsOK() and p.IsOpened()
    yield p
    p.Close()


def read_all(port, wanted, timeout=2000):
    got = b""
    deadline = time.time() + 10
    while len(got) < wanted and time.time() < deadline:
        result, data, count = port.Read(wanted - len(got), timeout)
        got += bytes(data[:count])
    return got


def test_loopback_and_results(m, k, port):
    result, count = port.Write(np.arange(3, dtype=np.uint8))
    assert result.IsOK() and count == 3
    result, data, count = port.Read(16, 1000)
    if count < 3:   # the bytes may come back in two deliveries
        rest = read_all(port, 3 - count)
        data, count = np.concatenate([data[:count], np.frombuffer(rest, np.uint8)]), 3
    assert result.IsOK() and count == 3 and data.dtype == np.uint8
    assert list(data[:3]) == [0, 1, 2]
    # A list of small ints, an empty array.
    assert port.Write([7, 8, 9])[0].IsOK() and read_all(port, 3) == b"\x07\x08\x09"
    assert port.Write(np.zeros(0, np.uint8))[1] == 0
    # Progress after a write: written == total.
    result, written, total = port.GetWriteProgress()
    assert result.IsOK() and written == total
    # Nothing to read: TIMEOUT with an untouched (zeroed) array.
    result, data, count = port.Read(8, 50)
    assert result.GetCode() == m.TQ_TIMEOUT and count == 0 and not data.any() and data.shape == (8,)
    result, data, count = port.Read(0, 0)
    assert data.shape == (0,)


def test_read_waits_without_the_gil(m, k, port):
    (result, data, count), ticks = ticks_during(lambda: port.Read(4, 400))
    assert result.GetCode() == m.TQ_TIMEOUT and ticks >= 10


def test_receive_buffer(m, k, adapter, hooks, port):
    handle, device, dev_adapter = adapter
    result, size = port.GetRxBufferSize()
    assert result.IsOK() and size == 65536
    assert port.SetRxBufferSize(8).IsOK() and port.GetRxBufferSize()[1] == 8
    hooks.serial_inject(handle, m.TqDeviceSerial0, bytes(range(12)))
    assert until(lambda: port.GetRxBytesReady()[1] == 8)
    assert read_all(port, 8) == bytes(range(4, 12))   # the oldest went first
    hooks.serial_inject(handle, m.TqDeviceSerial0, b"abc")
    assert until(lambda: port.GetRxBytesReady()[1] == 3)
    assert port.SetRxBufferSize(16).IsOK() and port.GetRxBytesReady()[1] == 0   # resizing flushes
    hooks.serial_inject(handle, m.TqDeviceSerial0, b"xyz")
    assert until(lambda: port.GetRxBytesReady()[1] == 3)
    assert port.FlushRxBuffer().IsOK() and port.GetRxBytesReady()[1] == 0


def test_progress_from_another_thread(m, k, port):
    assert port.GetWriteProgress()[0].GetCode() == m.TQ_STATE_ERROR   # no write yet
    seen = []
    done = threading.Event()

    def watch():
        while not done.is_set():
            result, written, total = port.GetWriteProgress()
            if result.IsOK():
                seen.append((written, total))
            time.sleep(0.0005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    payload = np.frombuffer(np.random.default_rng(1).bytes(256 * 1024), np.uint8)
    result, count = port.Write(payload)
    done.set()
    watcher.join()
    assert result.IsOK() and count == len(payload)
    assert seen and all(0 <= w <= t == len(payload) for w, t in seen)
    assert port.GetWriteProgress()[1:] == [len(payload), len(payload)]


def test_statistics_and_echo_sinks(m, k, hooks, port):
    port.ResetStatistics()
    assert (port.GetBytesSent(), port.GetBytesReceived()) == (0, 0)
    hooks.serial_preset_statistics(port, 2 ** 40 + 5, 2 ** 33)
    assert (port.GetBytesSent(), port.GetBytesReceived()) == (2 ** 40 + 5, 2 ** 33)
    sink = hooks.serial_echo_sink()
    try:
        assert m.TqDeviceSerialPort_RegisterEchoSink(sink).IsOK()
        assert k.TqDeviceSerialPort.RegisterEchoSink(sink).GetCode() == m.TQ_NOT_SUPPORTED
        assert port.Write(np.array([1, 2], np.uint8))[0].IsOK()
        read_all(port, 2)
        assert port.NotifyReadComplete().IsOK()
        kinds = [e[0] for e in hooks.serial_echo_events(sink)]
        assert "write" in kinds and "read" in kinds and "complete" in kinds
        assert m.TqDeviceSerialPort_UnregisterEchoSink(sink).IsOK()
        assert m.TqDeviceSerialPort_UnregisterEchoSink(sink).GetCode() == m.TQ_NOT_FOUND
    finally:
        hooks.free_serial_echo_sink(sink)
    assert m.TqDeviceSerialPort_RegisterEchoSink(None).GetCode() == m.TQ_INVALID_PARAMETER


def test_ports_by_kind_and_codes(m, k, adapter, hooks):
    handle, device, dev_adapter = adapter
    assert k.TqDeviceSerialPort.IsSupported(dev_adapter, m.TqDeviceSerial1)
    assert not k.TqDeviceSerialPort.IsSupported(dev_adapter, m.TqDeviceSerialBulk0)   # USB3 Vision only
    assert not m.TqDeviceSerialPort_IsSupported(None, m.TqDeviceSerial0)
    p = k.TqDeviceSerialPort()
    assert p.Open(dev_adapter, m.TqDeviceSerialBulk0).GetCode() == m.TQ_NOT_SUPPORTED
    assert p.Open(None, m.TqDeviceSerial0).GetCode() == m.TQ_INVALID_PARAMETER
    assert m.TqDeviceSerialPort_Open(p, dev_adapter, 42).GetCode() == m.TQ_NOT_SUPPORTED   # passed unchanged
    hooks.serial_unsupported(handle, m.TqDeviceSerial1, True)
    assert p.Open(dev_adapter, m.TqDeviceSerial1).GetCode() == m.TQ_NOT_SUPPORTED
    hooks.serial_unsupported(handle, m.TqDeviceSerial1, False)
    assert p.Open(dev_adapter, m.TqDeviceSerial1).IsOK()
    assert p.Close().IsOK() and p.Close().GetCode() == m.TQ_NOT_CONNECTED and not p.IsOpened()
    assert p.Write(np.zeros(2, np.uint8))[0].GetCode() == m.TQ_NOT_CONNECTED


def test_open_port_keeps_its_adapter(m, k, adapter):
    handle, device, dev_adapter = adapter
    extra = k.TqDeviceAdapter(device)
    before = sys.getrefcount(extra)
    p = k.TqDeviceSerialPort()
    assert p.Open(extra, m.TqDeviceSerial0).IsOK()
    assert sys.getrefcount(extra) == before + 1
    assert p.Close().IsOK()
    assert sys.getrefcount(extra) == before


@pytest.mark.allocation
def test_counts_are_unsigned_and_sizes_checked(m, k, port):
    with pytest.raises(OverflowError):
        m.TqDeviceSerialPort_Read(port, -1, 10)
    with pytest.raises(OverflowError):
        m.TqDeviceSerialPort_Read(port, 2 ** 31, 10)
    raises(TypeError, "Int dimension expected.  'float' given.", m.TqDeviceSerialPort_Read, port, 16.0, 100)
    raises(OverflowError, arg("TqDeviceSerialPort_Read", 5, "uint32_t"), m.TqDeviceSerialPort_Read, port, 16, -1)
    raises(TypeError, "TqDeviceSerialPort_Read expected 3 arguments, got 2", m.TqDeviceSerialPort_Read, port, 16)
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqDeviceSerialPort_Write,
           port, np.zeros((2, 2), np.uint8))


def test_messages(m, k, adapter):
    handle, device, dev_adapter = adapter
    p = k.TqDeviceSerialPort()
    raises(TypeError, arg("TqDeviceSerialPort_IsOpened", 1, "TqDeviceSerialPort *"), m.TqDeviceSerialPort_IsOpened,
           None)
    raises(TypeError, arg("TqDeviceSerialPort_Open", 2, "ITqDeviceAdapter *"), m.TqDeviceSerialPort_Open, p, device,
           0)
    raises(OverflowError, arg("TqDeviceSerialPort_Open", 3, "TqDeviceSerial"), m.TqDeviceSerialPort_Open, p,
           dev_adapter, 2 ** 40)
    raises(TypeError, arg("TqDeviceSerialPort_IsSupported", 1, "ITqDeviceAdapter *"),
           m.TqDeviceSerialPort_IsSupported, device, 0)
    raises(TypeError, arg("TqDeviceSerialPort_RegisterEchoSink", 1, "TqDeviceSerialPortEchoSink *"),
           m.TqDeviceSerialPort_RegisterEchoSink, p)
    raises(TypeError, arg("TqDeviceSerialPort_GetBytesSent", 1, "TqDeviceSerialPort const *"),
           m.TqDeviceSerialPort_GetBytesSent, None)
    raises(OverflowError, arg("TqDeviceSerialPort_SetRxBufferSize", 2, "uint32_t"),
           m.TqDeviceSerialPort_SetRxBufferSize, p, -1)
    assert m.delete_TqDeviceSerialPort(None) is None
    assert m.TqDeviceSerialPort_Write.__doc__.startswith("Write( aBuffer ) -> TqResult, int")
    assert m.TqDeviceSerialPort_Read.__doc__.startswith("Read( aSize, aTimeout=0 ) -> TqResult, ndarray, int")
