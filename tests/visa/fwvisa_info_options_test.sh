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
exit "$failed"
