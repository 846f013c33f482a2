#!/usr/bin/python3
"""The Debian packages, end to end: build, inspect, lint, install, use, remove.

Usage: package_test.py <build dir> <multiarch triplet> [optional file ...]
Builds the four packages with CPack from the (already built) tree, twice
with one SOURCE_DATE_EPOCH, and checks that both builds are byte for byte
the same; that each package holds exactly the files it should and that
lintian finds no errors. Then installs them one by one, each checked as soon
as it is in: the library (ldconfig knows it), the development files (a C
program built against the installed header through pkg-config), the
application (the window offscreen, fwupgrade and fwvisa-info, whose
--version is the package's), the simulator (pyvisa on the installed library
against the installed fwsim). Purges them in the opposite order and checks
after each that nothing of it is left. Optional files (parts that exist only
in some builds) are named on the command line; they belong to the
application. Exit 77 without root, or when one of these packages is already
installed (it is not ours to remove).
"""
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
APP = "firmware-update"
LIB = "libfwvisa1"
DEV = "libfwvisa-dev"
SIM = "fwsim"
PACKAGES = [LIB, DEV, APP, SIM]  # the order they install in
HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, timeout=300, env=None, check=True):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    if check and p.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} exited {p.returncode}:\n{p.stdout}{p.stderr}")
    return p


def installed(package):
    p = run(["dpkg-query", "-W", "-f=${Status}", package], check=False)
    return "install ok installed" in p.stdout or "config-files" in p.stdout


def docs(package):
    return {f"/usr/share/doc/{package}/copyright", f"/usr/share/doc/{package}/changelog.gz"}


def expected_files(triplet, optional):
    lib = f"/usr/lib/{triplet}"
    return {
        LIB: {f"{lib}/libfwvisa.so.1.0.0", f"{lib}/libfwvisa.so.1"} | docs(LIB),
        DEV: {f"{lib}/libfwvisa.so", f"{lib}/pkgconfig/fwvisa.pc",
              "/usr/include/fwvisa/visa.h", "/usr/include/fwvisa/fwvisa_ext.h"} | docs(DEV),
        APP: {
            "/usr/bin/firmware-update", "/usr/bin/fwvisa-info",
            "/usr/share/applications/firmware-update.desktop",
            "/usr/share/icons/hicolor/16x16/apps/firmware-update.png",
            "/usr/share/icons/hicolor/32x32/apps/firmware-update.png",
            "/usr/share/man/man1/firmware-update.1.gz", "/usr/share/man/man1/fwvisa-info.1.gz",
            # What F1 shows; the window looks for it beside its own prefix.
            "/usr/share/firmware-update/help/index.html",
            # Without it an ordinary user cannot open a USB sensor.
            "/usr/lib/udev/rules.d/70-fwvisa-usbtmc.rules",
            "/usr/share/bash-completion/completions/fwvisa-info",
        } | docs(APP) | set(optional),
        SIM: {"/usr/bin/fwsim", "/usr/share/man/man1/fwsim.1.gz",
              "/usr/share/bash-completion/completions/fwsim"} | docs(SIM),
    }


def package_files(deb):
    out = run(["dpkg-deb", "-c", deb]).stdout
    files = set()
    for line in out.splitlines():
        mode, path = line.split()[0], line.split()[5]
        if not mode.startswith("d"):
            files.add(path[1:])  # "./usr/bin/x" -> "/usr/bin/x"
    return files


def build_packages(build, out_dir):
    """The .deb of each package, by name, built with a fixed SOURCE_DATE_EPOCH."""
    env = dict(os.environ, SOURCE_DATE_EPOCH="1796947200")
    run(["cpack", "-G", "DEB", "-B", out_dir, "--config",
         os.path.join(build, "CPackConfig.cmake")], timeout=300, env=env)
    debs = {}
    for deb in glob.glob(os.path.join(out_dir, "*.deb")):
        debs[run(["dpkg-deb", "-f", deb, "Package"]).stdout.strip()] = deb
    assert sorted(debs) == sorted(PACKAGES), sorted(debs)
    return debs


def check_library(triplet, version):
    assert "libfwvisa.so.1 " in run(["ldconfig", "-p"]).stdout, "ldconfig does not know the library"


def check_development(triplet, version):
    # A C program against the installed header, found through pkg-config.
    assert run(["pkg-config", "--modversion", "fwvisa"]).stdout.strip() == version
    work = tempfile.mkdtemp(prefix="fwvisa-c-")
    try:
        src = os.path.join(work, "hello.c")
        with open(src, "w") as f:
            f.write('#include <stdio.h>\n#include <visa.h>\n#include <fwvisa_ext.h>\n'
                    'int main(void) {\n'
                    '  ViSession rm; ViChar text[256]; ViVersion v = 0;\n'
                    '  fwvisa_resource r = {sizeof r};\n'
                    '  if (viOpenDefaultRM(&rm) != VI_SUCCESS) return 1;\n'
                    '  viGetAttribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &v);\n'
                    '  viStatusDesc(rm, VI_ERROR_RSRC_NFOUND, text);\n'
                    '  if (fwvisa_parse_resource("tcpip::h::instr", &r) != FWVISA_OK) return 1;\n'
                    '  printf("%08X %s %s\\n", (unsigned)v, text, r.canonical);\n'
                    '  return viClose(rm) == VI_SUCCESS ? 0 : 1;\n}\n')
        flags = run(["pkg-config", "--cflags", "--libs", "fwvisa"]).stdout.split()
        run(["cc", "-Wall", "-Werror", "-o", os.path.join(work, "hello"), src, *flags])
        out = run([os.path.join(work, "hello")]).stdout
        assert out.startswith("00100000 VI_ERROR_RSRC_NFOUND: "), out
        assert out.rstrip().endswith(" TCPIP0::h::inst0::INSTR"), out
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check_application(triplet, version):
    out = run(["/usr/bin/fwvisa-info"], timeout=60).stdout
    assert f"in use:          built-in (fwvisa {version})" in out, out
    out = run(["/usr/bin/fwvisa-info", "--version"]).stdout
    assert out == f"fwvisa-info fwvisa {version}\n", out
    if os.path.exists("/usr/bin/fwupgrade"):
        out = run(["/usr/bin/fwupgrade", "--version"]).stdout
        assert out == f"fwupgrade {version}\n", out

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", FW_EXIT_AFTER_FIRST_PAINT="1")
    out = run(["/usr/bin/firmware-update"], timeout=60, env=env).stdout
    assert out.startswith("first paint:"), out


def check_simulator(triplet, version):
    lib = f"/usr/lib/{triplet}/libfwvisa.so.1"
    p = run(["/usr/bin/python3", os.path.join(HERE, "pyvisa_fwvisa.py"), "/usr/bin/fwsim", lib],
            timeout=180, check=False)
    print(p.stdout + p.stderr)
    assert p.returncode in (0, SKIP), "pyvisa on the installed library failed"


CHECKS = {LIB: check_library, DEV: check_development, APP: check_application,
          SIM: check_simulator}


def check_built(debs, again, triplet, optional):
    """Both builds alike; each package's files, relations and lint."""
    for name, deb in debs.items():
        assert filecmp.cmp(deb, again[name], shallow=False), \
            f"{os.path.basename(deb)} differs between two builds of one tree"
    print("ok   two builds with one SOURCE_DATE_EPOCH: identical packages")
    want = expected_files(triplet, optional)
    for name, deb in debs.items():
        files = package_files(deb)
        assert files == want[name], (f"{name}: unexpected: {sorted(files - want[name])}; "
                                     f"missing: {sorted(want[name] - files)}")
    version = run(["dpkg-deb", "-f", debs[LIB], "Version"]).stdout.strip()
    field = lambda name, f: run(["dpkg-deb", "-f", debs[name], f]).stdout.strip()
    assert "libtirpc3" in field(LIB, "Depends"), field(LIB, "Depends")
    assert field(DEV, "Depends") == f"{LIB} (= {version})", field(DEV, "Depends")
    assert "libqt6widgets6" in field(APP, "Depends") and "gpgv" in field(APP, "Depends")
    assert "libsystemd0" in field(APP, "Depends"), field(APP, "Depends")
    assert "libqt6" not in field(SIM, "Depends"), field(SIM, "Depends")
    print(f"ok   file lists and relations of {', '.join(debs)} ({version})")

    lint = run(["lintian", "--no-tag-display-limit", *debs.values()], timeout=600, check=False)
    print(lint.stdout + lint.stderr)
    errors = [line for line in lint.stdout.splitlines() if line.startswith("E:")]
    assert not errors and lint.returncode in (0, 1), f"lintian errors: {errors}"
    print("ok   lintian: no errors")
    return version, want


def main():
    build, triplet, optional = sys.argv[1], sys.argv[2], sys.argv[3:]
    if os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return SKIP
    if any(installed(p) for p in PACKAGES):
        print(f"skipped: one of {', '.join(PACKAGES)} is installed already; it is not this test's")
        return SKIP
    out_dirs = [tempfile.mkdtemp(prefix="fw-deb-") for _ in range(2)]
    want = {}
    try:
        debs = build_packages(build, out_dirs[0])
        again = build_packages(build, out_dirs[1])
        version, want = check_built(debs, again, triplet, optional)
        for name in PACKAGES:
            run(["dpkg", "-i", debs[name]])
            CHECKS[name](triplet, version)
            print(f"ok   {name} installed and works")
        for name in reversed(PACKAGES):
            run(["dpkg", "--purge", name])
            left = sorted(f for f in want[name] if os.path.lexists(f))
            assert not left, f"{name} left behind after purge: {left}"
            assert not installed(name)
        print("ok   purged one by one, nothing left behind")
    finally:
        for name in reversed(PACKAGES):
            if installed(name):
                run(["dpkg", "--purge", name], check=False)
        for out_dir in out_dirs:
            shutil.rmtree(out_dir, ignore_errors=True)
    left = [d for d in ("/usr/include/fwvisa", "/usr/share/firmware-update",
                        *(f"/usr/share/doc/{p}" for p in PACKAGES)) if os.path.exists(d)]
    assert not left, f"left behind after purge: {left}"
    assert "libfwvisa" not in run(["ldconfig", "-p"]).stdout, "ldconfig still lists the library"
    return 0


if __name__ == "__main__":
    sys.exit(main())
