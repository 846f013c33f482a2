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

. "$here/desktop.sh"
start_desktop

status=0
QT_QPA_PLATFORM=xcb "$build/tests/ui/upgrade_screenshot" "$output" >/dev/null || status=$?
stop_desktop
exit "$status"
