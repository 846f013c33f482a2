#!/bin/sh
# Takes docs/main-window.png: the main window in a real X11 window on a
# virtual X server, framed by a window manager when one is installed
# (openbox, else twm; without one the window has no title bar).
#
#   docs/screenshot.sh [path/to/firmware-update] [output.png]
#
# Needs xvfb (xvfb-run), x11-utils (xwininfo) and imagemagick (import).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build-ui/ui/firmware-update}
output=${2:-$here/main-window.png}

if [ "${IN_XVFB:-}" != 1 ]; then
    IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program" "$output"
fi

. "$here/desktop.sh"
start_desktop

"$program" &
app_pid=$!
title='K7140 H-Series Firmware Upgrade Utility'
id=
for _ in $(seq 1 50); do
    id=$(xwininfo -root -tree 2>/dev/null | grep "\"$title\"" | head -n 1 | awk '{print $1}') || true
    [ -n "$id" ] && break
    sleep 0.2
done
sleep 1

if [ -n "$id" ]; then
    # The frame the window manager put around the window, if any.
    frame=$id
    if [ -n "$wm_pid" ]; then
        frame=$(xwininfo -id "$id" -children 2>/dev/null | awk '/Parent window id/ {print $4}')
        case "$frame" in ''|*root*) frame=$id ;; esac
        [ "$(xwininfo -id "$frame" 2>/dev/null | grep -c 'Root window')" -gt 0 ] && frame=$id
    fi
    import -window "$frame" "$output"
    echo "wrote $output"
else
    echo "main window did not appear" >&2
fi

kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
stop_desktop
[ -n "$id" ]
