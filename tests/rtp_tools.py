"""RTP and SAP senders for testing the RTP stream receiver and session discovery.

Nothing leaves the loopback range: unicast and TCP only to 127.0.0.0/8, multicast only with
IP_MULTICAST_IF 127.0.0.1 and TTL 0. Standard library and numpy only.

RtpSender(host="127.0.0.1", port=0, *, multicast=False, tcp=False, ssrc=None, payload_type=96)
    UDP to host:port (a 224.0.0.0/4 group when multicast=True). With tcp=True, a TCP server on
    host:port instead (port 0: ephemeral, read .port) that takes one client with accept(timeout);
    every packet then goes out after its 16-bit length (RFC 4571). Sequence numbers and SSRC are
    kept per sender; .sequence and .timestamp may be set before a send.
  raw_packets(frame, packet_size=1400, pgroup=None, timestamp=None) -> [bytes]
    One frame as RFC 4175 packets of at most packet_size RTP payload bytes, the marker on the last.
    frame: uint8 array (height, width) or (height, width, channels), or (height, row_bytes) with
    pgroup=(bytes, pixels) for formats whose pgroup holds several pixels (4:2:2: (4, 2)).
    By default a pgroup is one pixel (channels bytes). Line headers carry pixel offsets.
  h264_packets(nals, packet_size=1400, timestamp=None) -> [bytes]
    One access unit: each NAL unit (bytes, without start code) as a single NAL unit packet, or as
    FU-A fragments when larger than packet_size; the marker on the last packet.
  send(packet) / send_all(packets); send_raw(frame, ...) and send_h264(nals, ...) build and send one
    frame and return the number of packets; each frame advances the timestamp by 3000 (90 kHz).
  close() (also a context manager).

SapAnnouncer(source="127.0.0.1")
  announce(sdp_text, msg_hash) and delete(sdp_text, msg_hash) send one SAP packet (RFC 2974) with
  that originating source to 224.2.127.254:9875; send(raw_bytes) sends anything; close().
sdp(name, address, port, ttl=None, session_id=1) -> an SDP text of one video session (RFC 4566).
pattern_frame(height, row_bytes, index) -> the frame the command line sends as frame index:
  byte i of the frame is (7 * i + index) & 0xFF.

Command line:
  rtp_tools.py raw --port P [--host H | --multicast G] --width W --height H [--channels C]
                   [--frames N] [--packet-size S]
  rtp_tools.py sap {announce,delete} --name N --address A --port P --hash X [--ttl T]
                   [--repeat R] [--interval SECONDS]
"""

import argparse
import ipaddress
import random
import socket
import struct
import sys
import time

import numpy as np

SAP_GROUP = "224.2.127.254"
SAP_PORT = 9875
_FRAME_TICKS = 3000


def _loopback(host):
    if not ipaddress.IPv4Address(host) in ipaddress.IPv4Network("127.0.0.0/8"):
        raise ValueError(f"{host} is not a loopback address")


def _multicast_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
    return s


class RtpSender:
    def __init__(self, host="127.0.0.1", port=0, *, multicast=False, tcp=False, ssrc=None, payload_type=96):
        if multicast:
            if not ipaddress.IPv4Address(host).is_multicast:
                raise ValueError(f"{host} is not a multicast group")
            if tcp:
                raise ValueError("TCP has no multicast")
        else:
            _loopback(host)
        self.host, self.port, self.tcp = host, port, tcp
        self.ssrc = random.getrandbits(32) if ssrc is None else ssrc
        self.payload_type = payload_type
        self.sequence = random.getrandbits(16)
        self._cycles = 0   # wraps of the sequence number: the high half of RFC 4175's extended one
        self.timestamp = random.getrandbits(32)
        self._client = None
        if tcp:
            self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._sock.bind((host, port))
            self._sock.listen(1)
            self.port = self._sock.getsockname()[1]
        elif multicast:
            self._sock = _multicast_socket()
        else:
            self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def accept(self, timeout=10.0):
        """TCP: waits for the receiver to connect (socket.timeout when it does not)."""
        self._sock.settimeout(timeout)
        self._client, _ = self._sock.accept()
        self._client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def _packet(self, payload, marker, timestamp):
        header = struct.pack(">BBHII", 0x80, (0x80 if marker else 0) | self.payload_type, self.sequence,
                             timestamp & 0xFFFFFFFF, self.ssrc)
        self.sequence = (self.sequence + 1) & 0xFFFF
        if self.sequence == 0:
            self._cycles = (self._cycles + 1) & 0xFFFF
        return header + payload

    def raw_packets(self, frame, packet_size=1400, pgroup=None, timestamp=None):
        frame = np.ascontiguousarray(frame, dtype=np.uint8)
        height = frame.shape[0]
        if pgroup is None:
            pgroup = (frame.shape[2] if frame.ndim == 3 else 1, 1)
        group_bytes, group_pixels = pgroup
        rows = frame.reshape(height, -1)
        width = rows.shape[1] // group_bytes * group_pixels
        if packet_size < 8 + group_bytes:
            raise ValueError("packet_size holds no pgroup")
        timestamp = self.timestamp if timestamp is None else timestamp
        packets, line, offset = [], 0, 0
        while line < height:
            headers, data, room = [], [], packet_size - 2
            while line < height and room >= 6 + group_bytes:
                groups = min((width - offset) // group_pixels, (room - 6) // group_bytes)
                length = groups * group_bytes
                start = offset // group_pixels * group_bytes
                headers.append([length, line, offset])
                data.append(rows[line, start:start + length].tobytes())
                room -= 6 + length
                offset += groups * group_pixels
                if offset >= width:
                    line, offset = line + 1, 0
            payload = struct.pack(">H", self._cycles)
            for i, (length, row, column) in enumerate(headers):
                more = 0x8000 if i + 1 < len(headers) else 0
                payload += struct.pack(">HHH", length, row, column | more)
            packets.append(self._packet(payload + b"".join(data), line >= height, timestamp))
        return packets

    def h264_packets(self, nals, packet_size=1400, timestamp=None):
        timestamp = self.timestamp if timestamp is None else timestamp
        payloads = []
        for nal in nals:
            nal = bytes(nal)
            if len(nal) <= packet_size:
                payloads.append(nal)
                continue
            indicator = (nal[0] & 0xE0) | 28
            body, step = nal[1:], packet_size - 2
            for at in range(0, len(body), step):
                flags = (0x80 if at == 0 else 0) | (0x40 if at + step >= len(body) else 0)
                payloads.append(bytes([indicator, flags | (nal[0] & 0x1F)]) + body[at:at + step])
        return [self._packet(p, i + 1 == len(payloads), timestamp) for i, p in enumerate(payloads)]

    def send(self, packet):
        if self.tcp:
            if self._client is None:
                self.accept()
            self._client.sendall(struct.pack(">H", len(packet)) + packet)
        else:
            self._sock.sendto(packet, (self.host, self.port))

    def send_all(self, packets):
        for p in packets:
            self.send(p)
        return len(packets)

    def send_raw(self, frame, packet_size=1400, pgroup=None, timestamp=None):
        count = self.send_all(self.raw_packets(frame, packet_size, pgroup, timestamp))
        self.timestamp = (self.timestamp + _FRAME_TICKS) & 0xFFFFFFFF
        return count

    def send_h264(self, nals, packet_size=1400, timestamp=None):
        count = self.send_all(self.h264_packets(nals, packet_size, timestamp))
        self.timestamp = (self.timestamp + _FRAME_TICKS) & 0xFFFFFFFF
        return count

    def close(self):
        for s in (self._client, self._sock):
            if s is not None:
                s.close()
        self._client = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def sdp(name, address, port, ttl=None, session_id=1):
    connection = address if ttl is None else f"{address}/{ttl}"
    return (f"v=0\r\no=- {session_id} 1 IN IP4 127.0.0.1\r\ns={name}\r\nc=IN IP4 {connection}\r\n"
            f"t=0 0\r\nm=video {port} RTP/AVP 96\r\na=rtpmap:96 raw/90000\r\n")


class SapAnnouncer:
    def __init__(self, source="127.0.0.1"):
        self.source = socket.inet_aton(source)
        self._sock = _multicast_socket()

    def _sap(self, text, msg_hash, delete):
        header = struct.pack(">BBH", 0x20 | (0x04 if delete else 0), 0, msg_hash & 0xFFFF)
        return header + self.source + b"application/sdp\0" + text.encode()

    def send(self, data):
        self._sock.sendto(data, (SAP_GROUP, SAP_PORT))

    def announce(self, sdp_text, msg_hash):
        self.send(self._sap(sdp_text, msg_hash, False))

    def delete(self, sdp_text, msg_hash):
        self.send(self._sap(sdp_text, msg_hash, True))

    def close(self):
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def pattern_frame(height, row_bytes, index):
    values = (np.arange(height * row_bytes, dtype=np.uint32) * 7 + index) & 0xFF
    return values.astype(np.uint8).reshape(height, row_bytes)


def _main(argv):
    parser = argparse.ArgumentParser(description="RTP and SAP test senders (loopback only)")
    commands = parser.add_subparsers(dest="command", required=True)
    raw = commands.add_parser("raw", help="send test-pattern frames as RFC 4175 raw video")
    raw.add_argument("--host", default="127.0.0.1")
    raw.add_argument("--multicast")
    raw.add_argument("--port", type=int, required=True)
    raw.add_argument("--width", type=int, required=True)
    raw.add_argument("--height", type=int, required=True)
    raw.add_argument("--channels", type=int, default=1)
    raw.add_argument("--frames", type=int, default=1)
    raw.add_argument("--packet-size", type=int, default=1400)
    sap = commands.add_parser("sap", help="announce or delete a session")
    sap.add_argument("action", choices=["announce", "delete"])
    sap.add_argument("--name", required=True)
    sap.add_argument("--address", required=True)
    sap.add_argument("--port", type=int, required=True)
    sap.add_argument("--hash", type=lambda text: int(text, 0), required=True)
    sap.add_argument("--ttl", type=int)
    sap.add_argument("--repeat", type=int, default=1)
    sap.add_argument("--interval", type=float, default=0.05)
    args = parser.parse_args(argv)
    if args.command == "raw":
        host = args.multicast or args.host
        with RtpSender(host, args.port, multicast=args.multicast is not None) as sender:
            for index in range(args.frames):
                frame = pattern_frame(args.height, args.width * args.channels, index)
                sender.send_raw(frame, args.packet_size, pgroup=(args.channels, 1))
        return 0
    with SapAnnouncer() as announcer:
        text = sdp(args.name, args.address, args.port, args.ttl, session_id=args.hash)
        for i in range(args.repeat):
            (announcer.announce if args.action == "announce" else announcer.delete)(text, args.hash)
            if i + 1 < args.repeat:
                time.sleep(args.interval)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
