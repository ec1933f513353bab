#!/bin/sh
# Builds the Debian package as `make package` does, shows its control data and file list, checks
# both, and installs and purges it in a scratch dpkg root (no clean Debian 12 container is at
# hand; the machine's own /usr is never touched).
# Usage: package_test.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$tmp"/out/*.deb)
echo "== dpkg-deb -I $(basename "$deb")"
dpkg-deb -I "$deb" | tee "$tmp/info"
echo "== dpkg-deb -c $(basename "$deb")"
dpkg-deb -c "$deb" | tee "$tmp/list"

grep -q '^ Package: qendix$' "$tmp/info" || fail "package name"
grep -q '^ Version: 2.1.14$' "$tmp/info" || fail "version"
for dep in libxml2 libxslt1.1 libssl3 libcurl4; do
  grep -q "^ Depends:.*$dep" "$tmp/info" || fail "no dependency on $dep"
done
grep -qE ' (triggers|postinst) ' "$tmp/info" || fail "no ldconfig call on install"
for f in usr/bin/qendix usr/bin/asasctl usr/lib/libqendix.so.2 usr/lib/libasas.so.1 \
         usr/include/qendix/qendix_c.h usr/lib/pkgconfig/qendix.pc usr/share/qendix/qendix.xml \
         usr/share/man/man1/qendix.1.gz usr/share/man/man1/asasctl.1.gz \
         usr/lib/systemd/user/qendix-auto.service usr/lib/systemd/user/qendix-auto.timer; do
  grep -q " \./$f\( ->.*\)\?$" "$tmp/list" || fail "the package lacks /$f"
done
if grep -q '_CPack_Packages\|/usr/local' "$tmp/list"; then fail "staging paths in the file list"; fi

# Installed and purged in a scratch root: every file goes, the service runs /usr/bin/qendix and
# the pkg-config file names /usr.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpk() { dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
  --log=/dev/null "$@"; }
dpk -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i failed"; }
grep -qx 'ExecStart=/usr/bin/qendix auto' "$root/usr/lib/systemd/user/qendix-auto.service" ||
  fail "ExecStart"
grep -qx 'prefix=/usr' "$root/usr/lib/pkgconfig/qendix.pc" || fail "pkg-config prefix"
dpk --purge qendix >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg --purge failed"; }
left=$(cd "$root" && find . -path ./var -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left after purge: $left"
echo "package test: passed"
