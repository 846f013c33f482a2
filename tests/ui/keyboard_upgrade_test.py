#!/usr/bin/python3
"""A whole upgrade with the keyboard alone, through a real X server and window
manager, against a simulated instrument: Browse, the picker, the images, the
instrument, Upgrade, the warning, the completion box, Close.

    keyboard_upgrade_test.py path/to/firmware-update path/to/fwsim
"""

import os
import select
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402

ADDRESS = "127.0.0.178"


def start_sim(procs, fwsim, folder):
    """fwsim on its own loopback address, HiSLIP on a port it picks; the ready
    line names it."""
    os.makedirs(os.path.join(folder, "store"))
    sim = procs.start([os.path.abspath(fwsim), "--address", ADDRESS, "--socket-port", "0",
                       "--hislip-port", "0", "--no-portmap",
                       "--transcript", os.path.join(folder, "transcript.txt"),
                       "--store", os.path.join(folder, "store")],
                      stdout=ds.subprocess.PIPE, stderr=ds.subprocess.DEVNULL)
    line = b""
    deadline = time.monotonic() + 10
    while b"\n" not in line and time.monotonic() < deadline:
        if select.select([sim.stdout], [], [], 0.2)[0]:
            chunk = os.read(sim.stdout.fileno(), 256)
            if not chunk:
                break
            line += chunk
    words = dict(w.split("=", 1) for w in line.decode().split() if "=" in w)
    if not line.startswith(b"fwsim ready " + ADDRESS.encode() + b" ") or "hislip" not in words:
        raise AssertionError("fwsim did not become ready: %r" % line)
    return sim, "TCPIP0::%s::hislip0,%s::INSTR" % (ADDRESS, words["hislip"])


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def box(title):
    """Waits for a message box, gives it the focus and returns its window."""
    window = ds.find_window(title, timeout=30)
    ds.focus(window)
    return window


def upgrade_by_keys(procs, release):
    program, fwsim = sys.argv[1], sys.argv[2]
    sim_dir = os.path.join(release.root, "instrument")
    sim, resource = start_sim(procs, fwsim, sim_dir)
    # The library's configuration lists it, so that discovery has a line.
    with open(os.path.join(release.config, "firmware-update", "visa.conf"), "w") as f:
        f.write(resource + "\n")
    app = ds.start_program(procs, program, release)
    main = ds.find_window(ds.MAIN_TITLE, timeout=30)
    ds.focus(main)

    # The picker opens on the remembered folder with the tree focused; the
    # release is its only child, one step down; Enter is OK.
    ds.keys("alt+b")
    picker = ds.find_window("Select Release Directory")
    ds.focus(picker)
    # Help is one key away in the picker too; Escape closes it again.
    ds.keys("F1")
    ds.focus(ds.find_window("Firmware Upgrade Help"))
    ds.keys("Escape")
    ds.wait_for("the help window to close", lambda: ds.gone("Firmware Upgrade Help"))
    ds.focus(picker)
    ds.keys("Down", "Return")
    ds.wait_for("the picker to close", lambda: ds.gone("Select Release Directory"))
    ds.focus(main)

    # Host comes ticked with the release; the other three by their keys.
    ds.keys("alt+e", "alt+o", "alt+u", "alt+v")
    # F4 opens the instrument list, which runs discovery; Escape then
    # closes only the list, so it waits for the list: sent earlier, it
    # would reach the window and end it. Then the instrument is typed.
    def shown():
        return len(ds.xdotool("search", "--onlyvisible", "--pid", str(app.pid)))
    windows = shown()
    ds.keys("F4")
    ds.wait_for("the instrument list to open", lambda: shown() > windows)
    ds.keys("Escape")
    ds.wait_for("the instrument list to close", lambda: shown() == windows)
    ds.keys("ctrl+a")
    ds.type_text(resource)
    ds.keys("alt+p")
    box("Warning")
    ds.keys("y")
    box("Complete")
    ds.keys("Return")

    store = os.path.join(sim_dir, "store")
    for ident, data in release.images.items():
        ds.wait_for("the instrument to keep " + ident,
                    lambda: read(os.path.join(store, ident + ".bin")) == data)
    transcript = os.path.join(sim_dir, "transcript.txt")
    # The restart follows the completion box by the engine's 4 s.
    ds.wait_for("the restart", lambda: b"DIAG:HW:HOST:REBoot" in read(transcript), 15)
    script = read(transcript)
    if script.rfind(b"DIAG:UPD:END") > script.find(b"DIAG:HW:HOST:REBoot"):
        raise AssertionError("the restart came before the update mode was left")

    ds.focus(main)
    ds.keys("alt+c")
    ds.wait_for("the program to end", lambda: app.poll() is not None)
    if app.returncode != 0:
        raise AssertionError("the program ended with %d" % app.returncode)
    print("keyboard upgrade: all four images written with keys alone")
    return 0


def inner():
    return ds.run_desktop_test(upgrade_by_keys)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    ds.need("xdotool", "openbox", "xprop")
    sys.exit(ds.run_in_session(inner))
