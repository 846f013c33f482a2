#!/usr/bin/env bash
# A program's man page names every option its --help lists, and formats
# without warnings where man is installed.
set -uo pipefail
program="$1" page="$2"
missing=0
for option in $("$program" --help | grep -oE -- '^ +(-[A-Za-z0-9],)?--[A-Za-z0-9-]+' |
                grep -oE -- '--[A-Za-z0-9-]+$'); do
  grep -qF -- "${option//-/\\-}" "$page" || { echo "$page lacks $option"; missing=1; }
done
if command -v man >/dev/null; then
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)"
  [ -z "$warnings" ] || { echo "$warnings"; missing=1; }
fi
exit "$missing"
