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
# prefix it was configured with (set as `prefix`: the programs name the
# private library folder below it); the install output is kept in
# $work/install.log.  That RUNPATH is the folder as it is on a gateway,
# without DEST, so the staged programs are pointed at DEST's copy.
install_tree() {
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$1/CMakeCache.txt")
  DESTDIR=$2 cmake --install "$1" >"$work/install.log" || {
    cat "$work/install.log" >&2; exit 1; }
  libdir=$(dirname "$(find "$2/usr" -name libigd1.so.1 -print -quit)")
  export LD_LIBRARY_PATH=$libdir
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
