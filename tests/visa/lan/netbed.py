"""A bed of network namespaces for LAN discovery: links, simulators, avahi.

Everything lives in namespaces this module makes, named after the process
id, and joined by veth pairs to a bridge in a namespace of its own, with
addresses from 198.18.0.0/15. No broadcast or multicast leaves them. Bed.close
stops every process by its id (with bounded waits) and deletes every
namespace, whatever happened before; use the Bed in a `with` statement.

Run as a script, `netbed.py probe [WINDOW_S]` is an independent broadcast
client: it sends the portmapper GETPORT for the VXI-11 core channel to every
broadcast interface of its namespace and prints "found <address> <ms>" per
answer, with the milliseconds it took to come.
`netbed.py hostile [FLOOD_S]` is a portmapper that answers only what a client
must ignore, and with FLOOD_S floods each asker that many seconds.
"""

import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
PMAP_PROG, VXI11_CORE = 100000, 0x0607AF


def skip_unless_root():
    if os.geteuid() != 0 or not shutil.which("ip"):
        print("SKIP: the namespace bed needs root and iproute2")
        sys.exit(SKIP)
    name = "fwbedcheck%d" % os.getpid()
    if subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode != 0:
        print("SKIP: ip netns add is not allowed here")
        sys.exit(SKIP)
    subprocess.run(["ip", "netns", "del", name], capture_output=True)


def getport_call(xid, prog=VXI11_CORE, vers=1, prot=6):
    # ONC RPC call header (AUTH_NONE credential and verifier), then the mapping.
    return struct.pack(">10I", xid, 0, 2, PMAP_PROG, 2, 3, 0, 0, 0, 0) + \
        struct.pack(">4I", prog, vers, prot, 0)


def getport_reply_port(data, xid):
    """The port of a well-formed accepted GETPORT reply to `xid`, or None."""
    if len(data) != 28:
        return None
    rxid, mtype, stat, _flavor, _len, accept, port = struct.unpack(">7I", data)
    if rxid != xid or mtype != 1 or stat != 0 or accept != 0 or port == 0 or port > 65535:
        return None
    return port


def broadcast_addresses():
    out = subprocess.run(["ip", "-4", "-o", "addr", "show"], capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        words = line.split()
        if "brd" in words and words[1] != "lo":
            found.append(words[words.index("brd") + 1])
    return found


def probe(window):
    xid = random.getrandbits(32)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    for b in broadcast_addresses():
        s.sendto(getport_call(xid), (b, 111))
    start = time.monotonic()
    end = start + window
    found = {}
    while (left := end - time.monotonic()) > 0:
        s.settimeout(left)
        try:
            data, (addr, _port) = s.recvfrom(2048)
        except socket.timeout:
            break
        if getport_reply_port(data, xid) is not None:
            found.setdefault(addr, (time.monotonic() - start) * 1000)
    for a in sorted(found, key=socket.inet_aton):
        print("found %s %.1f" % (a, found[a]))  # address, ms after sending


def hostile(flood_s=0.0):
    """Answers every GETPORT with each kind of reply a client must ignore,
    then, with `flood_s`, keeps sending it wrong-xid answers that long."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("", 111))
    print("hostile ready", flush=True)
    for _ in range(1000):  # bounded: the bed stops it long before
        data, peer = s.recvfrom(2048)
        if len(data) < 4:
            continue
        xid = struct.unpack(">I", data[:4])[0]
        ok = struct.pack(">6I", xid, 1, 0, 0, 0, 0)
        wrong_xid = struct.pack(">I", xid ^ 1) + ok[4:] + struct.pack(">I", 4242)
        for reply in (b"\xff" * 3,                                  # garbage
                      ok + struct.pack(">I", 4242) + b"\0" * 1100,  # oversized
                      wrong_xid,
                      ok + struct.pack(">I", 0),                    # port 0
                      struct.pack(">6I", xid, 1, 0, 0, 0, 1),      # refused: PROG_UNAVAIL
                      struct.pack(">6I", xid, 1, 1, 0, 2, 2)):      # denied: RPC_MISMATCH
            s.sendto(reply, peer)
        end = time.monotonic() + flood_s
        while time.monotonic() < end:
            for _ in range(100):
                s.sendto(wrong_xid, peer)


class Bed:
    def __init__(self, fwsim):
        self.fwsim = fwsim
        self.tag = "fw%d" % os.getpid()
        self.namespaces = []
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix="fwbed-")
        self.links = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def ip(self, *args, ns=None):
        cmd = ["ip"] + (["-n", ns] if ns else []) + list(args)
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr.strip()))
        return r.stdout

    def namespace(self, name):
        full = "%s%s" % (self.tag, name)
        self.ip("netns", "add", full)
        self.namespaces.append(full)
        self.ip("link", "set", "lo", "up", ns=full)
        return full

    def bridge(self, name):
        """A namespace holding bridge br0, up, without multicast snooping."""
        ns = self.namespace(name)
        self.ip("link", "add", "br0", "type", "bridge", "mcast_snooping", "0", ns=ns)
        self.ip("link", "set", "br0", "up", ns=ns)
        return ns

    def link(self, ns, bridge_ns, cidr, ifname="eth0"):
        """Joins `ns` to the bridge through a veth pair: `ifname` in ns has `cidr`."""
        self.links += 1
        port = "p%d" % self.links
        self.ip("link", "add", port, "netns", bridge_ns, "type", "veth",
                "peer", "name", ifname, "netns", ns)
        self.ip("link", "set", port, "master", "br0", "up", ns=bridge_ns)
        self.ip("addr", "add", cidr, "brd", "+", "dev", ifname, ns=ns)
        self.ip("link", "set", ifname, "up", ns=ns)

    def env(self, env):
        """`env` (or ours) with a system bus of the bed's: never the machine's,
        whose avahi-daemon, if one runs, would browse the real network."""
        env = dict(os.environ if env is None else env)
        env.setdefault("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=%s/no-bus" % self.tmp)
        return env

    def start(self, ns, argv, env=None, **kw):
        p = subprocess.Popen(["ip", "netns", "exec", ns] + argv, env=self.env(env), **kw)
        self.procs.append(p)
        return p

    def start_sim(self, ns, address, *args, env=None):
        with open(os.path.join(self.tmp, "fwsim-%s.log" % address), "w") as log:
            p = self.start(ns, [self.fwsim, "--address", address] + list(args), env=env,
                           stdout=subprocess.PIPE, stderr=log, text=True)
        # Bounded: a simulator that neither starts nor fails is given 10 s.
        ready = select.select([p.stdout], [], [], 10)[0]
        line = p.stdout.readline() if ready else ""
        if not line.startswith("fwsim ready"):
            p.kill()
            p.wait(5)
            raise RuntimeError("fwsim %s did not start: %s" % (address, self.log_of(address)))
        return p

    def log_of(self, address):
        with open(os.path.join(self.tmp, "fwsim-%s.log" % address)) as f:
            return f.read()

    def start_avahi(self, *namespaces, ifname="eth0"):
        """A private system bus and avahi-daemon for each of `namespaces`,
        started side by side; returns their bus addresses in order."""
        homes = [self.start_one_avahi(ns, ifname) for ns in namespaces]
        for ns, home in zip(namespaces, homes):
            self.wait_for(lambda: "Server startup complete" in open(home + "/avahi.log").read(),
                          "avahi-daemon in " + ns)
        return ["unix:path=%s/bus" % home for home in homes]

    def start_one_avahi(self, ns, ifname):
        home = os.path.join(self.tmp, ns)
        os.makedirs(home)
        bus = "unix:path=%s/bus" % home
        with open(os.path.join(home, "bus.conf"), "w") as f:
            f.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>%s</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/>
<allow send_destination="*"/><allow receive_sender="*"/></policy>
<includedir>/usr/share/dbus-1/system.d</includedir></busconfig>
""" % bus)
        with open(os.path.join(home, "avahi.conf"), "w") as f:
            f.write("[server]\nhost-name=%s\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=%s\n"
                    "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                    "[publish]\npublish-hinfo=no\npublish-workstation=no\n" % (ns, ifname))
        self.start(ns, ["dbus-daemon", "--config-file=%s/bus.conf" % home, "--nofork",
                        "--nopidfile"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus)
        self.wait_for(lambda: os.path.exists(home + "/bus"), "the bus of " + ns)
        # avahi-daemon keeps its pid file and socket in /run/avahi-daemon:
        # a tmpfs in this process's own mount namespace keeps instances apart.
        log = open(os.path.join(home, "avahi.log"), "w")
        self.start(ns, ["sh", "-c", "mount -t tmpfs fwbed /run && mkdir /run/avahi-daemon && "
                        "exec avahi-daemon -f \"$0\" --no-drop-root --no-chroot --no-rlimits",
                        home + "/avahi.conf"], env=env, stdout=log, stderr=log)
        log.close()  # the daemon has its own copy
        return home

    @staticmethod
    def wait_for(ready, what, seconds=10):
        end = time.monotonic() + seconds
        while not ready():
            if time.monotonic() > end:
                raise RuntimeError("%s not ready within %d s" % (what, seconds))
            time.sleep(0.05)

    def run(self, ns, argv, env=None, timeout=30):
        return subprocess.run(["ip", "netns", "exec", ns] + argv, env=self.env(env),
                              capture_output=True, text=True, timeout=timeout)

    def probe(self, ns, window=1.0, times=None):
        """The addresses that answered the bed's own broadcast client, in
        order; with `times` (a list), also the milliseconds each took."""
        r = self.run(ns, ["/usr/bin/python3", os.path.abspath(__file__), "probe", str(window)])
        if r.returncode != 0:
            raise RuntimeError("probe: " + r.stderr)
        found = [line.split() for line in r.stdout.splitlines() if line.startswith("found ")]
        if times is not None:
            times.extend(float(f[2]) for f in found)
        return [f[1] for f in found]

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in reversed(self.procs):
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(5)
            if p.stdout:
                p.stdout.close()
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=20)
        shutil.rmtree(self.tmp, ignore_errors=True)


if __name__ == "__main__" and len(sys.argv) >= 2 and sys.argv[1] == "probe":
    probe(float(sys.argv[2]) if len(sys.argv) > 2 else 1.0)
elif __name__ == "__main__" and len(sys.argv) >= 2 and sys.argv[1] == "hostile":
    hostile(float(sys.argv[2]) if len(sys.argv) > 2 else 0.0)
