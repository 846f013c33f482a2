#!/usr/bin/python3
"""The function list in visa/api_functions.h against what the builds made.

Usage: exports_check.py <source dir> <libfwvisa.so> <libfwvisa.a>
- libfwvisa.so defines exactly the listed functions and nothing else
  (a leaked symbol, say an RPC stub, could clash with a client's own);
- the version script and builtin_names.h name the same functions;
- in libfwvisa.a, which programs link, visa_api.cpp defines none of them
  under its standard name and each under its fwvisa_builtin_ name, so the
  loader's forwarders are the only standard names in a program.
"""
import re
import subprocess
import sys


def defined(args, member=None):
    """(type, name) of the symbols defined; with `member`, in that archive
    member only."""
    out = subprocess.run(["nm", "--defined-only", *args], check=True, capture_output=True,
                         text=True).stdout
    names = set()
    current = None
    for line in out.splitlines():
        if line.endswith(":"):
            current = line[:-1]
            continue
        if member is not None and current != member:
            continue
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtWDdBbRrVvAi":
            names.add((parts[1], parts[2].split("@")[0]))
    return names


def main():
    src, shared, builtin = sys.argv[1:4]
    with open(f"{src}/visa/api_functions.h") as f:
        # The extension's functions, and the one a program's loader answers.
        listed = set(re.findall(r"X\(((?:vi|fwvisa_)\w+),", f.read())) | {"fwvisa_library_in_use"}
    with open(f"{src}/visa/libfwvisa.map") as f:
        mapped = set(re.findall(r"^\s+((?:vi|fwvisa_)\w+);", f.read(), re.M))
    with open(f"{src}/visa/builtin_names.h") as f:
        renamed = set(re.findall(r"^#define ((?:vi|fwvisa_)\w+) fwvisa_builtin_\1$", f.read(),
                                 re.M))
    problems = []
    if len(listed) < 20:
        problems.append(f"only {len(listed)} functions found in api_functions.h")
    if mapped != listed:
        problems.append(f"version script differs: {sorted(mapped ^ listed)}")
    if renamed != listed:
        problems.append(f"builtin_names.h differs: {sorted(renamed ^ listed)}")

    exported = {name for kind, name in defined(["-D", shared]) if kind != "A"}
    if exported != listed:
        problems.append(f"libfwvisa.so exports {sorted(exported - listed)} beyond the list "
                        f"and lacks {sorted(listed - exported)}")

    in_builtin = {name for kind, name in defined([builtin], "visa_api.cpp.o") if kind == "T"}
    if not in_builtin:
        problems.append(f"no visa_api.cpp.o in {builtin}")
    standard = sorted(n for n in in_builtin if n in listed)
    if standard:
        problems.append(f"the built-in entry points keep standard names: {standard}")
    missing = sorted(n for n in listed if f"fwvisa_builtin_{n}" not in in_builtin)
    if missing:
        problems.append(f"the built-in entry points lack fwvisa_builtin_ names for {missing}")

    for p in problems:
        print(p)
    print(f"{len(listed)} functions checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
