#!/usr/bin/env bash
# The man page names every option that --help lists, and formats without
# warnings where man is installed.
set -euo pipefail
fwupgrade="$1" page="$2"
missing=0
for command in list identify upgrade check history verify; do
  for option in $("$fwupgrade" "$command" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    grep -qF -- "${option//-/\\-}" "$page" || { echo "man page lacks $option ($command)"; missing=1; }
  done
done
if command -v man >/dev/null; then
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)"
  [ -z "$warnings" ] || { echo "$warnings"; missing=1; }
fi
exit "$missing"
