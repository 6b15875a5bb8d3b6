"""Untrusted datagrams against the engine's device: a bounded run of random and half-valid GVCP
commands (fixed seed, loopback only), over the socket and straight into the dispatcher, after which
the device still answers a discovery and a register read."""

import random
import socket
import struct

import pytest

import _kivo_testhooks as hooks

PORT = 3956
BROADCAST = "127.255.255.255"
MAC = "02:4b:49:30:00:01"
COMMANDS = [0x0002, 0x0004, 0x0040, 0x0080, 0x0082, 0x0084, 0x0086, 0x0089, 0x00C0, 0x00C1, 0x00C2, 0x0100, 0x1234]
ADDRESSES = [0x0000, 0x0048, 0x0200, 0x0934, 0x0938, 0x0A00, 0x0B00, 0x0B10, 0x0D00, 0x0D04, 0x0D18, 0x0D40,
             0x0FFC, 0x1000, 0x30000000, 0x30000014, 0x3000003C, 0x30000040, 0x30100000, 0x3FFF0100, 0xFFFFFFFC]


def random_datagram(rng):
    kind = rng.random()
    if kind < 0.2:  # noise of any length, oversized ones included
        return rng.randbytes(rng.choice([0, 1, 7, 8, 9, 64, 600, 3000]))
    command = rng.choice(COMMANDS)
    if command == 0x0004 and rng.random() < 0.5:  # FORCEIP for this very device, to any address
        ip = rng.choice([0x7F000000, 0x7FFFFFFF, 0x0A000001, 0x7F000000 | rng.randrange(1, 0xFFFFFF)])
        payload = struct.pack(">HHI12xI12xI12xI", 0, 0x024B, 0x49300001, ip, rng.getrandbits(32), 0)
    else:
        words = []
        for _ in range(rng.randrange(0, 20)):
            address = rng.choice(ADDRESSES) + rng.choice([0, 0, 1, 2, 4, 0x1000])
            words.append(address & 0xFFFFFFFF)
            words.append(rng.choice([0, 1, 2, 3, 0xFFFF, 0x80000000 | 1500, 0x7F000001, rng.getrandbits(32)]))
        payload = b"".join(struct.pack(">I", w) for w in words)
        if command == 0x0084:
            payload = struct.pack(">IHH", rng.choice(ADDRESSES), 0, rng.choice([0, 4, 6, 512, 536, 540, 0xFFFF]))
    length = len(payload)
    if rng.random() < 0.3:
        length = rng.choice([0, 3, length + 4, 0xFFFF, rng.getrandbits(16)])
    flags = rng.choice([0, 1, 0x11, rng.getrandbits(8)])
    key = 0x42 if rng.random() < 0.95 else rng.getrandbits(8)
    datagram = struct.pack(">BBHHH", key, flags, command, length & 0xFFFF, rng.getrandbits(16)) + payload
    if rng.random() < 0.1:
        datagram = datagram[:rng.randrange(len(datagram) + 1)]
    return datagram


def drain(sock):
    try:
        while True:
            sock.recv(65536)
    except BlockingIOError:
        pass


def find_device(sock):
    """The device's address, from the answers to a broadcast discovery."""
    sock.settimeout(2)
    sock.sendto(struct.pack(">BBHHH", 0x42, 0x11, 0x0002, 0, 0xABCD), (BROADCAST, PORT))
    while True:
        data, source = sock.recvfrom(4096)
        if len(data) == 256 and struct.unpack(">HHHH", data[:8]) == (0, 3, 248, 0xABCD):
            high, low = struct.unpack(">II", data[16:24])
            if (high & 0xFFFF, low) == (0x024B, 0x49300001):
                return source[0]


@pytest.fixture
def device():
    handle = hooks.soft_device_start(manufacturer="Kivo Sim", model="Fuzz Target", mac=MAC, width=64, height=48)
    yield handle
    hooks.soft_device_stop(handle)


def test_random_datagrams_leave_the_device_serving(device):
    rng = random.Random(20261207)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("127.0.0.1", 0))
    sock.setblocking(False)
    try:
        for n in range(3000):
            target = hooks.soft_device_info(device)["address"] if n % 100 == 0 else target
            to = BROADCAST if rng.random() < 0.05 else target
            sock.sendto(random_datagram(rng), (to, PORT))
            if n % 20 == 0:
                drain(sock)
        # The same kinds of datagrams straight into the dispatcher, from a few peers.
        for _ in range(3000):
            peer = rng.choice(["127.0.0.1", "127.0.0.9"])
            hooks.soft_device_dispatch(device, random_datagram(rng), peer, rng.choice([1, 40000]),
                                       rng.random() < 0.05)
        drain(sock)
        # A fuzzed peer may hold exclusive control now: it lets go, as a well-behaved application would.
        release = struct.pack(">BBHHHII", 0x42, 0x01, 0x0082, 8, 1, 0x0A00, 0)
        for peer in ("127.0.0.1", "127.0.0.9"):
            for port in (1, 40000):
                hooks.soft_device_dispatch(device, release, peer, port)

        address = find_device(sock)
        assert address == hooks.soft_device_info(device)["address"]
        request = struct.pack(">BBHHHI", 0x42, 0x01, 0x0080, 4, 0x5555, 0x0068)
        sock.sendto(request, (address, PORT))
        while True:
            data = sock.recv(4096)
            if data[6:8] == b"\x55\x55":
                break
        assert struct.unpack(">HHH", data[:6]) == (0, 0x0081, 4)
        assert data[8:12] == b"Fuzz"
        stats = hooks.soft_device_statistics(device)
        assert stats["malformed"] > 0 and stats["read_regs"] > 0 and stats["discoveries"] > 0
    finally:
        sock.close()
