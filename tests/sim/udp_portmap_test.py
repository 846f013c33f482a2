#!/usr/bin/python3
"""fwsim's portmapper over UDP on loopback: the same answers as over TCP.

Run as: udp_portmap_test.py FWSIM. Port 111 needs root (exit 77 otherwise).
The simulator has 127.0.0.240 to itself and is stopped by its pid.
"""

import os
import socket
import struct
import subprocess
import sys

ADDRESS = "127.0.0.240"


def call(xid, vers, proc, args=b""):
    return struct.pack(">10I", xid, 0, 2, 100000, vers, proc, 0, 0, 0, 0) + args


def xdr_string(s):
    b = s.encode()
    return struct.pack(">I", len(b)) + b + b"\0" * (-len(b) % 4)


def over_udp(s, msg):
    s.sendto(msg, (ADDRESS, 111))
    data, peer = s.recvfrom(4096)
    assert peer == (ADDRESS, 111), peer  # answered from its own address and port
    return data


def over_tcp(msg):
    with socket.create_connection((ADDRESS, 111), timeout=5) as t:
        t.sendall(struct.pack(">I", 0x80000000 | len(msg)) + msg)
        mark = t.recv(4, socket.MSG_WAITALL)
        return t.recv(struct.unpack(">I", mark)[0] & 0x7FFFFFFF, socket.MSG_WAITALL)


def main():
    if os.geteuid() != 0:
        print("SKIP: port 111 needs root")
        return 77
    sim = subprocess.Popen([sys.argv[1], "--address", ADDRESS, "--socket-port", "0",
                            "--hislip-port", "0"], stdout=subprocess.PIPE, text=True)
    try:
        ready = sim.stdout.readline().split()
        assert ready[:3] == ["fwsim", "ready", ADDRESS], ready
        core = int(ready[3].split("=")[1])
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(5)
        getport = call(1, 2, 3, struct.pack(">4I", 0x0607AF, 1, 6, 0))
        reply = over_udp(s, getport)
        assert struct.unpack(">7I", reply) == (1, 1, 0, 0, 0, 0, core), reply
        assert reply == over_tcp(getport)
        getaddr = call(2, 3, 3, struct.pack(">2I", 0x0607AF, 1) + xdr_string("tcp") +
                       xdr_string("") + xdr_string(""))
        uaddr = "%s.%d.%d" % (ADDRESS, core >> 8, core & 255)
        assert over_udp(s, getaddr)[24:] == xdr_string(uaddr)
        assert over_udp(s, call(3, 2, 0)) == struct.pack(">6I", 3, 1, 0, 0, 0, 0)  # NULL
        dump = over_udp(s, call(4, 2, 4))
        assert dump == over_tcp(call(4, 2, 4)) and struct.pack(">4I", 0x0607AF, 1, 6, core) in dump
        # What is no call gets no answer; the next call still does.
        s.sendto(b"\x01\x02\x03", (ADDRESS, 111))
        s.sendto(struct.pack(">3I", 9, 1, 0), (ADDRESS, 111))
        assert struct.unpack(">I", over_udp(s, call(5, 2, 0))[:4])[0] == 5
    finally:
        sim.terminate()
        sim.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
