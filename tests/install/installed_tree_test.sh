#!/usr/bin/env bash
# Installs the build tree into a temporary DESTDIR and checks what an operator
# would package: the layout, SONAMEs, no RUNPATH into the build tree, the
# installed programs finding the installed libraries, and the installed igd1d
# serving the installed introspection files on a private bus.
#   installed_tree_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")

source "$(dirname "$0")/common.sh"

dest=$work/dest
install_tree "$build" "$dest"
libdir=$(dirname "$(find "$dest/usr" -name libigd1.so.1 -print -quit)")
[ -d "$libdir" ] || { echo "FAIL: no libigd1.so.1 installed" >&2; exit 1; }

# Layout.
for file in usr/sbin/igd1d usr/bin/igd1-mib usr/bin/igd1-notify \
            usr/share/dbus-1/system.d/com.wqx.igd1.conf \
            usr/share/dbus-1/system-services/com.wqx.igd1.service \
            usr/lib/systemd/system/igd1.service; do
  [ -f "$dest/$file" ] || [ -f "$dest/${file#usr/}" ] || fail "$file not installed"
done
for xml in "$source"/xml/*.xml; do
  cmp -s "$xml" "$dest/etc/dbusxml/$(basename "$xml")" || fail "etc/dbusxml/$(basename "$xml") missing or different"
done
[ "$(stat -c %a "$dest/var/lib/igd1")" = 700 ] || fail "store folder mode $(stat -c %a "$dest/var/lib/igd1")"
grep -qx "Exec=/usr/sbin/igd1d --system" "$dest/usr/share/dbus-1/system-services/com.wqx.igd1.service" ||
  fail "activation file does not start /usr/sbin/igd1d --system"
[ -e "$dest/usr/bin/igd1-standin" ] && fail "the emulator's stand-in is installed"

# Libraries: versioned SONAMEs; no binary points into the build tree.
for lib in libigd1 libigd1mib libigd1host; do
  soname=$(readelf -d "$libdir/$lib.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib.so.1" ] || fail "$lib SONAME is '$soname'"
done
while IFS= read -r elf; do
  readelf -d "$elf" | grep -E 'R(UN)?PATH' | grep -qF "$build" && fail "$elf has a RUNPATH into the build tree"
done < <(find "$dest" -type f \( -name '*.so.*' -o -perm -u+x \))
for program in usr/sbin/igd1d usr/bin/igd1-mib; do
  deps=$(ldd "$dest/$program")
  grep -q "not found" <<<"$deps" && fail "$program: $(grep 'not found' <<<"$deps")"
  grep -qF "$build" <<<"$deps" && fail "$program loads from the build tree"
  loaded=$(sed -n 's/.*libigd1mib.so.1 => \(.*\) (0x.*/\1/p' <<<"$deps")
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/libigd1mib.so.1")" ] ||
    fail "$program does not load the installed libigd1mib: $deps"
done

# The installed daemon runs on its own.
"$dest/usr/sbin/igd1d" --help | grep -q -- "--system" || fail "installed igd1d --help"
[ "$("$dest/usr/sbin/igd1d" --version)" = "igd1d $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  fail "installed igd1d --version"

# ... and serves the installed files on a private bus, with the installed
# tree as its root (store, log and sockets below it).
mkdir -p "$dest/tmp" "$dest/var/run"
start_bus --session
env -u IGD1_ROOT "$dest/usr/sbin/igd1d" --address "$address" --root "$dest" 2>"$work/igd1d.err" &
daemon_pid=$!
pids+=("$daemon_pid")
reply=""
for _ in $(seq 200); do
  reply=$(gdbus call --address "$address" --dest com.wqx.igd1 --object-path /com/wqx/igd1/Config/DHCPServer \
          --method org.freedesktop.DBus.Properties.Get com.wqx.igd1.DHCPServer MinAddress 2>/dev/null) && break
  sleep 0.05
done
[ "$reply" = "(<'192.168.1.2'>,)" ] || fail "installed igd1d answered '$reply'"
grep -qF "serving with $libdir/libigd1.so.1" "$work/igd1d.err" || fail "not the installed module library: $(cat "$work/igd1d.err")"
[ -f "$dest/var/lib/igd1/mib.db" ] || fail "no store below the root"
kill -TERM "$daemon_pid"
status=0; wait "$daemon_pid" || status=$?
forget_pid "$daemon_pid"
[ "$status" = 0 ] || fail "igd1d exited with $status after SIGTERM"
grep -q "SIGTERM received, stopping" "$work/igd1d.err" || fail "no stop line on standard error"

[ "$failures" = 0 ] || { echo "igd1d said:" >&2; cat "$work/igd1d.err" >&2; exit 1; }
echo "installed tree OK ($libdir)"
