"""The device engine on the wire: the raw GVCP client of gvcp_client and a GVSP receiver written here talk to
software devices on loopback (discovery, also at the limited broadcast address, bootstrap registers, the
description in device memory, errors, privilege and heartbeat, FORCEIP, a frame over GVSP, events on the
messaging channel); senders outside 127.0.0.0/8 are never answered."""

import socket
import struct
import time

import pytest

from conftest import run_in_own_network, until
from gvcp_client import (
    ACCESS_DENIED, ACK_REQUIRED, ACQUISITION_MODE, ACQUISITION_START, BAD_ALIGNMENT, BROADCAST, CCP,
    DISCOVERY, EVENT, EVENTDATA, FEATURES, FORCEIP, HEARTBEAT, HEIGHT, INVALID_ADDRESS, INVALID_PARAMETER,
    LIMITED_BROADCAST, MCDA, MCP, MCRC, MCTT, MONO16, MONO8, PACKETRESEND, PIXEL_FORMAT, PORT, SCDA, SCP,
    SCPS, SUCCESS, WIDTH, WRITEREG, Client, ip_text, ip_value, mac_of, text,
)

import _kivo_testhooks as hooks

@pytest.fixture
def devices(soft_devices):
    return soft_devices


@pytest.fixture
def clients():
    made = []

    def make(device, timeout=1.0):
        client = Client(device, timeout)
        made.append(client)
        return client

    yield make
    for client in made:
        client.close()


def address_of(handle):
    return hooks.soft_device_info(handle)["address"]


def test_discovery_unicast_and_broadcast(devices, clients):
    first = devices(address="127.0.0.2", manufacturer="Kivo Sim", model="Wire One", serial="W1",
                    mac="02:4b:49:10:00:01")
    second = devices(manufacturer="Kivo Sim", model="Wire Two", mac="02:4b:49:10:00:02")
    assert address_of(first) == "127.0.0.2"
    client = clients("127.0.0.2", timeout=0.5)

    [(source, payload)] = client.discover()
    assert source == ("127.0.0.2", PORT)
    assert struct.unpack(">HH", payload[:4]) == (1, 2)
    assert text(payload, 0x48, 32) == "Kivo Sim"
    assert text(payload, 0x68, 32) == "Wire One"
    assert text(payload, 0xD8, 16) == "W1"
    assert ip_text(struct.unpack(">I", payload[0x24:0x28])[0]) == "127.0.0.2"
    assert mac_of(payload) == "02:4b:49:10:00:01"

    # A broadcast reaches every device; each answers from its own address.
    answers = {mac_of(p): (source, text(p, 0x68, 32), ip_text(struct.unpack(">I", p[0x24:0x28])[0]))
               for source, p in client.discover(BROADCAST, {"02:4b:49:10:00:01", "02:4b:49:10:00:02"})}
    second_address = address_of(second)
    assert answers["02:4b:49:10:00:01"] == (("127.0.0.2", PORT), "Wire One", "127.0.0.2")
    assert answers["02:4b:49:10:00:02"] == ((second_address, PORT), "Wire Two", second_address)

    listed = {d["mac"]: d for d in hooks.soft_devices()}
    assert listed["02:4b:49:10:00:02"]["address"] == second_address
    assert listed["02:4b:49:10:00:01"]["model"] == "Wire One"
    assert hooks.soft_device_statistics(first)["discoveries"] >= 2  # others may broadcast on loopback too


def test_bootstrap_registers_and_description(devices, clients):
    handle = devices(manufacturer="Kivo Sim", mac="02:4b:49:10:00:03")
    client = clients(address_of(handle))
    assert client.read_reg(0x0904) == 1  # stream channels
    assert client.read_reg(0x0024) == ip_value(address_of(handle))
    assert client.read_reg(WIDTH) == 640
    status, url = client.read_mem(0x0200, 512)
    assert status == SUCCESS
    url = url.split(b"\0")[0].decode()
    scheme, name, address, size = url.replace(":", ";", 1).split(";")
    assert (scheme, name) == ("Local", "kivo_device.xml")
    address, size = int(address, 16), int(size, 16)
    xml = b""
    while len(xml) < size:
        status, chunk = client.read_mem(address + len(xml), min(536, size - len(xml)))
        assert status == SUCCESS
        xml += chunk
    assert xml.decode() == hooks.soft_device_xml(handle)


def test_alignment_address_and_privilege_errors(devices, clients):
    handle = devices(mac="02:4b:49:10:00:04")
    app, other = clients(address_of(handle)), clients(address_of(handle))
    assert app.read_regs(0x0002)[0] == BAD_ALIGNMENT
    assert app.read_mem(0x0048, 30)[0] == BAD_ALIGNMENT
    assert app.read_mem(0x0048, 540)[0] == INVALID_PARAMETER
    assert app.read_regs(0x00020000)[0] == INVALID_ADDRESS
    assert app.write_reg(WIDTH, 320) == ACCESS_DENIED

    assert app.write_reg(CCP, 2) == SUCCESS
    assert app.write_reg(WIDTH, 320) == SUCCESS
    assert other.read_reg(WIDTH) == 320
    assert other.write_reg(WIDTH, 100) == ACCESS_DENIED
    assert other.write_reg(CCP, 2) == ACCESS_DENIED
    assert app.write_reg(CCP, 1) == SUCCESS  # exclusive: the others may not even read
    assert other.read_regs(WIDTH)[0] == ACCESS_DENIED
    assert hooks.soft_device_info(handle)["controller"] == "127.0.0.1:%d" % app.sock.getsockname()[1]


def test_heartbeat_expiry_frees_the_device(devices, clients):
    handle = devices(mac="02:4b:49:10:00:05")
    app, other = clients(address_of(handle)), clients(address_of(handle))
    assert app.write_reg(CCP, 2) == SUCCESS
    assert app.write_reg(HEARTBEAT, 500) == SUCCESS
    assert other.read_reg(CCP) == 2
    deadline = time.monotonic() + 10
    while other.read_reg(CCP) != 0:  # the application stays silent
        assert time.monotonic() < deadline, "the privilege never expired"
        time.sleep(0.1)
    assert app.write_reg(WIDTH, 320) == ACCESS_DENIED
    assert other.write_reg(CCP, 2) == SUCCESS
    stats = hooks.soft_device_statistics(handle)
    assert (stats["heartbeat_failures"], stats["sessions_opened"]) == (1, 2)


def test_forceip_moves_the_device(devices, clients):
    handle = devices(mac="02:4b:49:10:00:06")
    old = address_of(handle)
    new = "127.0.0.%d" % (200 + int(old.split(".")[3]) % 50)
    client = clients(old, timeout=0.3)

    with pytest.raises(socket.timeout):
        client.force_ip("02:4b:49:10:00:07", new)  # another device's MAC: no answer
    status, answer, _, source = client.force_ip("02:4b:49:10:00:06", "10.1.2.3")
    assert (status, answer) == (INVALID_PARAMETER, FORCEIP + 1)
    status, answer, _, source = client.force_ip("02:4b:49:10:00:06", new)
    assert (status, answer, source) == (SUCCESS, FORCEIP + 1, (new, PORT))
    assert address_of(handle) == new
    [(source, payload)] = client.discover(to=new)
    assert source == (new, PORT)
    assert ip_text(struct.unpack(">I", payload[0x24:0x28])[0]) == new
    assert client.discover(to=old) == []
    assert hooks.soft_device_statistics(handle)["force_ips"] == 3


def expected_mono8(width, height, frame):
    row = bytes(range(256)) * ((width + height + 256) // 256 + 1)
    return b"".join(row[(y + frame) % 256:(y + frame) % 256 + width] for y in range(height))


def stream_socket():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(3)
    return sock


def receive_frame(sock):
    """Leader, payload and trailer packets of the next complete block: (block id, leader, data, packets)."""
    leader, parts = None, {}
    while True:
        packet = sock.recv(65536)
        status, block, infos = struct.unpack(">HHI", packet[:8])
        assert status == 0
        kind, packet_id = infos >> 24, infos & 0xFFFFFF
        if kind == 1:
            leader, parts, current = packet, {}, block
        elif leader is None or block != current:
            continue
        elif kind == 3:
            parts[packet_id] = packet[8:]
        elif kind == 2:
            assert sorted(parts) == list(range(1, packet_id))
            assert struct.unpack(">HHI", packet[8:16]) == (0, 1, struct.unpack(">I", leader[28:32])[0])
            return block, leader, b"".join(parts[i] for i in sorted(parts)), packet_id + 1


def test_full_frame_over_gvsp_equals_the_pattern(devices, clients):
    handle = devices(address="127.0.0.2", manufacturer="Kivo Sim", width=640, height=480, pixel_format=MONO8,
                     mac="02:4b:49:10:00:08")
    client = clients("127.0.0.2")
    sock = stream_socket()
    try:
        port = sock.getsockname()[1]
        assert client.write_reg(CCP, 2) == SUCCESS
        assert client.write_reg(SCDA, ip_value("127.0.0.1")) == SUCCESS
        assert client.write_reg(SCP, port) == SUCCESS
        # The test packet fills the packet size: IP and UDP headers plus the datagram.
        assert client.write_reg(SCPS, 0x80000000 | 1500) == SUCCESS
        assert len(sock.recv(65536)) == 1500 - 28
        assert client.read_reg(SCPS) & 0xFFFF == 1500

        assert client.write_reg(ACQUISITION_MODE, 1) == SUCCESS
        assert client.write_reg(ACQUISITION_START, 1) == SUCCESS
        block, leader, image, count = receive_frame(sock)
        assert block == 1
        assert count == 2 + -(-640 * 480 // (1500 - 36))
        _, payload_type, _, _, pixel_format, width, height, ox, oy = struct.unpack(">HHIIIIIII", leader[8:40])
        assert (payload_type, pixel_format, width, height, ox, oy) == (1, MONO8, 640, 480, 0, 0)
        assert image == expected_mono8(640, 480, block)
        assert client.read_reg(0x0D1C) != 0  # the source port of the channel

        # PACKETRESEND: the same packets again; a block the device no longer has gets an error packet.
        first_payload = struct.pack(">HHI", 0, 1, (3 << 24) | 2)
        client.send(PACKETRESEND, struct.pack(">HHII", 0, 1, 2, 4), flags=0)
        resent = [sock.recv(65536) for _ in range(3)]
        assert [struct.unpack(">I", p[4:8])[0] & 0xFFFFFF for p in resent] == [2, 3, 4]
        assert resent[0][:8] == first_payload
        assert resent[0][8:] == expected_mono8(640, 480, 1)[1464:2 * 1464]
        client.send(PACKETRESEND, struct.pack(">HHII", 0, 999, 1, 1), flags=0)
        assert struct.unpack(">HH", sock.recv(65536)[:4]) == (0x800C, 999)

        # Mono16, a smaller region, the second block: low byte first, offsets in the coordinates.
        assert client.write_reg(WIDTH, 64) == SUCCESS
        assert client.write_reg(HEIGHT, 8) == SUCCESS
        assert client.write_reg(FEATURES + 0x08, 3) == SUCCESS
        assert client.write_reg(PIXEL_FORMAT, MONO16) == SUCCESS
        assert client.write_reg(ACQUISITION_START, 1) == SUCCESS
        block, leader, image, _ = receive_frame(sock)
        assert block == 2
        assert struct.unpack(">I", leader[20:24])[0] == MONO16
        expected = b"".join(struct.pack("<H", (256 * y + x + 3 + block) & 0xFFFF) for y in range(8) for x in range(64))
        assert image == expected
        # The engine counts a frame once its last packet has left, which may come after the receiver
        # has it: wait for the count.
        assert until(lambda: hooks.soft_device_statistics(handle)["frames"] == 2)
        assert hooks.soft_device_statistics(handle)["test_packets"] == 1
    finally:
        sock.close()


def test_multicast_stream_stays_on_loopback(devices):
    handle = devices(mac="02:4b:49:10:00:0c", width=32, height=4)
    group = "239.255.77.%d" % (handle % 200 + 1)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((group, 0))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
    sock.settimeout(3)
    try:
        assert hooks.soft_device_write(handle, SCDA, ip_value(group)) == SUCCESS
        assert hooks.soft_device_write(handle, SCP, sock.getsockname()[1]) == SUCCESS
        assert hooks.soft_device_write(handle, ACQUISITION_MODE, 1) == SUCCESS
        assert hooks.soft_device_write(handle, ACQUISITION_START, 1) == SUCCESS
        block, _, image, count = receive_frame(sock)
        assert (block, count) == (1, 3)
        assert image == expected_mono8(32, 4, 1)
    finally:
        sock.close()


def test_events_are_sent_acknowledged_and_retried(devices, clients):
    handle = devices(mac="02:4b:49:10:00:09")
    client = clients(address_of(handle))
    events = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    events.bind(("127.0.0.1", 0))
    events.settimeout(3)
    try:
        assert hooks.soft_device_fire_event(handle, 0x9000) != SUCCESS  # the channel is not open
        assert client.write_reg(CCP, 2) == SUCCESS
        assert client.write_reg(MCDA, ip_value("127.0.0.1")) == SUCCESS
        assert client.write_reg(MCP, events.getsockname()[1]) == SUCCESS
        assert client.write_reg(MCTT, 5000) == SUCCESS  # time enough for the acknowledge below
        assert client.write_reg(MCRC, 2) == SUCCESS

        assert hooks.soft_device_fire_event(handle, 0x9005, b"\x01\x02\x03\x04", 7, 0) == SUCCESS
        packet, source = events.recvfrom(1024)
        assert source[0] == address_of(handle)
        key, flags, command, length, request = struct.unpack(">BBHHH", packet[:8])
        assert (key, flags & ACK_REQUIRED, command, length) == (0x42, 1, EVENTDATA, 20)
        _, event_id, channel, block = struct.unpack(">HHHH", packet[8:16])
        assert (event_id, channel, block, packet[24:]) == (0x9005, 0, 7, b"\x01\x02\x03\x04")
        events.sendto(struct.pack(">HHHH", 0, EVENTDATA + 1, 0, request), source)
        assert hooks.soft_device_wait_events(handle, 3000)

        # Not acknowledged: the same command comes MCRC more times.
        assert client.write_reg(MCTT, 50) == SUCCESS
        assert hooks.soft_device_fire_event(handle, 0x9006) == SUCCESS
        copies = [events.recv(1024) for _ in range(3)]
        assert len({c[6:8] for c in copies}) == 1
        assert struct.unpack(">H", copies[0][2:4])[0] == EVENT
        assert hooks.soft_device_wait_events(handle, 3000)
        stats = hooks.soft_device_statistics(handle)
        assert (stats["event_datas"], stats["events"], stats["events_acknowledged"]) == (1, 1, 1)
        assert (stats["event_retries"], stats["event_retries_max"]) == (2, 2)
    finally:
        events.close()


def test_unplugged_device_is_silent_and_a_stopped_device_starts_again(devices, clients):
    handle = devices(mac="02:4b:49:10:00:0a")
    address = address_of(handle)
    client = clients(address, timeout=0.3)
    hooks.soft_device_link(handle, False)
    assert client.discover() == []
    hooks.soft_device_link(handle, True)
    assert len(client.discover()) == 1

    hooks.soft_device_halt(handle)
    assert not hooks.soft_device_info(handle)["running"]
    assert all(d["mac"] != "02:4b:49:10:00:0a" for d in hooks.soft_devices())
    assert client.discover() == []
    hooks.soft_device_restart(handle, address)
    assert [source for source, _ in client.discover()] == [(address, PORT)]


def test_a_taken_address_is_refused(devices):
    first = devices(mac="02:4b:49:10:00:0b")
    with pytest.raises(OSError, match="not free"):
        hooks.soft_device_start(address=address_of(first))
    with pytest.raises(OSError, match="loopback"):
        hooks.soft_device_start(address="192.0.2.1")


def test_discovery_at_the_limited_broadcast_address(devices, clients):
    # What a client bound to 127.0.0.1 sends to 255.255.255.255 reaches every device (and other
    # listeners of the port); each answers from its own address.
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)   # another program on the same port
    other.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    other.bind((LIMITED_BROADCAST, PORT))
    other.settimeout(5)
    try:
        first = devices(address="127.0.0.3", model="Limited One", mac="02:4b:49:10:00:11")
        second = devices(model="Limited Two", mac="02:4b:49:10:00:12")
        client = clients("127.0.0.3", timeout=5)
        answers = {mac_of(p): source for source, p in
                   client.discover(LIMITED_BROADCAST, {"02:4b:49:10:00:11", "02:4b:49:10:00:12"})}
        assert answers == {"02:4b:49:10:00:11": ("127.0.0.3", PORT),
                           "02:4b:49:10:00:12": (address_of(second), PORT)}
        command, source = other.recvfrom(64)
        assert struct.unpack(">BBH", command[:4]) == (0x42, ACK_REQUIRED | 0x10, DISCOVERY)
        assert source == client.sock.getsockname()
        assert hooks.soft_device_statistics(first)["discoveries"] >= 1
    finally:
        other.close()


def test_the_dispatcher_serves_no_sender_outside_loopback(devices):
    handle = devices(mac="02:4b:49:10:00:13")
    discovery = struct.pack(">BBHHH", 0x42, ACK_REQUIRED, DISCOVERY, 0, 1)
    take_control = struct.pack(">BBHHHII", 0x42, ACK_REQUIRED, WRITEREG, 8, 2, CCP, 2)
    for peer in ("10.1.2.3", "192.0.2.7", "255.255.255.255", "0.0.0.0"):
        assert hooks.soft_device_dispatch(handle, discovery, peer, 40000, True) == b""
        assert hooks.soft_device_dispatch(handle, take_control, peer, 40000) == b""
    stats = hooks.soft_device_statistics(handle)
    assert (stats["foreign"], stats["discoveries"], stats["write_regs"]) == (8, 0, 0)
    assert hooks.soft_device_info(handle)["controller"] == ""
    # The same from inside 127.0.0.0/8 is served.
    assert len(hooks.soft_device_dispatch(handle, discovery, "127.9.9.9", 40000, True)) == 8 + 248
    assert struct.unpack(">HH", hooks.soft_device_dispatch(handle, take_control, "127.9.9.9", 40000)[:4]) == (
        SUCCESS, WRITEREG + 1)
    assert hooks.soft_device_info(handle)["controller"] == "127.9.9.9:40000"


# Run in a network namespace of its own (only lo, with 10.9.9.9 added to it): a device at 127.0.0.1 gets
# discovery and a register read from 10.9.9.9 at its own address and at both broadcast addresses, and
# answers none of them; a loopback client sent last is answered, so the others were handled before.
FOREIGN_SENDER = r"""
import socket, struct, time
import _kivo_testhooks as hooks
handle = hooks.soft_device_start(address="127.0.0.1", mac="02:4b:49:10:00:14")
foreign = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
foreign.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
foreign.bind(("10.9.9.9", 0))
discovery = struct.pack(">BBHHH", 0x42, 0x11, 0x0002, 0, 1)
read = struct.pack(">BBHHHI", 0x42, 0x01, 0x0080, 4, 2, 0x0000)
for to in ("127.0.0.1", "127.255.255.255", "255.255.255.255"):
    foreign.sendto(discovery, (to, 3956))
foreign.sendto(read, ("127.0.0.1", 3956))
deadline = time.monotonic() + 30
while hooks.soft_device_statistics(handle)["foreign"] < 4 and time.monotonic() < deadline:
    time.sleep(0.01)
local = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
local.bind(("127.0.0.1", 0))
local.settimeout(30)
local.sendto(discovery, ("127.0.0.1", 3956))
answer, source = local.recvfrom(2048)
foreign.setblocking(False)
try:
    stray = foreign.recvfrom(2048)
except BlockingIOError:
    stray = None
stats = hooks.soft_device_statistics(handle)
print(stats["foreign"], stats["discoveries"], stats["read_regs"], source[0], len(answer), stray)
hooks.soft_device_stop(handle)
"""


def test_a_sender_outside_loopback_is_not_answered_on_the_wire():
    proc = run_in_own_network(FOREIGN_SENDER, ["address", "add", "10.9.9.9/32", "dev", "lo"])
    assert proc.returncode == 0, proc.stderr[-4000:]
    # Four datagrams from 10.9.9.9 ignored (none counted as served), the loopback one answered, nothing
    # came back to 10.9.9.9.
    assert proc.stdout.split() == ["4", "1", "0", "127.0.0.1", str(8 + 248), "None"]
