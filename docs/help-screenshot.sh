#!/bin/sh
# Takes docs/help-window.png: the help window that F1 opens over the main
# window, in a real X11 window on a virtual X server, framed by a window
# manager when one is installed (openbox, else twm).
#
#   docs/help-screenshot.sh [build-dir] [output.png]
#
# Needs xvfb (xvfb-run).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
output=${2:-$here/help-window.png}

if [ "${IN_XVFB:-}" != 1 ]; then
    ninja -C "$build" help_screenshot
    IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$output"
fi

. "$here/desktop.sh"
start_desktop

status=0
QT_QPA_PLATFORM=xcb "$build/tests/ui/help_screenshot" "$output" >/dev/null || status=$?
stop_desktop
exit "$status"
