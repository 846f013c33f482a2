#!/usr/bin/env bash
# fwupgrade history over a log written by hand: every layout the log has had
# is read, rows go in the order the attempts began, and the release, its
# verification and signer have columns of their own.
set -euo pipefail
fwupgrade="$1"
state="$(mktemp -d)"
trap 'rm -rf "$state"' EXIT
mkdir -p "$state/firmware-update"
cat >"$state/firmware-update/audit.jsonl" <<'LOG'
{"schema":1,"record":"final","attempt":"b","time":"2026-03-01T10:00:05.000Z","tool":"fwupgrade","user":"op","host":"h","resource":"TCPIP0::127.0.0.2::INSTR","release":"/rel/2/","model":"K7141HA","serial":"S2","firmware_before":"3.1","firmware_after":"3.2","restart_sent":true,"verification":"signed","fingerprint":"0123456789ABCDEF0123456789ABCDEF01234567","result":"ok","message":null,"images":[{"id":"HUBL","file":"f","size":3,"sha256":null,"result":"ok","duration_ms":1}],"duration_ms":9}
{"schema":1,"record":"started","attempt":"c","time":"2026-03-01T10:00:07.000Z","tool":"fwupgrade","user":"op","host":"h","resource":"TCPIP0::127.0.0.3::INSTR","release":"/rel/3/","identity":"M,K7142HA,S3,3.0","model":"K7142HA","serial":"S3","firmware_before":"3.0","verification":"checksummed","fingerprint":null,"images":[]}
{"schema":1,"time":"2026-03-01T10:00:01.000Z","tool":"window","user":"old","host":"h","resource":"TCPIP0::127.0.0.1::INSTR","release":null,"identity":null,"model":"K7141B","serial":"S1","firmware_before":"2.9","firmware_after":null,"result":"failed","message":"an image failed","images":[{"id":"HPAP","file":"f","size":null,"sha256":null,"result":"failed","duration_ms":4}],"duration_ms":5}
LOG
export XDG_STATE_HOME="$state"
failed=0
check() {  # what, expected, actual
  [ "$2" = "$3" ] || { printf '%s:\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; failed=1; }
}
table="$("$fwupgrade" history)"
check "heading" "TIME TOOL USER RESOURCE MODEL SERIAL FIRMWARE RELEASE VERIFIED SIGNER RESULT IMAGES" \
  "$(head -1 <<<"$table" | tr -s ' ')"
# The first layout's line (no record kind, no attempt) began first.
check "old line, first" "2026-03-01T10:00:01.000Z window old TCPIP0::127.0.0.1::INSTR K7141B S1 2.9 - - - failed HPAP:failed" \
  "$(sed -n 2p <<<"$table" | tr -s ' ')"
check "signed, by its key's short id" "2026-03-01T10:00:05.000Z fwupgrade op TCPIP0::127.0.0.2::INSTR K7141HA S2 3.1->3.2 /rel/2/ signed 89ABCDEF01234567 ok HUBL:ok" \
  "$(sed -n 3p <<<"$table" | tr -s ' ')"
check "incomplete, with its instrument" "2026-03-01T10:00:07.000Z fwupgrade op TCPIP0::127.0.0.3::INSTR K7142HA S3 3.0 /rel/3/ checksummed - incomplete -" \
  "$(sed -n 4p <<<"$table" | tr -s ' ')"
json="$("$fwupgrade" history --json | grep '"event":"record"' | head -1)"
case "$json" in
  *'"record":"final"'*'"resource":"TCPIP0::127.0.0.1::INSTR"'*'"result":"failed"'*) ;;
  *) echo "old line as JSON: $json"; failed=1 ;;
esac
exit "$failed"
