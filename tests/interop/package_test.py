#!/usr/bin/python3
"""The Debian package, end to end: build, inspect, lint, install, use, remove.

Usage: package_test.py <build dir> <multiarch triplet> [optional file ...]
Builds the package with CPack from the (already built) tree, checks that it
holds exactly the expected files, that lintian finds no errors, installs it,
runs the installed window offscreen, fwvisa-info, a C program built against
the installed header and library, and pyvisa on the installed library against
the installed fwsim, then purges it and checks that nothing is left behind.
Optional files (parts that exist only in some builds) are named on the
command line. Exit 77 without root, or when a firmware-update package is
already installed (it is not ours to remove).
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
PACKAGE = "firmware-update"
HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, timeout=300, env=None, check=True):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    if check and p.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} exited {p.returncode}:\n{p.stdout}{p.stderr}")
    return p


def installed():
    p = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False)
    return "install ok installed" in p.stdout or "config-files" in p.stdout


def expected_files(triplet, optional):
    lib = f"/usr/lib/{triplet}"
    files = {
        "/usr/bin/firmware-update", "/usr/bin/fwsim", "/usr/bin/fwvisa-info",
        f"{lib}/libfwvisa.so.1.0.0", f"{lib}/libfwvisa.so.1", f"{lib}/libfwvisa.so",
        f"{lib}/pkgconfig/fwvisa.pc", "/usr/include/fwvisa/visa.h",
        "/usr/share/applications/firmware-update.desktop",
        "/usr/share/icons/hicolor/16x16/apps/firmware-update.png",
        "/usr/share/icons/hicolor/32x32/apps/firmware-update.png",
        "/usr/share/man/man1/firmware-update.1.gz", "/usr/share/man/man1/fwsim.1.gz",
        "/usr/share/man/man1/fwvisa-info.1.gz",
        f"/usr/share/doc/{PACKAGE}/copyright", f"/usr/share/doc/{PACKAGE}/changelog.gz",
        # What F1 shows; the window looks for it beside its own prefix.
        "/usr/share/firmware-update/help/index.html",
        # Without it an ordinary user cannot open a USB sensor.
        "/usr/lib/udev/rules.d/70-fwvisa-usbtmc.rules",
    }
    return files | set(optional)


def package_files(deb):
    out = run(["dpkg-deb", "-c", deb]).stdout
    files = set()
    for line in out.splitlines():
        mode, path = line.split()[0], line.split()[5]
        if not mode.startswith("d"):
            files.add(path[1:])  # "./usr/bin/x" -> "/usr/bin/x"
    return files


def check_installed(triplet, build):
    lib = f"/usr/lib/{triplet}/libfwvisa.so.1"
    assert "libfwvisa.so.1 " in run(["ldconfig", "-p"]).stdout, "ldconfig does not know the library"

    out = run(["/usr/bin/fwvisa-info"], timeout=60).stdout
    assert "in use:          built-in (fwvisa 1.0.0)" in out, out

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", FW_EXIT_AFTER_FIRST_PAINT="1")
    out = run(["/usr/bin/firmware-update"], timeout=60, env=env).stdout
    assert out.startswith("first paint:"), out

    # A C program against the installed header, found through pkg-config.
    work = tempfile.mkdtemp(prefix="fwvisa-c-")
    try:
        src = os.path.join(work, "hello.c")
        with open(src, "w") as f:
            f.write('#include <stdio.h>\n#include <visa.h>\n'
                    'int main(void) {\n'
                    '  ViSession rm; ViChar text[256]; ViVersion v = 0;\n'
                    '  if (viOpenDefaultRM(&rm) != VI_SUCCESS) return 1;\n'
                    '  viGetAttribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &v);\n'
                    '  viStatusDesc(rm, VI_ERROR_RSRC_NFOUND, text);\n'
                    '  printf("%08X %s\\n", (unsigned)v, text);\n'
                    '  return viClose(rm) == VI_SUCCESS ? 0 : 1;\n}\n')
        flags = run(["pkg-config", "--cflags", "--libs", "fwvisa"]).stdout.split()
        run(["cc", "-Wall", "-Werror", "-o", os.path.join(work, "hello"), src, *flags])
        out = run([os.path.join(work, "hello")]).stdout
        assert out.startswith("00100000 VI_ERROR_RSRC_NFOUND: "), out
    finally:
        shutil.rmtree(work, ignore_errors=True)

    p = run(["/usr/bin/python3", os.path.join(HERE, "pyvisa_fwvisa.py"), "/usr/bin/fwsim", lib],
            timeout=180, check=False)
    print(p.stdout + p.stderr)
    assert p.returncode in (0, SKIP), "pyvisa on the installed library failed"


def main():
    build, triplet, optional = sys.argv[1], sys.argv[2], sys.argv[3:]
    if os.geteuid() != 0:
        print("skipped: installing a package needs root")
        return SKIP
    if installed():
        print(f"skipped: a {PACKAGE} package is already installed; it is not this test's")
        return SKIP
    out_dir = tempfile.mkdtemp(prefix="fw-deb-")
    files = set()
    try:
        run(["cpack", "-G", "DEB", "-B", out_dir, "--config",
             os.path.join(build, "CPackConfig.cmake")], timeout=300)
        debs = glob.glob(os.path.join(out_dir, "*.deb"))
        assert len(debs) == 1, debs
        deb = debs[0]

        files = package_files(deb)
        want = expected_files(triplet, optional)
        assert files == want, (f"unexpected: {sorted(files - want)}; "
                               f"missing: {sorted(want - files)}")
        depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
        assert "libtirpc3" in depends and "libqt6widgets6" in depends, depends
        print(f"ok   file list ({len(files)} files), Depends: {depends.strip()}")

        lint = run(["lintian", "--no-tag-display-limit", deb], timeout=300, check=False)
        print(lint.stdout + lint.stderr)
        errors = [line for line in lint.stdout.splitlines() if line.startswith("E:")]
        assert not errors and lint.returncode in (0, 1), f"lintian errors: {errors}"
        print("ok   lintian: no errors")

        run(["dpkg", "-i", deb])
        check_installed(triplet, build)
        print("ok   installed: window, fwvisa-info, C program, pyvisa")
    finally:
        if installed():
            run(["dpkg", "--purge", PACKAGE], check=False)
        shutil.rmtree(out_dir, ignore_errors=True)
    left = sorted(f for f in files if os.path.lexists(f))
    left += [d for d in ("/usr/include/fwvisa", f"/usr/share/doc/{PACKAGE}",
                                "/usr/share/firmware-update") if os.path.exists(d)]
    assert not left, f"left behind after purge: {left}"
    assert "libfwvisa" not in run(["ldconfig", "-p"]).stdout, "ldconfig still lists the library"
    assert not installed()
    print("ok   purged, nothing left behind")
    return 0


if __name__ == "__main__":
    sys.exit(main())
