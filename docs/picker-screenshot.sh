#!/bin/sh
# Takes docs/picker.png: the release directory picker opened six folders deep,
# in a real X11 window on a virtual X server, framed by openbox when it is
# installed. The machine is a described workstation (system disk, USB stick,
# CD drive, RAM disk, two network mounts); its folders are real ones made
# here in a temporary folder.
#
#   docs/picker-screenshot.sh [path/to/picker_demo] [output.png]
#
# Needs xvfb (xvfb-run); the picture is taken by the program itself.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/tests/picker/picker_demo}
output=${2:-$here/picker.png}

if [ "${IN_XVFB:-}" != 1 ]; then
    IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program" "$output"
fi

root=$(mktemp -d)
wm_pid=
cleanup() {
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT

release=srv/firmware/K7140/releases/2026/v1.4.2
for folder in "$release/host" srv/firmware/K7140/releases/2026/v1.4.1 \
    srv/firmware/K7140/releases/2026/v1.3.0 srv/firmware/K7140/releases/2025 \
    srv/firmware/K7140/ARCHIVE srv/firmware/K7141B srv/backup home/operator tmp \
    media/USB mnt/nas mnt/lab run; do
    mkdir -p "$root/$folder"
done
cat >"$root/mountinfo" <<'TABLE'
1 0 8:1 / / rw - ext4 /dev/sda1 rw
2 1 0:22 / /proc rw - proc proc rw
3 1 8:17 / /media/USB rw - vfat /dev/sdb1 rw
4 1 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro
5 1 0:30 / /mnt/nas rw - nfs4 nas01:/export/releases rw
6 1 0:31 / /mnt/lab rw - cifs //LABSRV/Firmware rw
7 1 0:40 / /run rw - tmpfs tmpfs rw
TABLE

if command -v openbox >/dev/null 2>&1; then
    openbox >/dev/null 2>&1 &
    wm_pid=$!
    sleep 1
fi
xsetroot -solid '#3a6ea5' 2>/dev/null || true

"$program" --machine "$root/mountinfo" "$root" --screenshot "$output" "/$release"
