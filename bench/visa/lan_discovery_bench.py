#!/usr/bin/python3
"""LAN discovery on one link of 32 simulators, each in a namespace of its own.

Run as: lan_discovery_bench.py BUILD_DIR [SEARCHES]  (root only; says so and
exits 0 otherwise). Prints, for the default 1 s window: how many of the 32
each `fwvisa-info --discover` found and its wall time (min/median/max), by
broadcast alone and with mDNS through the client's avahi-daemon as well, when
the last answer came to the bed's own broadcast client, and how long opening
the window's instrument list takes with "discover = lan" configured.
Targets: all 32 found, a search answered within 1.2 s, the list opened
within the window plus 1.5 s.
"""

import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tests", "visa", "lan"))
import netbed  # noqa: E402

SIMS = 32


def summary(values, unit="s", scale=1.0):
    v = [x * scale for x in values]
    return "min %.3f / median %.3f / max %.3f %s" % (min(v), statistics.median(v), max(v), unit)


def main():
    build = sys.argv[1]
    searches = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    fwsim = os.path.join(build, "sim", "fwsim")
    info = os.path.join(build, "visa", "info", "fwvisa-info")
    window_list = os.path.join(build, "tests", "ui", "lan_window_list")
    if os.geteuid() != 0:
        print("lan_discovery_bench: needs root for its namespaces; not run")
        return 0
    with netbed.Bed(fwsim) as bed:
        start = time.monotonic()
        br = bed.bridge("br")
        client = bed.namespace("c")
        bed.link(client, br, "198.18.0.1/24")
        sims = []
        for k in range(SIMS):
            sims.append(bed.namespace("s%d" % k))
            bed.link(sims[-1], br, "198.18.0.%d/24" % (k + 2))
        # Each namespace has its avahi-daemon: the simulators announce
        # themselves, and the mDNS search below has something to find. The
        # broadcast searches do not see them (no bus for their client).
        buses = bed.start_avahi(client, *sims)
        for k, ns in enumerate(sims):
            bed.start_sim(ns, "198.18.0.%d" % (k + 2), "--mdns",
                          env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=buses[k + 1]))
        print("%d simulators, each in its namespace with its avahi-daemon, on one bridge: "
              "set up in %.1f s" % (SIMS, time.monotonic() - start))

        counts, walls = [], []
        for _ in range(searches):
            t = time.monotonic()
            r = bed.run(client, [info, "--discover"])
            walls.append(time.monotonic() - t)
            counts.append(sum(1 for line in r.stdout.splitlines() if "::inst0::INSTR" in line))
        print("fwvisa-info --discover, window 1000 ms, %d searches: found %s of %d"
              % (searches, sorted(set(counts)), SIMS))
        print("  wall time per search: %s" % summary(walls))

        mdns_env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=buses[0])
        counts, walls = [], []
        for _ in range(searches):
            t = time.monotonic()
            r = bed.run(client, [info, "--discover"], env=mdns_env)
            walls.append(time.monotonic() - t)
            counts.append(sum(1 for line in r.stdout.splitlines() if "hislip0::INSTR" in line))
        print("the same with mDNS as well: HiSLIP services found %s of %d; %s per search"
              % (sorted(set(counts)), SIMS, summary(walls)))

        last = []
        for _ in range(searches):
            times = []
            found = bed.probe(client, 1.0, times)
            last.append(max(times) if len(found) == SIMS else float("nan"))
        print("bed's broadcast client: last of %d answers after %s"
              % (SIMS, summary(last, "ms")))

        if os.path.exists(window_list):
            config = tempfile.mkdtemp(dir=bed.tmp)
            os.makedirs(config + "/firmware-update")
            env = dict(os.environ, XDG_CONFIG_HOME=config)
            opened = {}
            for mode in ("off", "lan"):
                with open(config + "/firmware-update/visa.conf", "w") as f:
                    f.write("discover = %s\nserial = off\nTCPIP0::198.18.5.9::inst0::INSTR\n"
                            % mode)
                opened[mode], listed = [], set()
                for _ in range(max(3, searches // 2)):
                    r = bed.run(client, [window_list], env=env)
                    lines = r.stdout.splitlines()
                    opened[mode].append(float(lines[-1].split()[2]) / 1000)
                    listed.add(len(lines) - 1)
                print("window list opened, discover = %s (a fresh process each): %s, %s entries"
                      % (mode, summary(opened[mode]), sorted(listed)))
            print("  added by discovery: at most %.3f s (target 1.5 s)"
                  % (max(opened["lan"]) - min(opened["off"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
