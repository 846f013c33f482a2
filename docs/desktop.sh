# Sourced by the screenshot scripts once they run on the virtual X server:
# a window manager to frame the windows (openbox, else twm; without one a
# window has no title bar) and a desktop-like background instead of black.

wm_pid=
start_desktop() {
    for wm in openbox twm; do
        if command -v "$wm" >/dev/null 2>&1; then
            "$wm" >/dev/null 2>&1 &
            wm_pid=$!
            sleep 1
            break
        fi
    done
    xsetroot -solid '#3a6ea5' 2>/dev/null || true
}

stop_desktop() {
    if [ -n "$wm_pid" ]; then
        kill "$wm_pid" 2>/dev/null || true
        wait "$wm_pid" 2>/dev/null || true
    fi
}
