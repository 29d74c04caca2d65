#!/usr/bin/env bash
# Installs the build tree into a temporary DESTDIR and checks what an operator
# would package: the layout, the private library folder, SONAMEs, a RUNPATH
# to that folder only (never $ORIGIN, never the build tree), the manual
# pages, the unit's documentation and activation alias, the installed
# programs finding the installed libraries, and the installed igd1d serving
# the installed introspection files on a private bus.
#   installed_tree_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")

source "$(dirname "$0")/common.sh"

dest=$work/dest
install_tree "$build" "$dest"
[ -d "$libdir" ] || { echo "FAIL: no libigd1.so.1 installed" >&2; exit 1; }
private=${libdir#"$dest"}
[ "$(basename "$private")" = igd1 ] || fail "libraries installed in $private, not a private folder"
find "$dest$prefix/lib" -maxdepth 2 -name 'libigd1*' -not -path "$libdir/*" -print | grep -q . &&
  fail "libraries in the public library folder"

# Layout.
for file in sbin/igd1d bin/igd1-mib bin/igd1-notify \
            share/dbus-1/system.d/com.wqx.igd1.conf \
            share/dbus-1/system-services/com.wqx.igd1.service \
            lib/systemd/system/igd1.service; do
  [ -f "$dest$prefix/$file" ] || fail "$prefix/$file not installed"
done
for xml in "$source"/xml/*.xml; do
  cmp -s "$xml" "$dest/etc/dbusxml/$(basename "$xml")" || fail "etc/dbusxml/$(basename "$xml") missing or different"
done
[ "$(stat -c %a "$dest/var/lib/igd1")" = 700 ] || fail "store folder mode $(stat -c %a "$dest/var/lib/igd1")"
grep -qx "Exec=$prefix/sbin/igd1d --system" "$dest$prefix/share/dbus-1/system-services/com.wqx.igd1.service" ||
  fail "activation file does not start $prefix/sbin/igd1d --system"
[ -e "$dest$prefix/bin/igd1-standin" ] && fail "the emulator's stand-in is installed"

# Libraries: versioned SONAMEs; no binary points into the build tree.
for lib in libigd1 libigd1mib libigd1host; do
  soname=$(readelf -d "$libdir/$lib.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib.so.1" ] || fail "$lib SONAME is '$soname'"
done
while IFS= read -r elf; do
  runpath=$(readelf -d "$elf" 2>/dev/null | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  grep -qF "$build" <<<"$runpath" && fail "$elf has a RUNPATH into the build tree"
  grep -qF '$ORIGIN' <<<"$runpath" && fail "$elf has a RUNPATH relative to itself: $runpath"
  [ -z "$runpath" ] || [ "$runpath" = "$private" ] || fail "$elf has the RUNPATH $runpath"
done < <(find "$dest" -type f \( -name '*.so.*' -o -perm -u+x \))
readelf -d "$dest$prefix/sbin/igd1d" | grep -qF "[$private]" || fail "igd1d does not name $private"

# Manual pages, and the unit that points to them.
for page in man8/igd1d.8 man1/igd1-mib.1 man1/igd1-notify.1; do
  file=$(find "$dest$prefix/share/man" -path "*/$page" -print -quit)
  [ -n "$file" ] || { fail "no manual page $page"; continue; }
  man -l "$file" >/dev/null 2>&1 || fail "$page does not format"
  grep -q "@PROJECT_VERSION@" "$file" && fail "$page keeps a placeholder"
done
unit=$(find "$dest" -name igd1.service -path '*systemd/system*' -print -quit)
grep -qx "Documentation=man:igd1d(8) man:igd1-mib(1) man:igd1-notify(1)" "$unit" || fail "the unit names no documentation"
grep -qx "Alias=dbus-com.wqx.igd1.service" "$unit" || fail "the unit has no activation alias"
# The sandbox keeps its rating (systemd-analyze security: lower is better).
if systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
  rating=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  awk -v r="$rating" 'BEGIN { exit !(r != "" && r <= 3.0) }' || fail "the unit's exposure is '$rating', above 3.0"
fi
grep -qx "SystemdService=dbus-com.wqx.igd1.service" "$dest$prefix/share/dbus-1/system-services/com.wqx.igd1.service" ||
  fail "activation does not go through the alias, so disabling the unit would not stop it"
for program in sbin/igd1d bin/igd1-mib; do
  deps=$(ldd "$dest$prefix/$program")
  grep -q "not found" <<<"$deps" && fail "$program: $(grep 'not found' <<<"$deps")"
  grep -qF "$build" <<<"$deps" && fail "$program loads from the build tree"
  loaded=$(sed -n 's/.*libigd1mib.so.1 => \(.*\) (0x.*/\1/p' <<<"$deps")
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/libigd1mib.so.1")" ] ||
    fail "$program does not load the installed libigd1mib: $deps"
done

# The installed daemon runs on its own.
"$dest$prefix/sbin/igd1d" --help | grep -q -- "--system" || fail "installed igd1d --help"
[ "$("$dest$prefix/sbin/igd1d" --version)" = "igd1d $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  fail "installed igd1d --version"

# ... and serves the installed files on a private bus, with the installed
# tree as its root (store, log and sockets below it).
mkdir -p "$dest/tmp" "$dest/var/run"
start_bus --session
env -u IGD1_ROOT "$dest$prefix/sbin/igd1d" --address "$address" --root "$dest" 2>"$work/igd1d.err" &
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
