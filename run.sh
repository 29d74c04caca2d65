#!/usr/bin/env bash
# Installs what is missing, builds, and runs igd1d on a private session bus
# with the staged root build/root and its default store.  Ctrl-C stops it.
# Options are passed to igd1d (./run.sh --help lists them).
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
# Only what the daemon needs: the tests and benchmarks are left for ./test.sh.
./scripts/build.sh build -- igd1d igd1 igd1-mib igd1-notify stage_root

for arg in "$@"; do
  case $arg in
    -h|--help|-\?|--version) exec ./build/igd1d "$@" ;;
  esac
done

root=$PWD/build/root
pid_file=$root/var/run/igd1d.pid
# igd1d locks its pid file while it runs: one daemon per root.
if [ -f "$pid_file" ] && ! flock -n "$pid_file" true; then
  echo "Another igd1d (pid $(cat "$pid_file")) is already running on $root." >&2
  echo "Stop it first (kill $(cat "$pid_file")), or use the bus address it printed." >&2
  exit 1
fi

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

# The banner only once the service answers under its name.
owned=false
for _ in $(seq 200); do
  if ! kill -0 "$igd1d_pid" 2>/dev/null; then break; fi
  if gdbus call --address "$address" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
       --method org.freedesktop.DBus.NameHasOwner com.wqx.igd1 2>/dev/null | grep -q true; then
    owned=true
    break
  fi
  sleep 0.05
done
if ! $owned; then
  status=0
  wait "$igd1d_pid" || status=$?
  igd1d_pid=""
  echo "igd1d did not start (status $status); its reason is above." >&2
  exit 1
fi

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
