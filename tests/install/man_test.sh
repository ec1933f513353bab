#!/bin/sh
# The manual pages render without a warning and name every option, command and argument that the
# programs' --help texts name.
# Usage: man_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
status=0
fail() { echo "man test: $*" >&2; status=1; }

for page in qendix asasctl; do
  warnings=$(MANWIDTH=80 man --warnings -l "$src/man/$page.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
done

# Every word of a --help text that a user types: long options, command names, arguments.
words() {
  grep -o -- '--[a-z][a-z-]*' "$1"
  sed -n '/^Commands:/,$p; /^Subcommands:/,/^$/p' "$1" | sed 's/^Subcommands://' |
    awk '{print $1}' | grep -E '^[a-z]+$' || true
  sed -n '/^Commands:/,/^--set/p' "$1" | tr -c 'a-zA-Z-' '\n' | grep -E '^[a-zA-Z-]{3,}$' |
    grep -v '^Commands$' || true
  sed -n '/^Positionals:/,/^$/p' "$1" | awk 'NR > 1 {print $1}' | grep -E '^[A-Z]+$' || true
}

check() {  # PAGE HELPFILE
  MANWIDTH=200 man -l "$src/man/$1.1" 2>/dev/null >"$tmp/$1.txt"
  for w in $(words "$2" | sort -u); do
    grep -qF -- "$w" "$tmp/$1.txt" || fail "$1.1 does not name '$w' of its --help"
  done
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bin/qendix" --help >"$tmp/qendix.help"
check qendix "$tmp/qendix.help"
: >"$tmp/asasctl.help"
for sub in "" init "login add" "login list" "cert import" "cert list" start stop status encrypt \
           decrypt; do
  # shellcheck disable=SC2086
  "$build/bin/asasctl" $sub --help >>"$tmp/asasctl.help"
  echo >>"$tmp/asasctl.help"
done
check asasctl "$tmp/asasctl.help"
[ $status -eq 0 ] && echo "man test: passed"
exit $status
