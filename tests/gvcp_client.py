"""A raw GVCP application written with the struct module, for the tests that talk to devices on
loopback byte by byte: commands, acknowledges, registers, memory, discovery and FORCEIP; and a
scripted device that answers register and memory reads from tables, as slowly as a test asks."""

import socket
import struct
import threading
import time

PORT = 3956
BROADCAST = "127.255.255.255"
LIMITED_BROADCAST = "255.255.255.255"
ACK_REQUIRED = 0x01

DISCOVERY, FORCEIP, PACKETRESEND = 0x0002, 0x0004, 0x0040
READREG, WRITEREG, READMEM, WRITEMEM = 0x0080, 0x0082, 0x0084, 0x0086
EVENT, EVENTDATA = 0x00C0, 0x00C2

SUCCESS, INVALID_PARAMETER, INVALID_ADDRESS = 0x0000, 0x8002, 0x8003
BAD_ALIGNMENT, ACCESS_DENIED = 0x8005, 0x8006

CCP, HEARTBEAT, MCP, MCDA, MCTT, MCRC = 0x0A00, 0x0938, 0x0B00, 0x0B10, 0x0B14, 0x0B18
SCP, SCPS, SCDA = 0x0D00, 0x0D04, 0x0D18
FEATURES = 0x30000000
WIDTH, HEIGHT, PIXEL_FORMAT = FEATURES + 0x00, FEATURES + 0x04, FEATURES + 0x10
ACQUISITION_MODE, ACQUISITION_START = FEATURES + 0x14, FEATURES + 0x18
MONO8, MONO16 = 0x01080001, 0x01100007


def ip_text(value):
    return socket.inet_ntoa(struct.pack(">I", value))


def ip_value(text):
    return struct.unpack(">I", socket.inet_aton(text))[0]


class Client:
    """One GVCP application: its own UDP socket on 127.0.0.1."""

    def __init__(self, device, timeout=1.0):
        self.device = device
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(timeout)
        self.req = 0

    def close(self):
        self.sock.close()

    def send(self, command, payload=b"", flags=ACK_REQUIRED, to=None):
        self.req = self.req % 0xFFFF + 1
        packet = struct.pack(">BBHHH", 0x42, flags, command, len(payload), self.req) + payload
        self.sock.sendto(packet, (to or self.device, PORT))
        return self.req

    def receive(self, request=None):
        """(status, answer, data, source) of the next acknowledge (of request when given)."""
        while True:
            data, source = self.sock.recvfrom(4096)
            status, answer, length, ack_id = struct.unpack(">HHHH", data[:8])
            assert length == len(data) - 8
            if request is None or ack_id == request:
                return status, answer, data[8:], source

    def command(self, command, payload=b"", to=None):
        status, answer, data, _ = self.receive(self.send(command, payload, to=to))
        assert answer == command + 1
        return status, data

    def read_regs(self, *addresses):
        return self.command(READREG, b"".join(struct.pack(">I", a) for a in addresses))

    def read_reg(self, address):
        status, data = self.read_regs(address)
        assert status == SUCCESS, hex(status)
        return struct.unpack(">I", data)[0]

    def write_reg(self, address, value):
        return self.command(WRITEREG, struct.pack(">II", address, value))[0]

    def read_mem(self, address, size):
        status, data = self.command(READMEM, struct.pack(">IHH", address, 0, size))
        assert struct.unpack(">I", data[:4])[0] == address
        return status, data[4:]

    def force_ip(self, mac, ip, mask="255.0.0.0", to=BROADCAST):
        """Sends FORCEIP for the device of mac (six bytes as "xx:xx:xx:xx:xx:xx") and returns (status, answer,
        data, source) of its acknowledge; socket.timeout when no device answers."""
        octets = bytes.fromhex(mac.replace(":", ""))
        high, low = struct.unpack(">HI", octets)
        payload = struct.pack(">HHI12xI12xI12xI", 0, high, low, ip_value(ip), ip_value(mask), 0)
        return self.receive(self.send(FORCEIP, payload, to=to))

    def discover(self, to=None, macs=None):
        """Discovery answers as (source address, payload): the first one for a unicast, else all until the
        timeout or until every MAC in macs answered."""
        to = to or self.device
        request = self.send(DISCOVERY, flags=ACK_REQUIRED | 0x10, to=to)
        answers = []
        try:
            while True:
                status, answer, data, source = self.receive(request)
                assert (status, answer, len(data)) == (SUCCESS, DISCOVERY + 1, 248)
                answers.append((source, data))
                if to not in (BROADCAST, LIMITED_BROADCAST) or (macs and macs <= {mac_of(p) for _, p in answers}):
                    return answers
        except socket.timeout:
            return answers


def text(data, offset, size):
    return data[offset:offset + size].split(b"\0")[0].decode()


def mac_of(payload):
    high, low = struct.unpack(">II", payload[8:16])
    return "%02x:%02x:%02x:%02x:%02x:%02x" % ((high >> 8) & 0xFF, high & 0xFF, low >> 24, (low >> 16) & 0xFF,
                                               (low >> 8) & 0xFF, low & 0xFF)


FIRST_URL = 0x0200


class ScriptedDevice:
    """A GVCP peer on ip:3956 that serves READREG and WRITEREG from a table of registers (0 where
    unset) and READMEM from regions of memory, on a thread of its own: an access to memory at or past
    slow_from waits `delay` seconds before its answer. reads[address] counts the READMEMs."""

    def __init__(self, ip, url, memory, registers=None, slow_from=None, delay=0.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)   # beside the devices' broadcast sockets
        self.sock.bind((ip, PORT))
        self.sock.settimeout(0.1)
        first_url = url.encode().ljust(512, b"\0")
        self.memory = {**memory, FIRST_URL: first_url}
        self.registers = dict(registers or {})
        self.slow_from, self.delay = slow_from, delay
        self.reads = {}
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def read(self, address, size):
        for start, data in self.memory.items():
            if start <= address and address + size <= start + len(data):
                return data[address - start:address - start + size]
        return None

    def answer(self, command, payload):
        """(status, data) of one command."""
        if command == READREG:
            words = struct.unpack(">%dI" % (len(payload) // 4), payload)
            return SUCCESS, b"".join(struct.pack(">I", self.registers.get(a, 0)) for a in words)
        if command == WRITEREG:
            for at in range(0, len(payload), 8):
                address, value = struct.unpack(">II", payload[at:at + 8])
                self.registers[address] = value
            return SUCCESS, struct.pack(">HH", 0, len(payload) // 8)
        if command == READMEM:
            address, _, size = struct.unpack(">IHH", payload[:8])
            self.reads[address] = self.reads.get(address, 0) + 1
            if self.slow_from is not None and address >= self.slow_from:
                time.sleep(self.delay)
            data = self.read(address, size)
            return (SUCCESS, payload[:4] + data) if data is not None else (INVALID_ADDRESS, payload[:4])
        return 0x8001, b""   # NOT_IMPLEMENTED

    def serve(self):
        while self.running:
            try:
                packet, peer = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            _, flags, command, _, request = struct.unpack(">BBHHH", packet[:8])
            status, data = self.answer(command, packet[8:])
            if flags & ACK_REQUIRED:
                self.sock.sendto(struct.pack(">HHHH", status, command + 1, len(data), request) + data, peer)
