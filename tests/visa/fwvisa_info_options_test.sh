#!/usr/bin/env bash
# fwvisa-info's command line: --option=value as --option value, flag values,
# help from the option definitions, usage errors with exit status 2.
set -uo pipefail
info="$1"
export XDG_CONFIG_HOME="$(mktemp -d)"
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
failed=0
expect() {  # expect WHAT STATUS PATTERN ARGS...
  local what="$1" status="$2" pattern="$3"
  shift 3
  local out rc
  out="$("$info" "$@" 2>&1)"
  rc=$?
  if [ "$rc" -ne "$status" ] || ! grep -qF -- "$pattern" <<<"$out"; then
    echo "FAIL $what (exit $rc)"; echo "$out"; failed=1
  else
    echo "ok   $what"
  fi
}
expect "--timeout=MS" 0 "fwvisa-info fwvisa" --timeout=5 --version
expect "--timeout MS" 0 "fwvisa-info fwvisa" --timeout 5 --version
expect "a flag's value" 0 "fwvisa-info fwvisa" --help=no --version=yes
expect "help lists every option" 0 "--timeout MS" --help
expect "help lists --version" 0 "--version" -h
expect "a bad value" 2 "--timeout needs MS" --timeout=0
expect "a missing value" 2 "option '--timeout' needs MS" --timeout
expect "an unknown option" 2 "unknown option '--bogus'" --bogus
expect "a flag value that is no yes/no" 2 "option '--version' takes yes/no" --version=maybe
expect "--save alone" 2 "--save applies to --discover" --save
expect "--json is the report's" 2 "--json applies to the report" --json --discover
expect "a window out of range" 2 "--discover-window needs MS from 100 to 10000" --discover --discover-window=50

# --discover sends a broadcast: only where no interface can carry it, the
# suite's own network namespace or one made here.
isolated=()
if [ "${FW_SUITE_NETNS:-}" != 1 ]; then
  for how in -n -rn; do
    if unshare "$how" true 2>/dev/null; then isolated=(unshare "$how" --); break; fi
  done
fi
if [ "${FW_SUITE_NETNS:-}" = 1 ] || ((${#isolated[@]})); then
  out="$("${isolated[@]}" "$info" --discover --save 2>&1)"
  rc=$?
  if [ "$rc" -ne 0 ] || ! grep -qF "no up, broadcast-capable IPv4 interface" <<<"$out" ||
     [ -e "$XDG_CONFIG_HOME/firmware-update/visa.conf" ]; then
    echo "FAIL --discover with nothing to search (exit $rc)"; echo "$out"; failed=1
  else
    echo "ok   --discover with nothing to search"
  fi
  # The daemon is not started here; where it runs, there is nothing to check.
  if ! pidof avahi-daemon >/dev/null; then
    if ! grep -qF "fwvisa-info: mDNS skipped: avahi-daemon is not running" <<<"$out"; then
      echo "FAIL --discover says that avahi-daemon is not running"; echo "$out"; failed=1
    else
      echo "ok   --discover says that avahi-daemon is not running"
    fi
  fi
else
  echo "skip --discover: no private network namespace to run it in"
fi
exit "$failed"
