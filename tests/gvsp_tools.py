"""A GigE Vision device of hand-made datagrams for the stream tests that need packets no sender of
ours makes. Loopback only; standard library only.

HandMadeDevice(address="127.0.0.7", packet_size=576)
    Answers, from address:3956, the control protocol a stream's own session speaks: register reads
    and writes (control, the stream channel's destination, packet size and source port, the
    heartbeat timeout), PACKETRESEND taken and left unanswered. Its GVSP leaves from a socket of its
    own on the same address, whose port the stream channel source port register (0x0D1C) tells.
    destination() -> (address, port) the stream set, or None.
    send(datagrams, runs=False): the datagrams in one sendmmsg call, so that they reach the stream's
    socket together. With runs, payload packets of one block that follow one another, of one size
    (the last may be shorter), go out as one send with UDP_SEGMENT, as a coalescing sender does
    (one datagram a send where the kernel refuses that). close() (also a context manager).

Packets (generic header, big-endian fields):
  leader_image(block, width, height, payload_type=IMAGE), leader_chunk_data(block),
  payload(block, packet, data), trailer_image(block, packet, lines, chunk_length=None),
  trailer_chunk_data(block, packet, length)
  image_frame(block, width, height, data, chunk): leader, payload packets of `chunk` bytes (the last
  shorter), trailer.
counting(size, block) -> bytes: byte i is (7 * i + block) & 0xFF.
"""

import ctypes
import ctypes.util
import errno
import socket
import struct
import threading

from gvcp_client import CCP, HEARTBEAT, INVALID_ADDRESS, MONO8, PORT as GVCP_PORT, READREG, SCDA, SCP, SCPS, WRITEREG

READREG_ACK, WRITEREG_ACK = READREG + 1, WRITEREG + 1
STREAM_CHANNELS, SCSP = 0x0904, 0x0D1C

LEADER, TRAILER, PAYLOAD = 1, 2, 3
IMAGE, CHUNK_DATA, IMAGE_EXTENDED_CHUNK = 0x0001, 0x0004, 0x4001
SOL_UDP, UDP_SEGMENT = 17, 103


def counting(size, block):
    return bytes((7 * i + block) & 0xFF for i in range(size))


def _header(block, fmt, packet, status=0):
    return struct.pack(">HHB", status, block, fmt) + packet.to_bytes(3, "big")


def leader_image(block, width, height, payload_type=IMAGE):
    return _header(block, LEADER, 0) + struct.pack(">HHQIIIIIHH", 0, payload_type, 5, MONO8, width, height, 0, 0, 0, 0)


def leader_chunk_data(block):
    return _header(block, LEADER, 0) + struct.pack(">HHQ", 0, CHUNK_DATA, 5)


def payload(block, packet, data):
    return _header(block, PAYLOAD, packet) + bytes(data)


def trailer_image(block, packet, lines, chunk_length=None):
    body = struct.pack(">HHI", 0, IMAGE if chunk_length is None else IMAGE_EXTENDED_CHUNK, lines)
    if chunk_length is not None:
        body += struct.pack(">II", chunk_length, 3)
    return _header(block, TRAILER, packet) + body


def trailer_chunk_data(block, packet, length):
    return _header(block, TRAILER, packet) + struct.pack(">HHII", 0, CHUNK_DATA, length, 3)


def image_frame(block, width, height, data, chunk):
    pieces = [data[at:at + chunk] for at in range(0, len(data), chunk)]
    return ([leader_image(block, width, height)] + [payload(block, n + 1, p) for n, p in enumerate(pieces)]
            + [trailer_image(block, len(pieces) + 1, height)])


class _IoVec(ctypes.Structure):
    _fields_ = [("base", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class _MsgHdr(ctypes.Structure):
    _fields_ = [("name", ctypes.c_void_p), ("namelen", ctypes.c_uint32), ("iov", ctypes.POINTER(_IoVec)),
                ("iovlen", ctypes.c_size_t), ("control", ctypes.c_void_p), ("controllen", ctypes.c_size_t),
                ("flags", ctypes.c_int)]


class _MMsgHdr(ctypes.Structure):
    _fields_ = [("header", _MsgHdr), ("length", ctypes.c_uint)]


_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)


def _payload_ids(datagram):
    """(block, packet) of a generic payload packet, else None."""
    if len(datagram) < 8 or datagram[4] != PAYLOAD or datagram[0:2] != b"\0\0":
        return None
    return datagram[2:4], int.from_bytes(datagram[5:8], "big")


def _runs(datagrams):
    """The sends of a coalescing sender: payload packets of one block in order, of one size but a
    shorter last, together (at most 64); anything else alone."""
    sends = []
    for d in datagrams:
        ids = _payload_ids(d)
        if sends and ids:
            run = sends[-1]
            last = _payload_ids(run[-1])
            if (last and last[0] == ids[0] and last[1] + 1 == ids[1] and len(run[-1]) == len(run[0])
                    and 0 < len(d) <= len(run[0]) and len(run) < 64 and sum(map(len, run)) + len(d) <= 65507):
                run.append(d)
                continue
        sends.append([d])
    return sends


class HandMadeDevice:
    def __init__(self, address="127.0.0.7", packet_size=576):
        self.address = address
        self.gvsp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.gvsp.bind((address, 0))
        self.registers = {STREAM_CHANNELS: 1, HEARTBEAT: 3000, CCP: 0, SCP: 0, SCDA: 0, SCPS: packet_size,
                          SCSP: self.gvsp.getsockname()[1]}
        self.gvcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.gvcp.bind((address, GVCP_PORT))
        self.gvcp.settimeout(0.1)
        self._lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop:
            try:
                data, peer = self.gvcp.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(data) < 8 or data[0] != 0x42:
                continue
            command, length, request = struct.unpack(">HHH", data[2:8])
            body = data[8:8 + length]
            if command == READREG:
                with self._lock:
                    words = [self.registers.get(a) for (a,) in struct.iter_unpack(">I", body)]
                if None in words:
                    answer, status = b"", INVALID_ADDRESS
                else:
                    answer, status = b"".join(struct.pack(">I", w) for w in words), 0
                code = READREG_ACK
            elif command == WRITEREG:
                with self._lock:
                    for address, value in struct.iter_unpack(">II", body):
                        self.registers[address] = value
                answer, status, code = struct.pack(">HH", 0, len(body) // 8), 0, WRITEREG_ACK
            else:
                continue   # PACKETRESEND and anything else: no answer
            self.gvcp.sendto(struct.pack(">HHHH", status, code, len(answer), request) + answer, peer)

    def destination(self):
        with self._lock:
            address, port = self.registers[SCDA], self.registers[SCP] & 0xFFFF
        return (socket.inet_ntoa(struct.pack(">I", address)), port) if port else None

    def send(self, datagrams, runs=False):
        to = self.destination()
        assert to is not None, "no stream destination set"
        self.gvsp.connect(to)
        sends = _runs(datagrams) if runs else [[d] for d in datagrams]
        keep = []   # what the messages point at, alive until the call returns
        messages = (_MMsgHdr * len(sends))()
        for m, run in zip(messages, sends):
            data = ctypes.create_string_buffer(b"".join(run), sum(map(len, run)))
            vector = _IoVec(ctypes.addressof(data), len(data))
            keep += [data, vector]
            m.header.iov = ctypes.pointer(vector)
            m.header.iovlen = 1
            if len(run) > 1:
                control = ctypes.create_string_buffer(struct.pack("=QiiH6x", 18, SOL_UDP, UDP_SEGMENT, len(run[0])), 24)
                keep.append(control)
                m.header.control, m.header.controllen = ctypes.addressof(control), 24
        sent = 0
        while sent < len(sends):
            n = _libc.sendmmsg(self.gvsp.fileno(), ctypes.byref(messages, sent * ctypes.sizeof(_MMsgHdr)),
                               len(sends) - sent, 0)
            if n > 0:
                sent += n
                continue
            error = ctypes.get_errno()
            if error == errno.EINTR:
                continue
            if len(sends[sent]) > 1:   # the kernel takes no run: its datagrams one by one
                for d in sends[sent]:
                    self.gvsp.send(d)
                sent += 1
                continue
            raise OSError(error, "sendmmsg")

    def close(self):
        self._stop = True
        self._thread.join()
        self.gvcp.close()
        self.gvsp.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
