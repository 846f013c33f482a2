#!/usr/bin/env bash
# `fwupgrade history -n 5` on a 300 MiB audit log: wall time and peak resident
# memory, from /usr/bin/time -v. The log is made in a scratch folder and
# removed again. Usage: history_bench.sh FWUPGRADE [MIB]
set -euo pipefail
fwupgrade="$1"
mib="${2:-300}"
state="$(mktemp -d)"
trap 'rm -rf "$state"' EXIT
mkdir -p "$state/firmware-update"
/usr/bin/python3 - "$state/firmware-update/audit.jsonl" "$mib" <<'PY'
import json, sys
path, mib = sys.argv[1], int(sys.argv[2])
images = [{"id": i, "file": "/rel/host/%s.bin" % i.lower(), "size": 4 << 20, "sha256": "ab" * 32,
           "result": "ok", "duration_ms": 5300} for i in ("HPAP", "HREC", "HBRM", "HUBL")]
with open(path, "w") as f:
    n, size = 0, 0
    while size < mib << 20:
        n += 1
        common = {"schema": 1, "attempt": "2026-12-07T10:15:00.000Z-%d-1" % n,
                  "time": "2026-12-07T10:15:00.000Z", "tool": "fwupgrade", "user": "op",
                  "host": "line-3", "resource": "TCPIP0::198.18.0.%d::inst0::INSTR" % (n % 250 + 1),
                  "release": "/srv/releases/3.2/"}
        started = dict(common, record="started", images=images)
        final = dict(common, record="final", model="K7141HA", serial="S%06d" % n,
                     firmware_before="3.1", result="ok", images=images, duration_ms=21000)
        for record in (started, final):
            line = json.dumps(record, separators=(",", ":")) + "\n"
            f.write(line)
            size += len(line)
PY
size=$(stat -c %s "$state/firmware-update/audit.jsonl")
echo "audit log: $((size >> 20)) MiB"
XDG_STATE_HOME="$state" /usr/bin/time -v "$fwupgrade" history -n 5 >"$state/out" 2>"$state/time"
tail -n 5 "$state/out" | cut -c1-100
grep -E "Elapsed \(wall clock\)|Maximum resident set size" "$state/time"
XDG_STATE_HOME="$state" /usr/bin/time -v "$fwupgrade" history -n 5 --serial S000001 \
  >"$state/out" 2>"$state/time"
echo "with a filter that only the oldest record matches (the whole log is read):"
tail -n 1 "$state/out" | cut -c1-100
grep -E "Elapsed \(wall clock\)|Maximum resident set size" "$state/time"
