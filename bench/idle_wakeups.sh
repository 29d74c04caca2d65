#!/bin/bash
# How often an idle igd1d wakes: the voluntary context switches of all its
# threads (summed over /proc/PID/task/*/status) during SECONDS, with every
# module started and ten schedules in the runner (the lights' window and
# nine more, from the idle module of bench/idle_module.cpp).  With
# IGD1_IDLE_TIMERS=1 in the environment the store also holds 99 enabled
# sleep timers and 99 enabled extended WiFi timers.
#
#   bench/idle_wakeups.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-60}

root=$(mktemp -d)
bus_log=$(mktemp)
bus_pid="" daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$root" "$bus_log"
}
trap cleanup EXIT
cp -r "$build/root/." "$root/"

dbus-daemon --session --nofork --print-address=1 >"$bus_log" 2>/dev/null &
bus_pid=$!
for _ in $(seq 100); do [ -s "$bus_log" ] && break; sleep 0.05; done
address=$(head -n1 "$bus_log")

"$build/igd1d" --address "$address" --root "$root" \
  --library "$build/libigd1_idle_module.so" >/dev/null 2>&1 &
daemon_pid=$!
for _ in $(seq 200); do
  gdbus call --address "$address" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner com.wqx.igd1 2>/dev/null | grep -q true && break
  sleep 0.05
done
sleep 5  # start-up work settles

# One line per thread: id, name, voluntary switches so far.
per_thread() {
  for task in /proc/"$daemon_pid"/task/*; do
    echo "${task##*/} $(tr ' ' '_' <"$task/comm") $(awk '/^voluntary_ctxt_switches/ { print $2 }' "$task/status")"
  done 2>/dev/null
}
first=$(per_thread)
sleep "$seconds"
last=$(per_thread)
# Threads that started during the period count from 0.
join -a 2 -e 0 -o 2.2,1.3,2.3 <(sort <<<"$first") <(sort <<<"$last") |
  awk -v s="$seconds" '{ d = $3 - $2; total += d; printf "  %-16s %d\n", $1, d }
                       END { printf "voluntary context switches in %s s: %d\n", s, total }'
