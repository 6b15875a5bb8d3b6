"""TqSystem: discovery of the host's interfaces and of GigE Vision devices over loopback (aravis's
fake camera as an independent device), FindDevice by each key, the settings, the native event
sink, exact messages, and the GIL released while a find blocks."""

import gc
import socket
import struct
import threading
import time
import weakref

import pytest

from conftest import arg, keeps_counts, raises, ticks_during

@pytest.fixture
def system(k):
    system = k.TqSystem()
    system.SetDetectionTimeout(300)
    return system


def records(system):
    return [system.GetDeviceInfo(i) for i in range(system.GetDeviceCount())]


def test_settings_and_messages(m, k, hooks, system):
    assert system.GetDetectionTimeout() == 300 and k.TqSystem().GetDetectionTimeout() == 1500
    m.TqSystem_SetDetectionTimeout(system, 50)   # passed unchanged; the library clamps
    assert hooks.call_log("TqSystem::SetDetectionTimeout") == "50" and system.GetDetectionTimeout() == 100
    system.SetDetectionTimeout(10**6)
    assert system.GetDetectionTimeout() == 60000
    assert (system.GetGEVSupportedVersion(), system.GetU3VSupportedVersion()) == (0x00020002, 0x00010002)
    assert system.GetSubnetBroadcastEnabled() is False
    system.SetSubnetBroadcastEnabled(True)
    assert system.GetSubnetBroadcastEnabled() is True
    raises(TypeError, arg("TqSystem_SetSubnetBroadcastEnabled", 2, "bool"), m.TqSystem_SetSubnetBroadcastEnabled,
           system, 1)
    raises(TypeError, arg("TqSystem_Find", 1, "TqSystem *"), m.TqSystem_Find, None)
    raises(TypeError, arg("TqSystem_GetInterfaceCount", 1, "TqSystem const *"), m.TqSystem_GetInterfaceCount, None)
    for bad, error in ((-1, OverflowError), (1.0, TypeError)):
        raises(error, arg("TqSystem_GetInterface", 2, "uint32_t"), m.TqSystem_GetInterface, system, bad)
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqSystem_FindDevice, system, 5,
           None)
    raises(TypeError, "TqSystem_FindDevice expected 3 arguments, got 2", m.TqSystem_FindDevice, system,
           "00:11:22:33:44:5F")
    raises(TypeError, arg("TqSystem_FindDevice", 3, "TqDeviceInfo const **"), m.TqSystem_FindDevice, system, "x",
           system)
    raises(TypeError, arg("TqSystem_RegisterEventSink", 2, "TqSystemEventSink *"), m.TqSystem_RegisterEventSink,
           system, system)
    assert m.delete_TqSystem(None) is None
    assert system.FindDevice("", None).GetCode() == m.TQ_INVALID_PARAMETER
    assert m.new_TqSystem.__doc__ == "Constructor." and "blocking" in m.TqSystem_Find.__doc__


def test_find_types_what_it_found(m, k, hooks):
    hooks.sim_add_hardware()
    try:
        with keeps_counts():
            system = k.TqSystem()
            system.SetDetectionTimeout(100)
            assert system.GetInterfaceCount() == 0 and system.GetInterface(0) is None
            assert system.Find().GetCode() == m.TQ_OK
            interfaces = [system.GetInterface(i) for i in range(system.GetInterfaceCount())]
            assert [type(i) for i in interfaces] == [k.TqNetworkAdapter, k.TqUSBHostController, k.TqNetworkAdapter,
                                                      k.TqInterface]
            assert system.GetInterface(len(interfaces)) is None
            found = records(system)
            kinds = {type(r) for r in found}
            assert {k.TqDeviceInfoGEV, k.TqDeviceInfoU3V, k.TqDeviceInfoUSB, k.TqDeviceInfoZelvraProtocol,
                    k.TqDeviceInfo} <= kinds
            assert system.GetDeviceInfo(len(found)) is None
            system.Find()   # records handed out before stay valid
            assert str(found[0].GetModelName()) == str(system.GetDeviceInfo(0).GetModelName())
            # The records belong to the system; its proxy lives as long as theirs.
            alive = weakref.ref(system)
            record = found[-1]
            del system, found, interfaces
            gc.collect()
            assert alive() is not None and str(record.GetModelName()) == "Unknown kind"
            del record
            gc.collect()
            assert alive() is None
    finally:
        hooks.sim_remove_hardware()


def test_aravis_fake_camera_is_found(m, k, system, aravis_fake_camera):
    assert system.Find().GetCode() == m.TQ_OK
    fakes = [r for r in records(system) if str(r.GetVendorName()) == "Aravis"]
    assert len(fakes) == 1, [str(r.GetModelName()) for r in records(system)]
    fake = fakes[0]
    assert type(fake) is k.TqDeviceInfoGEV and str(fake.GetModelName()) == "Fake"
    assert (str(fake.GetMACAddress()), str(fake.GetIPAddress())) == ("00:00:00:00:00:00", "127.0.0.1")
    assert str(fake.GetConnectionID()) == "127.0.0.1" and type(fake.GetInterface()) is k.TqNetworkAdapter
    # FindDevice by MAC (any case) or IP; the record lands in the system's lists.
    for key in ("00:00:00:00:00:00", "127.0.0.1"):
        assert system.FindDevice(key, None).GetCode() == m.TQ_OK
    assert any(str(r.GetVendorName()) == "Aravis" for r in records(system))
    assert system.FindDevice("02:00:00:00:99:99", None).GetCode() == m.TQ_NOT_FOUND


def test_find_blocks_without_the_gil(system):
    started = time.monotonic()
    _, ticks = ticks_during(system.Find)
    assert time.monotonic() - started >= 0.25 and ticks >= 5


def test_event_sink(m, hooks, system):
    sink = hooks.system_sink()
    assert system.RegisterEventSink(None).GetCode() == m.TQ_INVALID_PARAMETER
    assert system.UnregisterEventSink(sink).GetCode() == m.TQ_NOT_FOUND
    assert system.RegisterEventSink(sink).GetCode() == m.TQ_OK
    assert system.RegisterEventSink(sink).GetCode() == m.TQ_GENERIC_ERROR
    hooks.sim_add_hardware()
    try:
        before = hooks.system_sink_count()
        system.Find()
        assert hooks.system_sink_count() - before == system.GetDeviceCount() >= 5
    finally:
        hooks.sim_remove_hardware()
        assert system.UnregisterEventSink(sink).GetCode() == m.TQ_OK


def test_unicast_targets(m, hooks, system):
    """A peer bound to one loopback address hears no broadcast: discovery asks it when a test adds
    its address."""
    peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    peer.bind(("127.0.0.9", 3956))
    stop = threading.Event()

    def answer():
        peer.settimeout(0.05)
        while not stop.is_set():
            try:
                data, sender = peer.recvfrom(1024)
            except socket.timeout:
                continue
            if len(data) >= 8 and struct.unpack(">H", data[2:4])[0] == 0x0002:   # DISCOVERY
                bootstrap = bytearray(248)
                struct.pack_into(">HH", bootstrap, 0, 2, 0)
                struct.pack_into(">HI", bootstrap, 10, 0x0201, 0x02030409)
                struct.pack_into(">I", bootstrap, 36, 0x7F000009)
                bootstrap[72:80] = b"Unicast!"
                bootstrap[104:109] = b"Peer9"
                ack = struct.pack(">HHHH", 0, 0x0003, 248, struct.unpack(">H", data[6:8])[0]) + bytes(bootstrap)
                peer.sendto(ack, sender)

    thread = threading.Thread(target=answer)
    thread.start()
    try:
        system.Find()
        assert not [r for r in records(system) if str(r.GetModelName()) == "Peer9"]
        hooks.discovery_target("127.0.0.9")
        system.Find()
        (peer9,) = [r for r in records(system) if str(r.GetModelName()) == "Peer9"]
        assert (str(peer9.GetIPAddress()), str(peer9.GetMACAddress())) == ("127.0.0.9", "02:01:02:03:04:09")
    finally:
        hooks.discovery_targets_clear()
        stop.set()
        thread.join()
        peer.close()
