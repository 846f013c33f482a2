#!/usr/bin/python3
"""fwvisa-info run as a person would, in each way of choosing the library.

Usage: fwvisa_info_test.py <fwvisa-info> <libfwvisa.so> <library lacking viLock> <fwsim>
                          [<usb_sensor_host>]
Proves the loader in a whole process: our own libfwvisa.so loaded through
it (chosen by the environment, and by the configuration file) opens a real
fwsim instrument; a library that does not load, or lacks a function the
program needs, is named with the reason. An emulated USB sensor (under
umockdev, when given) is opened and named. Then the question the tool is
for, "why isn't my instrument found?": skipped configuration lines with
their numbers, the connection's cause with host and port, *IDN? answered or
not, and the exit status a script can act on. The LAN part needs fwsim's
portmapper on port 111 (root) and is skipped without it.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "interop"))
from pyvisa_interop import Fwsim  # noqa: E402

failures = []


def run(info, home, env_library=None, *args):
    env = {k: v for k, v in os.environ.items() if k != "FW_VISA_LIBRARY"}
    if home is None:  # no configuration folder at all
        env.pop("XDG_CONFIG_HOME", None)
        env.pop("HOME", None)
    else:
        env["XDG_CONFIG_HOME"] = home
    if env_library is not None:
        env["FW_VISA_LIBRARY"] = env_library
    p = subprocess.run([info, *args], env=env, capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout + p.stderr


def expect(what, cond, output):
    if not cond:
        failures.append(what)
        print(f"FAIL {what}\n{output}")
    else:
        print(f"ok   {what}")


def json_report(info, home, text_rc, text):
    """--json: the facts of the text just printed, in a versioned layout, and
    the text's closing count the same as the document's."""
    rc, out = run(info, home, None, "--timeout", "500", "--json")
    try:
        doc = json.loads(out)
    except ValueError:
        doc = {}
    lan = doc.get("lan", [])
    expect("--json is one document of schema 1 with the text's exit status",
           doc.get("schema") == 1 and rc == text_rc == doc.get("exit_status"), out)
    expect("--json names each LAN instrument, answered or not, and the skipped lines",
           [x.get("answered") for x in lan] == [True, True, False, False]
           and lan[0].get("idn", "").startswith("Tavrion Technologies,K7141HA,")
           and "connection refused" in lan[3].get("open_error", "")
           and [x["line"] for x in doc["configuration"]["skipped"]] == [4, 5], out)
    summary = doc.get("summary", {})
    expect("the text closes with the count the document gives",
           text.endswith(f"\nSummary\n  {summary.get('resources')} resources, "
                         f"{summary.get('reachable')} reachable\n")
           and summary.get("reachable", 0) >= 2, text)


def why_not_found(info, fwsim, home, conf):
    """A person's configuration with typing errors, an address where nothing
    listens and an instrument that never answers: each is named with its
    line or its host and port, and the exit status says not all was reached."""
    with Fwsim(fwsim, "127.0.0.190") as sim, \
            Fwsim(fwsim, "127.0.0.191", "--no-reply", "*IDN?") as mute:
        socket = f"TCPIP0::127.0.0.190::{sim.socket_port}::SOCKET"
        with open(conf, "w") as f:
            f.write(f"# bench\n{socket}\nTCPIP0::127.0.0.190::hislip0::INSTR\n"
                    "serial = of\nTCPIP0:127.0.0.190::INSTR\n"
                    f"{mute.resource()}\nusb = off\nTCPIP0::127.0.0.192::5025::SOCKET\n")
        rc, out = run(info, home, None, "--timeout", "500")
        expect("skipped lines are listed with their numbers and why",
               "skipped lines:   2\n"
               "    line 4: serial = of: the value is neither on nor off\n"
               "    line 5: TCPIP0:127.0.0.190::INSTR: not a resource string\n" in out
               and "LAN instruments: 4 configured" in out, out)
        expect("each instrument that answers shows its *IDN? reply",
               out.count("*IDN?:         Tavrion Technologies,K7141HA,") == 2, out)
        expect("an instrument that never answers is not taken as reached",
               f"  {mute.resource()}\n    portmapper:    127.0.0.191:111 answers" in out
               and "    open:          opened\n    *IDN?:         no reply in 0.5 s\n" in out,
               out)
        expect("nothing listening is a refused connection, with host and port, and exit 3",
               rc == 3 and "  TCPIP0::127.0.0.192::5025::SOCKET\n    open:          failed: "
               "VI_ERROR_RSRC_NFOUND: connecting to 127.0.0.192:5025: connection refused\n" in out,
               out)

        json_report(info, home, rc, out)

        with open(conf, "w") as f:
            f.write(f"{socket}\nserial = off\nusb = off\n")
        rc, out = run(info, home, None, "--timeout", "500")
        expect("every configured instrument answering exits 0", rc == 0, out)
    os.remove(conf)


def main():
    info, shared, no_lock, fwsim = sys.argv[1:5]
    home = tempfile.mkdtemp(prefix="fwvisa-info-")
    conf = os.path.join(home, "firmware-update", "visa.conf")
    os.makedirs(os.path.dirname(conf))
    try:
        rc, out = run(info, home)
        expect("built-in by default", rc == 0 and "in use:          built-in (fwvisa " in out
               and "chosen by:       default" in out and "(not present: defaults in use)" in out
               and "VXI-11:          available" in out, out)

        rc, out = run(info, home, shared)
        expect("our library through FW_VISA_LIBRARY",
               rc == 0 and f"in use:          {shared}\n" in out
               and "chosen by:       FW_VISA_LIBRARY" in out and "version:         1.0.0" in out,
               out)

        rc, out = run(info, home, "/nonexistent/libvisa.so")
        expect("a library that does not load is named with the reason",
               rc == 1 and "error:           VI_ERROR_LIBRARY_NFOUND: cannot load the VISA "
               "library /nonexistent/libvisa.so: " in out, out)

        rc, out = run(info, home, no_lock)
        expect("a missing function is named",
               rc == 1 and f"the VISA library {no_lock} lacks viLock, which this program needs"
               in out, out)

        usb_host = sys.argv[5] if len(sys.argv) > 5 else "none"
        wrapper = shutil.which("umockdev-wrapper")
        if usb_host != "none" and wrapper is not None:
            with open(conf, "w") as f:
                f.write("serial = off\n")
            rc, out = run(wrapper, home, None, usb_host, "--serial", "SN7", "--interface", "1",
                          "--", info)
            expect("a USB instrument is opened and says who it is",
                   rc == 0 and "  USB0::0x1A2B::0x0C3D::SN7::1::INSTR  (listed by the library)\n"
                   "    manufacturer:  Tavrion Technologies (0x1A2B)\n"
                   "    model:         K7141HA (0x0C3D)\n"
                   "    serial:        SN7\n" in out, out)
            os.remove(conf)
        else:
            print("     (no umockdev: the USB case is not run)")

        rc, out = run(info, home, None, "--timeout", "x")
        expect("a bad option value is refused", rc == 2 and "--timeout needs MS" in out, out)

        rc, out = run(info, None)
        expect("without HOME there is no configuration file, and it says why",
               rc == 0 and "file:            none: no configuration folder (neither "
               "XDG_CONFIG_HOME nor HOME is set); defaults in use" in out, out)

        if os.geteuid() == 0:
            # As root, a library from a file another user could have written,
            # or one another user owns, is refused; the environment's is not.
            theirs = os.path.join(home, "libtheirs.so")
            shutil.copy(shared, theirs)
            os.chmod(theirs, 0o755)
            with open(conf, "w") as f:
                f.write(f"library = {shared}\nserial = off\nusb = off\n")
            os.chmod(conf, 0o644)
            os.chown(conf, 65534, 65534)
            rc, out = run(info, home)
            expect("root refuses a library named by a file it does not own",
                   rc == 1 and f"refusing library {shared} from {conf}: {conf} is not owned by "
                   "root (running as root)" in out, out)
            os.chown(conf, 0, 0)
            with open(conf, "w") as f:
                f.write(f"library = {theirs}\nserial = off\nusb = off\n")
            os.chown(theirs, 65534, 65534)
            rc, out = run(info, home)
            expect("root refuses a library another user owns",
                   rc == 1 and f"refusing library {theirs} from {conf}: {theirs} is not owned "
                   "by root (running as root)" in out, out)
            folder = os.path.dirname(conf)
            os.chmod(folder, 0o775)
            rc, out = run(info, home)
            expect("root refuses a file in a folder others can write",
                   rc == 1 and f"refusing library {theirs} from {conf}: folder {folder} is "
                   "writable by group or others (running as root)" in out, out)
            os.chmod(folder, 0o755)
            rc, out = run(info, home, theirs)
            expect("FW_VISA_LIBRARY stays the user's own choice",
                   rc == 0 and f"in use:          {theirs}\n" in out, out)
            os.remove(conf)

        with Fwsim(fwsim, "127.0.0.84") as sim:
            if "portmapper not served" in sim.stderr():
                print("skipped: LAN checks need fwsim's portmapper on port 111 (root)")
                return 1 if failures else 0
            # A copy whose mode does not depend on the build's umask: as root,
            # a group-writable library would be refused.
            ours = os.path.join(home, "libfwvisa.so.1")
            shutil.copy(shared, ours)
            os.chmod(ours, 0o755)
            with open(conf, "w") as f:
                f.write(f"library = {ours}\n{sim.resource()}\n"
                        "TCPIP0::127.0.0.85::inst0::INSTR\nserial = off\n")
            os.chmod(conf, 0o644)
            rc, out = run(info, home, None, "--timeout", "500")
            # The loaded library gives the cause inside its status description.
            expect("the configuration file chooses the library, which reaches the instrument",
                   rc == 3 and f"chosen by:       {conf}" in out
                   and f"library line:    {ours}" in out
                   and "127.0.0.84:111 answers: VXI-11 core on port " in out
                   and "open:          opened\n    *IDN?:         Tavrion Technologies,K7141HA,"
                   in out
                   and "portmapper:    not reachable: connecting to 127.0.0.85:111: "
                   "connection refused" in out
                   and "open:          failed: VI_ERROR_RSRC_NFOUND: " in out
                   and "(asking the portmapper: connecting to 127.0.0.85:111: connection "
                   "refused)" in out
                   and "serial listing:  off" in out, out)
            rc, out = run(info, home, "builtin")
            expect("FW_VISA_LIBRARY=builtin overrides the file for one run",
                   "in use:          built-in" in out and "chosen by:       FW_VISA_LIBRARY" in out,
                   out)
        why_not_found(info, fwsim, home, conf)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
