"""A private desktop for one GUI test: its own virtual X server, session bus
and window manager, the release directory the program is given, and key
presses through the X server as a keyboard would send them.

Every process started here is stopped by its pid, and every wait is bounded.
"""

import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
SETTINGS_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrion Technologies\\Tavrion K7141 Vovev]"
MAIN_TITLE = "K7140 H-Series Firmware Upgrade Utility"
# Images of different sizes, so that a mix-up shows.
IMAGES = (("HPAP", "vxWorks_rom.bin", 300000), ("HREC", "RecoveryApp.bin", 120001),
          ("HBRM", "bootrom.bin", 65536), ("HUBL", "ubl-nor-ais.bin", 9999))


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP)


def wait_for(what, probe, timeout=15.0, step=0.1):
    """probe() until it gives something true; fails naming `what` after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = probe()
        except Exception as error:  # a window or object that is still being built
            value, last = None, error
        else:
            last = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what +
                                 (" (last error: %s)" % last if last else ""))
        time.sleep(step)


class Processes:
    """The processes a test started; stop_all() ends them newest first, by pid."""

    def __init__(self):
        self.started = []

    def start(self, args, **kw):
        proc = subprocess.Popen(args, **kw)
        self.started.append(proc)
        return proc

    def stop(self, proc, timeout=5.0):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout)
        if proc in self.started:
            self.started.remove(proc)

    def stop_all(self):
        for proc in reversed(list(self.started)):
            self.stop(proc)


def start_xvfb(procs):
    """A virtual X server on a free display number, which it picks itself."""
    read_end, write_end = os.pipe()
    procs.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 15
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        if select.select([read_end], [], [], 0.2)[0]:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip():
        raise AssertionError("Xvfb did not start")
    return ":" + number.decode().strip()


def run_in_session(inner, timeout=90):
    """Runs `inner()` in this script again, under a virtual X server and a
    session bus of its own; returns the exit status for sys.exit."""
    if os.environ.get("FW_DESKTOP_SESSION") == "1":
        return inner()
    need("Xvfb", "dbus-run-session")
    procs = Processes()
    try:
        env = dict(os.environ, DISPLAY=start_xvfb(procs), FW_DESKTOP_SESSION="1")
        # Never the machine's own buses or accessibility settings.
        for name in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY",
                     "QT_QPA_PLATFORM"):
            env.pop(name, None)
        env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="fw-desktop-run-")
        # A group of its own, so that a test that overran is ended whole:
        # the bus and everything the inner run started.
        session = procs.start(["dbus-run-session", "--", sys.executable] + sys.argv, env=env,
                              start_new_session=True)
        try:
            return session.wait(timeout)
        except subprocess.TimeoutExpired:
            print("the test did not end within %d s" % timeout)
            os.killpg(session.pid, signal.SIGKILL)
            return 1
        finally:
            shutil.rmtree(env["XDG_RUNTIME_DIR"], ignore_errors=True)
    finally:
        procs.stop_all()


class Release:
    """A folder `base/` holding the release `base/rel/` (configuration file and
    four images), and a settings folder that remembers `base/` for Browse."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="fw-ui-desktop-")
        self.base = os.path.join(self.root, "base")
        self.rel = os.path.join(self.base, "rel")
        os.makedirs(os.path.join(self.rel, "host"))
        with open(os.path.join(self.rel, "Firmware_Upgrade.txt"), "w") as f:
            f.write("# test release\nHPAP 2.4.0\nHREC 2.4.0\nHBRM 1.9\nHUBL 1.2\n")
        rng = random.Random(7)
        self.images = {}
        for ident, name, size in IMAGES:
            data = rng.randbytes(size)
            with open(os.path.join(self.rel, "host", name), "wb") as f:
                f.write(data)
            self.images[ident] = data
        self.config = os.path.join(self.root, "config")
        os.makedirs(os.path.join(self.config, "firmware-update"))
        with open(os.path.join(self.config, "firmware-update", "settings.conf"), "w") as f:
            f.write(SETTINGS_KEY + "\nReleaseDirectory=" + self.base + "/\n")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def start_window_manager(procs, attempts=3):
    """openbox, once it manages the screen: a window mapped before that
    stays unmapped and unframed. On a loaded machine openbox has been seen
    to find the display refusing it just after Xvfb said it was ready: the
    display is first asked directly, and openbox tried again (bounded)."""
    wait_for("the X server to answer",
             lambda: subprocess.run(["xprop", "-root", "-len", "1"], capture_output=True,
                                    timeout=10).returncode == 0)
    for attempt in range(1, attempts + 1):
        log = tempfile.TemporaryFile()
        wm = procs.start(["openbox", "--sm-disable"], stdout=log, stderr=subprocess.STDOUT)

        def ready():
            if wm.poll() is not None:
                return "ended"
            done = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                  capture_output=True, text=True, timeout=10)
            return "window id" in done.stdout
        if wait_for("the window manager", ready) != "ended":
            return
        log.seek(0)
        why = "openbox ended (%d): %s" % (wm.returncode, log.read().decode().strip())
        procs.stop(wm)
        if attempt == attempts:
            raise AssertionError(why)
        print(why + "; trying again")
        time.sleep(0.5)


def run_desktop_test(body):
    """One test on the session's desktop: a window manager, a release of its
    own, then body(procs, release), which returns an exit status or fails
    by AssertionError; every process it started is stopped at the end."""
    procs = Processes()
    release = Release()
    try:
        start_window_manager(procs)
        return body(procs, release)
    except AssertionError as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        procs.stop_all()
        release.remove()


def start_program(procs, program, release, **extra_env):
    env = dict(os.environ, XDG_CONFIG_HOME=release.config, **extra_env)
    env.pop("QT_QPA_PLATFORM", None)
    # In the sanitizer build: the X keyboard library strndup()s names that
    # the X server sends counted, not terminated, which strict string checks
    # take for an overflow before Qt has drawn anything.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace("strict_string_checks=1",
                                                          "strict_string_checks=0")
    return procs.start([os.path.abspath(program)], env=env, cwd=release.root)


def xdotool(*args, timeout=10):
    done = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True,
                          timeout=timeout)
    return done.stdout.split() if done.returncode == 0 else []


def find_window(title, timeout=15.0):
    """The id of the visible window whose whole title is `title`."""
    return wait_for("window '%s'" % title, lambda: (visible(title) or [None])[0], timeout)


def focus(window, timeout=10.0):
    """Makes `window` the active one, as the window manager would on a click."""
    def active():
        if xdotool("getactivewindow") == [window]:
            return True
        xdotool("windowactivate", window)
        return False
    wait_for("window %s to take the focus" % window, active, timeout, step=0.2)


def keys(*names):
    """Presses keys on the virtual keyboard, to whichever window has the focus."""
    for name in names:
        if subprocess.run(["xdotool", "key", "--clearmodifiers", name], timeout=10).returncode:
            raise AssertionError("xdotool could not press " + name)
        time.sleep(0.1)


def type_text(text):
    if subprocess.run(["xdotool", "type", "--delay", "20", text], timeout=30).returncode:
        raise AssertionError("xdotool could not type " + text)


def visible(title):
    """The visible windows whose whole title is `title` (no pattern characters)."""
    return xdotool("search", "--onlyvisible", "--name", "^" + title + "$")


def gone(title):
    return not visible(title)
