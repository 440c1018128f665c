#!/usr/bin/env python3
"""Plays the plug-in's client against stl_peer over its pipe, with packets built here from the
wire format (zlib's CRC-32), so the peer's bytes are checked independently of our code.

Usage: smoke_test.py PATH_TO_STL_PEER    (exit code 0 when every check passed)
"""
import struct
import subprocess
import sys
import zlib

MAGIC = 0x45006FA9
CONNECT, CONNECTED, DISC, DISCONNECTED, PING, PONG, DATA = range(7)


def frame(src, session, num, cmd, payload=b""):
    dcrc = zlib.crc32(payload) if payload else 0
    head = struct.pack(">IQIHHII", MAGIC, src, session, num, cmd, len(payload), dcrc)
    return head + struct.pack(">I", zlib.crc32(head)) + payload


class Peer:
    def __init__(self, path, args=(), stderr=None):
        self.p = subprocess.Popen([path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr)
        self.buf = b""

    def write(self, data):
        self.p.stdin.write(struct.pack(">I", len(data)) + data)
        self.p.stdin.flush()

    def read_write(self):
        n = struct.unpack(">I", self.p.stdout.read(4))[0]
        return self.p.stdout.read(n)

    def read_packet(self, sizes=None):
        while True:
            if len(self.buf) >= 32:
                magic, src, session, num, cmd, n, dcrc, hcrc = struct.unpack(">IQIHHIII", self.buf[:32])
                assert magic == MAGIC, "magic"
                assert hcrc == zlib.crc32(self.buf[:28]), "header crc"
                if len(self.buf) >= 32 + n:
                    payload = self.buf[32:32 + n]
                    assert dcrc == (zlib.crc32(payload) if n else 0), "payload crc"
                    self.buf = self.buf[32 + n:]
                    return src, session, num, cmd, payload
            w = self.read_write()
            assert 1 <= len(w) <= 1600, "write size %d" % len(w)
            if sizes is not None:
                sizes.append(len(w))
            self.buf += w


def main(path):
    peer = Peer(path)
    cli, sid = 0x1122334455667788, 0x0A0B0C0D
    peer.write(frame(cli, sid, 0, CONNECT))
    src, session, num, cmd, _ = peer.read_packet()
    assert (session, num, cmd) == (sid, 0, CONNECTED) and src != 0, "connected"

    peer.write(frame(cli, sid, 1, DATA, b"hello"))
    assert peer.read_packet() == (src, sid, 1, DATA, b"hello"), "echo"

    big = bytes((i * 7) & 0xFF for i in range(5000))
    whole = frame(cli, sid, 2, DATA, big)
    for i in range(0, len(whole), 1600):
        peer.write(whole[i:i + 1600])
    sizes = []
    assert peer.read_packet(sizes) == (src, sid, 2, DATA, big), "big echo"
    assert sizes == [1600, 1600, 1600, 232], "cut %s" % sizes

    peer.write(frame(cli, sid, 3, PING))
    assert peer.read_packet()[2:4] == (3, PONG), "pong"

    peer.write(frame(cli, sid, 4, DISC))
    assert peer.read_packet()[2:4] == (4, DISCONNECTED), "disconnected"

    peer.p.stdin.close()
    assert peer.p.wait(timeout=10) == 0, "exit code"

    source_rounds(path)
    print("stl_peer smoke test passed")


def source_rounds(path):
    """A source of several sizes and round trips: each round once it all came back, then "finished"."""
    peer = Peer(path, ["--send", "10,3000", "--payload", "1000", "--rtt", "3"], stderr=subprocess.PIPE)
    cli, sid = 0x0102030405060708, 0x11223344
    peer.write(frame(cli, sid, 0, CONNECT))
    assert peer.read_packet()[2:4] == (0, CONNECTED), "connected"
    num, back = 1, 0
    while back < 10 + 3000 + 3 * 64:  # echo as the relay would, until every round is done
        _, _, _, cmd, payload = peer.read_packet()
        assert cmd == DATA and len(payload) <= 1000, "payload"
        peer.write(frame(cli, sid, num, DATA, payload))
        num, back = num + 1, back + len(payload)
    peer.p.stdin.close()
    assert peer.p.wait(timeout=10) == 0, "source exit code"
    lines = peer.p.stderr.read().decode().splitlines()
    for line in ("verified 10", "verified 3000", "finished"):
        assert line in lines, "no '%s' in %s" % (line, lines)
    assert any(l.startswith("rtt 64 bytes x 3: p50 ") for l in lines), "rtt line"


if __name__ == "__main__":
    main(sys.argv[1])
