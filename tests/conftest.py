"""Shared fixtures: the built modules, the camera's parameter array and the leak-accounting helper."""

import contextlib
import gc
import json
import os
import select
import shutil
import subprocess
import sys
import threading
import time

import pytest

BUILD_PYTHON = os.environ.get(
    "KIVO_PYTHON_DIR", os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "python")
)
if BUILD_PYTHON not in sys.path:
    sys.path.insert(0, BUILD_PYTHON)

import _kivo_python64  # noqa: E402
import _kivo_testhooks  # noqa: E402
import kivo_python64  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "allocation: sizes from Python or a peer beyond what the process can be given (also run under an "
        "address-space limit by scripts/run-tests.sh)")


@pytest.fixture(scope="session")
def m():
    """The extension module itself (flat functions and constants)."""
    return _kivo_python64


@pytest.fixture(scope="session")
def k():
    """The companion layer (Python classes)."""
    return kivo_python64


@pytest.fixture(scope="session")
def hooks():
    """The test-only module on the same runtime."""
    return _kivo_testhooks


CAMERA_XML = os.path.join(os.path.dirname(os.path.abspath(__file__)), "genicam", "camera.xml")


@pytest.fixture
def camera():
    """A parameter array built from the camera description in tests/genicam."""
    with open(CAMERA_XML) as f:
        array = _kivo_testhooks.load_parameters(f.read())
    assert type(array) is kivo_python64.TqGenParameterArray, str(array.GetDescription())
    return array


def _live():
    gc.collect()
    return {cls: n for cls, n in _kivo_testhooks.live_objects().items() if n}


@contextlib.contextmanager
def keeps_counts(*args):
    """Asserts that the block leaves every live SDK object count, and the reference count of each
    argument, where it found them."""
    # The censuses hold small ints that may be the arguments themselves: both reference counts are
    # taken while the first census alone is alive.
    before = _live()
    refs = [sys.getrefcount(a) for a in args]
    yield
    gc.collect()
    counts = [sys.getrefcount(a) for a in args]
    after = _live()
    assert after == before, "live SDK objects changed: %r -> %r" % (before, after)
    assert counts == refs, "reference counts of arguments changed"


@pytest.fixture
def no_leaks():
    return keeps_counts


SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def assert_no_sanitizer_report(proc):
    """A child interpreter of the sanitizer run fails the test when it printed a sanitizer report."""
    for mark in SANITIZER_MARKS:
        assert mark not in proc.stderr, proc.stderr[-4000:]


def run_python(args, env=None, timeout=120, check_sanitizer=True):
    """Runs code (a str) or a script with arguments (a list) in a fresh interpreter with the build
    folder importable; returns the process."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = BUILD_PYTHON + os.pathsep + full_env.get("PYTHONPATH", "")
    if env:
        full_env.update(env)
    argv = ["-c", args] if isinstance(args, str) else list(args)
    proc = subprocess.run([sys.executable] + argv, capture_output=True, text=True, env=full_env, timeout=timeout)
    if check_sanitizer:
        assert_no_sanitizer_report(proc)
    return proc


def run_in_own_network(script, *settings):
    """Runs code (a str) in a fresh interpreter in a network namespace of its own (skipped where none can
    be made) with the build folder and the tests importable, after `ip` brought loopback up and made
    each of the settings (its arguments, e.g. ["link", "set", "lo", "mtu", "1500"]); returns the process."""
    unshare, ip = shutil.which("unshare"), shutil.which("ip")
    if not unshare or not ip:
        pytest.skip("needs unshare and ip (util-linux, iproute2) for a network namespace of its own")
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}   # ip runs without the sanitizer
    setup = "".join("import subprocess; subprocess.run(%r, check=True, env=%r)\n" % ([ip] + list(arguments), plain)
                    for arguments in [["link", "set", "lo", "up"], *settings])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD_PYTHON, os.path.dirname(__file__),
                                                        os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([unshare, "--net", sys.executable, "-c", setup + script], capture_output=True, text=True,
                          env=env, timeout=120)
    if proc.returncode != 0 and "unshare failed" in proc.stderr:
        pytest.skip("no network namespace can be made here: " + proc.stderr.strip()[-300:])
    assert_no_sanitizer_report(proc)
    return proc


def no_leak_check_at_exit():
    """Environment for a child whose threads may still be winding down when it exits: the leak
    checker's stop of the world can itself fail then, so under the sanitizer such a child looks for
    memory errors only (the in-process tests keep the leak check)."""
    options = os.environ.get("ASAN_OPTIONS", "")
    return {"ASAN_OPTIONS": options.replace("detect_leaks=1", "detect_leaks=0")} if "detect_leaks=1" in options else {}


@pytest.fixture
def python_run():
    return run_python


def releases_gil(call, timeout_ms=3000):
    """Runs call() with the stand-in SDK's gate armed: the first SDK object it constructs or destroys
    waits for another Python thread to open the gate. True when that thread got to run, that is
    when the wrapper released the GIL around its SDK call."""
    stop = threading.Event()

    def opener():
        while not stop.is_set():
            _kivo_testhooks.open_gate()
            time.sleep(0.0005)

    thread = threading.Thread(target=opener)
    thread.start()
    try:
        _kivo_testhooks.arm_gate(timeout_ms)
        call()
    finally:
        stop.set()
        thread.join()
    return _kivo_testhooks.gate_opened()


@pytest.fixture
def gil_released():
    return releases_gil


def assert_comparison(eq, ne, a, b, expected):
    """Checks an __eq__/__ne__ pair of flat functions on (a, b): expected is the bool of __eq__, or
    None when both must return NotImplemented."""
    got_eq, got_ne = eq(a, b), ne(a, b)
    if expected is None:
        assert got_eq is NotImplemented and got_ne is NotImplemented
    else:
        assert (got_eq, got_ne) == (expected, not expected) and type(got_eq) is bool


def assert_not_implemented_without_self(eq, ne, calls):
    for args in calls:
        assert eq(*args) is NotImplemented
        assert ne(*args) is NotImplemented


def ok(pair):
    """The value of an output list [TqResult, value] whose call succeeded."""
    result, value = pair
    assert result.IsOK(), str(result.GetDescription())
    return value


def arg(func, n, decl):
    """The bad-argument message of a wrapper."""
    return "in method '%s', argument %d of type '%s'" % (func, n, decl)


def raises(exc, message, func, *args):
    """Calls func(*args) and checks that it raises exactly exc with exactly message."""
    with pytest.raises(exc) as info:
        func(*args)
    assert type(info.value) is exc and str(info.value) == message


@pytest.fixture
def soft_devices():
    """Starts software GigE Vision devices through the test module (keywords as soft_device_start
    takes them) and stops them after the test."""
    started = []

    def start(**kwargs):
        handle = _kivo_testhooks.soft_device_start(**kwargs)
        started.append(handle)
        return handle

    yield start
    for handle in started:
        _kivo_testhooks.soft_device_stop(handle)


def connect_soft_device(k, soft_devices, **kwargs):
    """Starts a software device (keywords as soft_device_start takes them, its address among them) and
    connects to it: (handle, TqDevice). The device is the caller's to free."""
    handle = soft_devices(**kwargs)
    result, device = k.TqDevice.CreateAndConnect(kwargs["address"])
    assert result.IsOK(), str(result.GetDescription())
    return handle, device


def free_stream(k, stream):
    """Closes a stream, takes back every buffer still in it and frees it."""
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass
    k.TqStream.Free(stream)


def recording_sink(base, *members):
    """An object of a subclass of the callback class base whose members record each call, in order, as
    (member, thread ident, arguments) in its calls; names(member) gives one member's calls."""

    class Sink(base):
        def __init__(self):
            base.__init__(self)
            self.calls = []

        def names(self, name):
            return [c for c in self.calls if c[0] == name]

    for name in members:
        setattr(Sink, name, (lambda n: lambda self, *args: self.calls.append((n, threading.get_ident(), args)))(name))
    return Sink()


FAKE_CAMERA = """
import sys, gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis
camera = Aravis.GvFakeCamera.new("127.0.0.1", "GV01")
print("ready" if camera is not None else "failed", flush=True)
sys.stdin.read()
"""


# The start of an aravis client of the device at 127.0.0.1 that streams: the camera, its payload size and a
# stream whose socket buffer holds 4 MiB, packets read from the socket (no packet ring).
ARAVIS_STREAM = r"""
import json, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

camera = Aravis.Camera.new("127.0.0.1")
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
stream.set_property("socket-buffer-size", 4 << 20)
"""

# An aravis client that takes argv[1] frames in 32 buffers (with argv[2] "unpaced" from a device whose
# frame rate it switches off) and prints how many came with each status.
ARAVIS_STATUSES = ARAVIS_STREAM + r"""
if sys.argv[2:] == ["unpaced"]:
    camera.set_boolean("AcquisitionFrameRateEnable", False)
for _ in range(32):
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
camera.start_acquisition()
statuses = {}
for _ in range(int(sys.argv[1])):
    buffer = stream.timeout_pop_buffer(5000000)
    nick = buffer.get_status().value_nick if buffer else "none"
    statuses[nick] = statuses.get(nick, 0) + 1
    if buffer:
        stream.push_buffer(buffer)
camera.stop_acquisition()
print(json.dumps(statuses))
"""


def clean_environment():
    """The environment without the sanitizer preload: aravis runs uninstrumented."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")}


def aravis_client(script, *args, timeout=90):
    """Runs an aravis client script in a process of its own, without the sanitizer preload; the JSON
    object its last line of output holds."""
    try:
        proc = subprocess.run(["/usr/bin/python3", "-c", script] + [str(a) for a in args], capture_output=True,
                              text=True, env=clean_environment(), timeout=timeout)
    except subprocess.TimeoutExpired as error:
        pytest.fail("the aravis client did not finish: %s" % (error.stderr or b"")[-2000:])
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def aravis_fake_camera():
    """aravis's fake GigE Vision camera on 127.0.0.1, in a process of its own."""
    proc = subprocess.Popen(["/usr/bin/python3", "-c", FAKE_CAMERA], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=clean_environment(), cwd="/")
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        assert ready and proc.stdout.readline().strip() == "ready", "aravis's fake camera did not start"
        yield
    finally:
        proc.stdin.close()
        proc.wait(timeout=20)


def until(condition, seconds=10.0):
    """Waits for condition() to hold, polling; False when it did not within the seconds."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def ticks_during(call):
    """Runs call() while another Python thread counts ticks: (call's result, ticks counted). A call
    that blocks without the GIL lets the other thread tick."""
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.005)

    thread = threading.Thread(target=count)
    thread.start()
    try:
        result = call()
    finally:
        stop.set()
        thread.join()
    return result, len(ticks)


def packet_ring_open():
    """Whether this process holds a packet socket (a stream's packet ring)."""
    try:
        with open("/proc/self/net/packet") as f:
            inodes = {line.split()[-1] for line in f.readlines()[1:]}
    except OSError:
        return False
    for fd in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue
        if link.startswith("socket:[") and link[8:-1] in inodes:
            return True
    return False


def _may_open_packet_ring():
    import socket
    try:
        socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0).close()
        return True
    except OSError:
        return False


@pytest.fixture(params=["offload", "plain", "ring"])
def receive_path(request, monkeypatch):
    """The receive path a GigE Vision stream opened in the test takes (the switches are read as the
    stream opens): the socket with UDP receive offload, the plain socket, the packet ring (skipped
    where the process may not open one)."""
    monkeypatch.delenv("KIVO_GVSP_PLAIN_RECEIVE", raising=False)
    if request.param == "ring" and not _may_open_packet_ring():
        pytest.skip("this process may not open a packet socket")
    monkeypatch.setenv("KIVO_GVSP_RECEIVE", request.param)
    return request.param
