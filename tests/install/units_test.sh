#!/bin/sh
# The systemd user units as installed pass `systemd-analyze verify` (which also checks that the
# command and the manual page they name exist). Skipped (77) where systemd-analyze is missing.
# Usage: units_test.sh BUILD_DIR
set -eu
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "units test: skipped, systemd-analyze is not installed"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$1" --prefix "$tmp/p" >/dev/null
units=$tmp/p/lib/systemd/user
out=$(MANPATH="$tmp/p/share/man" systemd-analyze verify "$units/qendix-auto.service" \
  "$units/qendix-auto.timer" 2>&1) || { echo "$out" >&2; exit 1; }
[ -z "$out" ] || { echo "units test: $out" >&2; exit 1; }
echo "units test: passed"
