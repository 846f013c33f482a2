#!/bin/sh
# Takes docs/upgrade-complete.png: one whole upgrade through the window, the
# built-in VISA library and a simulated instrument, on a virtual X server,
# framed by a window manager when one is installed (openbox, else twm).
#
#   docs/upgrade-screenshot.sh [build-dir] [output.png]
#
# Needs xvfb (xvfb-run). As root the run goes in a private network namespace,
# so that the simulator's 127.0.0.2 meets no one else's.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
output=${2:-$here/upgrade-complete.png}

if [ "${IN_XVFB:-}" != 1 ]; then
    ninja -C "$build" upgrade_screenshot
    if [ "$(id -u)" -eq 0 ] && [ "${IN_NETNS:-}" != 1 ]; then
        exec unshare -n sh -c "ip link set lo up && IN_NETNS=1 '$0' '$build' '$output'"
    fi
    IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$output"
fi

wm_pid=
for wm in openbox twm; do
    if command -v "$wm" >/dev/null 2>&1; then
        "$wm" >/dev/null 2>&1 &
        wm_pid=$!
        sleep 1
        break
    fi
done
xsetroot -solid '#3a6ea5' 2>/dev/null || true

status=0
QT_QPA_PLATFORM=xcb "$build/tests/ui/upgrade_screenshot" "$output" >/dev/null || status=$?
if [ -n "$wm_pid" ]; then
    kill "$wm_pid" 2>/dev/null || true
    wait "$wm_pid" 2>/dev/null || true
fi
exit "$status"
