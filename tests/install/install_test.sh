#!/bin/sh
# Installs the build into a temporary prefix, builds a small C host against it with pkg-config
# and runs it and the installed command as a new user would: the settings, register and Trust
# Center directory go to the per-user module folder, nothing beside the installed library.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
p=$tmp/prefix
pcfile=$(find "$p" -name qendix.pc)
[ -n "$pcfile" ] || fail "no qendix.pc installed"
export PKG_CONFIG_PATH="${pcfile%/*}"
libdir=$(pkg-config --variable=libdir qendix)
[ "$libdir" = "${pcfile%/pkgconfig/*}" ] || fail "pkg-config libdir $libdir is not where the library is"

for f in "$libdir/libqendix.so.2" "$libdir/libqendix.so" "$libdir/libasas.so.1" \
         "$p/bin/qendix" "$p/bin/asasctl" "$p/include/qendix/qendix_c.h" \
         "$p/share/qendix/qendix.xml" "$p/share/man/man1/qendix.1.gz" \
         "$p/share/man/man1/asasctl.1.gz" "$p/lib/systemd/user/qendix-auto.service" \
         "$p/lib/systemd/user/qendix-auto.timer"; do
  [ -e "$f" ] || fail "missing $f"
done
readelf -d "$libdir/libqendix.so.2" | grep -q 'SONAME.*\[libqendix.so.2\]' || fail "soname"
readelf -d "$libdir/libasas.so.1" | grep -q 'SONAME.*\[libasas.so.1\]' || fail "asas soname"
grep -qx "ExecStart=$p/bin/qendix auto" "$p/lib/systemd/user/qendix-auto.service" ||
  fail "the service does not run the installed command"

# shellcheck disable=SC2046
cc -std=c11 -pedantic-errors -Wall -Werror -o "$tmp/host" "$src/tests/install/host.c" \
  $(pkg-config --cflags --libs qendix)

mkdir -m 0700 "$tmp/home"
before=$(ls -A "$libdir")
run() {
  env -i HOME="$tmp/home" PATH=/usr/bin:/bin QENDIX_LOCK_FILE="$tmp/job.lock" \
    LD_LIBRARY_PATH="$libdir" "$@"
}
out=$(run "$tmp/host" /praxis/out) || fail "the C host failed"
[ "$out" = "TC test" ] || fail "the C host saw trustCenter '$out', not the shipped default"
module=$tmp/home/.config/qendix
[ "$(stat -c %a "$module")" = 700 ] || fail "the per-user module folder is not private"
grep -qx 'inputDir=/praxis/out' "$module/qendix.ini" || fail "settings not in $module"
cmp -s "$module/qendix.xml" "$p/share/qendix/qendix.xml" || fail "no shipped directory in $module"
[ "$(ls -A "$libdir")" = "$before" ] || fail "files appeared beside the installed library"

# The installed command: finds its library by itself, its version, the per-user folder
# (XDG_CONFIG_HOME).
run() { env -i HOME="$tmp/home" PATH=/usr/bin:/bin QENDIX_LOCK_FILE="$tmp/job.lock" "$@"; }
[ "$(run "$p/bin/qendix" --version)" = "qendix-Praxis V2.1.14 (build 200506240)" ] || fail "--version"
out=$(run env XDG_CONFIG_HOME="$tmp/xdg" "$p/bin/qendix" centers 2>"$tmp/err") || fail "centers"
[ "$out" = "TC test" ] || fail "centers printed '$out'"
grep -q "$tmp/xdg/qendix held no Trust Center directory" "$tmp/err" || fail "no notice: $(cat "$tmp/err")"
[ -f "$tmp/xdg/qendix/qendix.ini" ] || fail "no settings in XDG_CONFIG_HOME"
echo "install test: passed ($p)"
