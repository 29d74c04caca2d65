#!/usr/bin/env bash
# Installs what is missing, builds, and runs igd1d on a private session bus
# with the staged root build/root and its default store.  Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
# Only what the daemon needs: the tests and benchmarks are left for ./test.sh.
./scripts/build.sh build -- igd1d igd1 igd1-mib igd1-notify stage_root

root=$PWD/build/root
bus_log=$(mktemp)
dbus-daemon --session --nofork --print-address=1 >"$bus_log" 2>/dev/null &
bus_pid=$!
igd1d_pid=""
cleanup() {
  [ -n "$igd1d_pid" ] && kill "$igd1d_pid" 2>/dev/null && wait "$igd1d_pid" 2>/dev/null || true
  kill "$bus_pid" 2>/dev/null || true
  rm -f "$bus_log"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

for _ in $(seq 100); do [ -s "$bus_log" ] && break; sleep 0.05; done
address=$(head -n1 "$bus_log")

./build/igd1d --address "$address" --root "$root" "$@" &
igd1d_pid=$!

cat <<MSG

igd1d is running on a private bus.
  bus address : $address
  root folder : $root   (log: $root/tmp/syslog.txt)
  store       : $root/var/lib/igd1/mib.db

Try, in another terminal:
  gdbus introspect --address '$address' --dest com.wqx.igd1 --object-path /com/wqx/igd1/Config/DHCPServer
  gdbus call --address '$address' --dest com.wqx.igd1 --object-path /com/wqx/igd1/Config/DHCPServer --method org.freedesktop.DBus.Properties.Set com.wqx.igd1.DHCPServer LeaseTime '<uint32 3600>'
  gdbus call --address '$address' --dest com.wqx.igd1 --object-path /com/wqx/igd1/Info/Device --method org.freedesktop.DBus.Properties.GetAll com.wqx.igd1.DeviceInfo
  ./build/igd1-mib --store $root/var/lib/igd1/mib.db dump

Press Ctrl-C to stop.
MSG
wait "$igd1d_pid"
