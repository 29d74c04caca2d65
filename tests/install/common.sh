# Sourced by the installed-tree tests: a work folder that is removed on exit
# together with every process listed in `pids`, failures counted by `fail`,
# the build tree installed into a DESTDIR, a private dbus-daemon.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# forget_pid PID: a process that ended and was waited for.
forget_pid() {
  local kept=() pid
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  pids=("${kept[@]}")
}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# install_tree BUILD_DIR DEST: the build tree installed below DEST with the
# prefix /usr; the install output is kept in $work/install.log.
install_tree() {
  DESTDIR=$2 cmake --install "$1" --prefix /usr >"$work/install.log" || {
    cat "$work/install.log" >&2; exit 1; }
}

# start_bus DBUS_DAEMON_OPTION...: a dbus-daemon in the background; sets
# `address` to the address it prints.
start_bus() {
  dbus-daemon "$@" --nofork --print-address=1 >"$work/address" 2>"$work/bus.err" &
  pids+=($!)
  for _ in $(seq 200); do [ -s "$work/address" ] && break; sleep 0.02; done
  address=$(head -n1 "$work/address")
  [ -n "$address" ] || { cat "$work/bus.err" >&2; exit 1; }
}
