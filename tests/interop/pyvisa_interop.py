#!/usr/bin/python3
"""pyvisa-py (Debian's, an independent VXI-11 client) against fwsim.

Run by ctest as: /usr/bin/python3 pyvisa_interop.py <path to fwsim>
Every fwsim started here listens on its own address in 127.0.0.40-47 and is
killed by its pid when its case ends, whatever the outcome. Exit status 77
means the environment cannot run the cases (no pyvisa-py, or port 111 cannot
be bound for the portmapper that pyvisa-py insists on).
"""

import os
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
from contextlib import contextmanager

SKIP = 77
READY_TIMEOUT_S = 10.0

try:
    import pyvisa
    from pyvisa import constants, errors
except ImportError as e:  # pragma: no cover - environment check
    print(f"skipped: pyvisa not importable ({e})")
    sys.exit(SKIP)


class Fwsim:
    """One fwsim process; a context manager that always ends it by pid."""

    def __init__(self, binary, address, *extra):
        self.address = address
        self.workdir = tempfile.mkdtemp(prefix="fwsim-interop-")
        self.store = os.path.join(self.workdir, "store")
        os.mkdir(self.store)
        self.transcript = os.path.join(self.workdir, "transcript.txt")
        self.stderr_path = os.path.join(self.workdir, "stderr.txt")
        self.args = [binary, "--address", address, "--socket-port", "0",
                     "--store", self.store, "--transcript", self.transcript, *extra]
        self.proc = None

    def __enter__(self):
        self._stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=self._stderr)
        deadline = time.monotonic() + READY_TIMEOUT_S
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise RuntimeError(f"fwsim on {self.address} did not get ready")
            chunk = os.read(self.proc.stdout.fileno(), 256)
            if not chunk:
                raise RuntimeError(f"fwsim on {self.address} exited: {self.stderr()}")
            line += chunk
        fields = line.decode().split()
        assert fields[:3] == ["fwsim", "ready", self.address], line
        self.vxi11_port = int(fields[3].split("=")[1])
        self.socket_port = int(fields[4].split("=")[1])
        # Every "name=port" the simulator announces (more once it serves more).
        self.ports = dict(f.split("=", 1) for f in fields[3:] if "=" in f)
        # Its own portmapper, or nothing else could be trusted on port 111.
        assert self.ports.get("portmap") == "111", line
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=5)
        self._stderr.close()
        shutil.rmtree(self.workdir, ignore_errors=True)
        return False

    def stderr(self):
        with open(self.stderr_path) as f:
            return f.read()

    def transcript_lines(self):
        with open(self.transcript) as f:
            return f.read().splitlines()

    def resource(self):
        return f"TCPIP0::{self.address}::inst0::INSTR"


def open_session(rm, sim, timeout_ms=3000):
    s = rm.open_resource(sim.resource())
    s.timeout = timeout_ms
    s.write_termination = "\n"
    s.read_termination = "\n"
    return s


def upload(s, image_id, data, block_size):
    """The engine's conversation for one image, block messages written in
    4096-byte raw writes followed by the line feed alone."""
    s.write("DIAG:SCPI:DEBUG ON")
    s.write("*cls")
    assert s.query(f"DIAG:UPD:SSIZ? {image_id}").strip().isdigit()
    assert s.query(f"DIAG:UPD:INIT? {image_id},{block_size},{len(data)}") == "0"
    assert s.query(":SYST:ERR?") == '+0,"No error"'
    for offset in range(0, len(data), block_size):
        block = data[offset:offset + block_size]
        message = f"DIAG:UPD:BLOC? #{len(str(len(block)))}{len(block)}".encode() + block
        for k in range(0, len(message), 4096):
            s.write_raw(message[k:k + 4096])
        s.write_raw(b"\n")
        assert s.read() == "0"
        assert s.query(":SYST:ERR?") == '+0,"No error"'
    s.write("DIAG:UPD:DONE")


def expect_visa_error(code, fn, *args):
    try:
        fn(*args)
    except errors.VisaIOError as e:
        assert e.error_code == code, f"expected {code}, got {e.error_code}"
        return
    raise AssertionError(f"expected VISA error {code}")


@contextmanager
def lock_holder(backend, resource):
    """Another process that opens `resource` through ResourceManager(`backend`),
    takes its exclusive lock and holds it until it is killed on leaving the
    block, as a crashed program would be: nothing unlocks."""
    holder = subprocess.Popen(
        ["/usr/bin/python3", "-c",
         "import pyvisa,time\n"
         f"s=pyvisa.ResourceManager({backend!r}).open_resource({resource!r})\n"
         "s.lock_excl(); print('locked', flush=True); time.sleep(30)\n"],
        stdout=subprocess.PIPE)
    try:
        assert select.select([holder.stdout], [], [], 10)[0], "lock holder did not start"
        assert holder.stdout.readline().strip() == b"locked"
        yield
    finally:
        os.kill(holder.pid, signal.SIGKILL)
        holder.wait(timeout=5)


def lock_when_freed(session, **lock_args):
    """Takes the exclusive lock once a dead holder's lock has gone (5 s at most)."""
    deadline = time.monotonic() + 5
    while True:
        try:
            session.lock_excl(**lock_args)
            return
        except errors.VisaIOError:
            assert time.monotonic() < deadline, "the dead holder's lock stayed"
            time.sleep(0.05)


def case_identify(binary, rm):
    with Fwsim(binary, "127.0.0.40") as sim:
        s = open_session(rm, sim)
        s.read_termination = None  # keep the line feed, as the engine does
        assert s.query("*IDN?") == "Tavrion Technologies,K7141HA,000040,1.0.0\n"
        s.close()
    with Fwsim(binary, "127.0.0.41", "--model", "K7141B", "--serial", "S42") as sim:
        s = open_session(rm, sim)
        assert s.query("*IDN?") == "Tavrion Technologies, K7141B,S42,1.0.0"
        assert s.query(":SYST:ERR?") == '+0,"No error"'
        s.write("NOT:A:COMMand")
        assert s.query(":SYST:ERR?") == '-113,"Undefined header"'
        s.close()


def case_upload(binary, rm):
    rng = random.Random(7141)
    with Fwsim(binary, "127.0.0.42", "--sector", "HBRM=1024") as sim:
        s = open_session(rm, sim, timeout_ms=10000)
        s.write("DIAG:UPD:STARt")
        # One block whose last 4096-byte piece is short enough for pyvisa-py
        # 0.5.1 to flag END in the middle of the block data; LF and NUL
        # bytes are certain among 200 kB of random data.
        length = 3 * 4096 + 500 - 22
        one = bytes(rng.getrandbits(8) for _ in range(length)) + b"\n\x00\n"
        upload(s, "HPAP", one, len(one))
        # Several blocks of whole sectors and a short last one.
        several = bytes(rng.getrandbits(8) for _ in range(10000))
        upload(s, "HBRM", several, 3072)
        s.write("DIAG:UPD:END")
        s.close()
        with open(os.path.join(sim.store, "HPAP.bin"), "rb") as f:
            assert f.read() == one, "HPAP stored bytes differ"
        with open(os.path.join(sim.store, "HBRM.bin"), "rb") as f:
            assert f.read() == several, "HBRM stored bytes differ"
        lines = sim.transcript_lines()
        assert f"DIAG:UPD:BLOC? #5{len(one)}<{len(one)} bytes>" in lines, lines
        assert "DIAG:UPD:BLOC? #3784<784 bytes>" in lines, lines


def case_incomplete_upload_is_discarded(binary, rm):
    with Fwsim(binary, "127.0.0.43", "--drop-in-block", "5000") as sim:
        s = open_session(rm, sim)
        s.write("DIAG:UPD:STARt")
        assert s.query("DIAG:UPD:INIT? HUBL,8192,8192") == "0"
        message = b"DIAG:UPD:BLOC? #48192" + bytes(8192)
        try:
            for k in range(0, len(message), 4096):
                s.write_raw(message[k:k + 4096])
            raise AssertionError("the connection should have been dropped mid-block")
        except (errors.VisaIOError, OSError, Exception) as e:  # pyvisa-py raises several kinds
            if isinstance(e, AssertionError):
                raise
        s2 = open_session(rm, sim)
        s2.write("DIAG:UPD:DONE")
        assert s2.query(":SYST:ERR?") == '+0,"No error"'
        s2.close()
        assert not os.path.exists(os.path.join(sim.store, "HUBL.bin"))


def case_locks(binary, rm):
    locked = constants.StatusCode.error_resource_locked
    with Fwsim(binary, "127.0.0.44", "--hold-lock") as sim:
        s = open_session(rm, sim)
        expect_visa_error(locked, s.lock_excl)
        # I/O of a link while another link holds the lock is refused too.
        expect_visa_error(constants.StatusCode.error_io, s.write, "*IDN?")
        s.close()

    with Fwsim(binary, "127.0.0.45") as sim:
        a = open_session(rm, sim)
        b = open_session(rm, sim)
        a.lock_excl()
        expect_visa_error(locked, b.lock_excl)
        assert a.query("*IDN?").startswith("Tavrion Technologies,K7141HA")
        a.unlock()
        b.lock_excl()
        expect_visa_error(locked, a.lock_excl)
        b.close()  # destroy_link frees its lock
        a.lock_excl()
        a.unlock()

        # A client that dies holding the lock leaves nothing behind.
        with lock_holder("@py", sim.resource()):
            expect_visa_error(locked, a.lock_excl)
        lock_when_freed(a)
        a.unlock()
        a.close()


def case_faults_and_socket(binary, rm):
    with Fwsim(binary, "127.0.0.46", "--error-after", 'DIAG:UPD:INIT?=-222,"Data out of range"',
               "--init-reply", "abc") as sim:
        s = open_session(rm, sim)
        s.write("DIAG:UPD:STARt")
        assert s.query("DIAG:UPD:INIT? HPAP,100,100") == "abc"
        assert s.query(":SYST:ERR?") == '-222,"Data out of range"'
        assert s.query(":SYST:ERR?") == '+0,"No error"'
        s.close()
        raw = rm.open_resource(f"TCPIP0::{sim.address}::{sim.socket_port}::SOCKET")
        raw.timeout = 3000
        raw.write_termination = "\n"
        raw.read_termination = "\n"
        assert raw.query("*IDN?").startswith("Tavrion Technologies,K7141HA,")
        raw.close()


def connect_refused(address, port):
    with socket.socket() as c:
        c.settimeout(2)
        try:
            c.connect((address, port))
            return False
        except ConnectionRefusedError:
            return True


def case_reboot(binary, rm):
    with Fwsim(binary, "127.0.0.47", "--reboot-ms", "1500") as sim:
        s = open_session(rm, sim)
        s.write("DIAG:UPD:STARt")
        s.write("DIAG:HW:HOST:REBoot")  # answered, then the instrument goes
        assert connect_refused(sim.address, sim.vxi11_port)
        assert connect_refused(sim.address, 111)
        deadline = time.monotonic() + 10
        while connect_refused(sim.address, sim.vxi11_port):
            assert time.monotonic() < deadline, "fwsim did not come back"
            time.sleep(0.1)
        fresh = open_session(rm, sim)
        # Power-on state: update mode left, so initialise is refused.
        assert fresh.query("DIAG:UPD:INIT? HPAP,100,100") == "1"
        assert fresh.query(":SYST:ERR?").startswith("-221,")
        fresh.close()
        s.timeout = 200  # its link died with the reboot; closing only logs that


def portmapper_available(binary):
    # fwsim refuses to start without the portmapper it was asked for.
    try:
        with Fwsim(binary, "127.0.0.40"):
            return True
    except RuntimeError:
        return False


def main():
    binary = os.path.abspath(sys.argv[1])
    if not portmapper_available(binary):
        print("skipped: fwsim cannot bind port 111, which pyvisa-py needs")
        return SKIP
    rm = pyvisa.ResourceManager("@py")
    cases = [case_identify, case_upload, case_incomplete_upload_is_discarded, case_locks,
             case_faults_and_socket, case_reboot]
    failed = 0
    for case in cases:
        try:
            case(binary, rm)
            print(f"ok   {case.__name__}")
        except Exception:
            failed += 1
            print(f"FAIL {case.__name__}")
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
