#!/usr/bin/env bash
# The installed bus policy on a private dbus-daemon configured like a system
# bus (default deny of method calls and name ownership, the installed policy
# folder included): root may do everything, an unprivileged user (nobody) may
# read and introspect but not write, call methods, read secrets, receive the
# service's signals or own its name.  Needs root to switch users; exits 77
# (skipped) otherwise.
#   system_bus_policy_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "needs root and setpriv to act as another user"; exit 77
fi

source "$(dirname "$0")/common.sh"
chmod 0755 "$work"

dest=$work/dest
install_tree "$build" "$dest"
policy_dir=$dest$prefix/share/dbus-1/system.d
[ -f "$policy_dir/com.wqx.igd1.conf" ] || { echo "FAIL: no policy installed" >&2; exit 1; }

cat >"$work/system-like.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>$policy_dir</includedir>
</busconfig>
CONF
start_bus --config-file="$work/system-like.conf"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# call USER PATH METHOD ARGS... -> prints the reply or the error
call() {
  local user=$1 path=$2; shift 2
  local run=()
  [ "$user" = nobody ] && run=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  "${run[@]}" gdbus call --address "$address" --dest com.wqx.igd1 --object-path "$path" --method "$@" 2>&1 || true
}
denied() { grep -q "org.freedesktop.DBus.Error.AccessDenied" <<<"$1"; }
expect_denied() { denied "$2" || fail "$1 was not denied: $2"; }
expect_allowed() { denied "$2" || grep -q "^Error" <<<"$2" && fail "$1 failed: $2"; return 0; }

# An unprivileged user cannot own the name (the root daemon is not up yet).
nobody_root=$work/nobody-root
mkdir -p "$nobody_root/tmp" "$nobody_root/var/run" "$nobody_root/var/lib/igd1"
cp -r "$dest/etc" "$nobody_root/"
chown -R 65534:65534 "$nobody_root"
status=0
as_nobody timeout 20 "$dest$prefix/sbin/igd1d" --address "$address" --root "$nobody_root" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || fail "igd1d as nobody exited with $status"
grep -q "Lost the name com.wqx.igd1" "$nobody_root/tmp/syslog.txt" || fail "igd1d as nobody did not lose the name"

mkdir -p "$dest/tmp" "$dest/var/run"
"$dest$prefix/sbin/igd1d" --address "$address" --root "$dest" >/dev/null 2>"$work/igd1d.err" &
pids+=($!)
DHCP=/com/wqx/igd1/Config/DHCPServer
PROPS=org.freedesktop.DBus.Properties
for _ in $(seq 200); do
  grep -q "(<" <<<"$(call root $DHCP $PROPS.Get com.wqx.igd1.DHCPServer MinAddress)" && break
  sleep 0.05
done

# root: writes, adds a row, reads a password.
FTP=/com/wqx/igd1/Storage/Ftpserver/Accounts
expect_allowed "root Set" "$(call root $DHCP $PROPS.Set com.wqx.igd1.DHCPServer LeaseTime '<uint32 3600>')"
added=$(call root $FTP com.wqx.igd1.ObjectManager.AddObject)
grep -q "$FTP/1" <<<"$added" || fail "root AddObject: $added"
expect_allowed "root SetMulti" "$(call root $FTP/1 com.wqx.igd1.Properties.SetMulti com.wqx.igd1.FTPAccount \
  "{'UserName': <'erin'>, 'Password': <'Pa55-word'>}")"
[ "$(call root $FTP/1 $PROPS.Get com.wqx.igd1.FTPAccount Password)" = "(<'Pa55-word'>,)" ] ||
  fail "root cannot read the FTP password"

# nobody: reads and introspects, nothing else.
[ "$(call nobody $DHCP $PROPS.Get com.wqx.igd1.DHCPServer LeaseTime)" = "(<uint32 3600>,)" ] ||
  fail "nobody cannot read the DHCP lease time: $(call nobody $DHCP $PROPS.Get com.wqx.igd1.DHCPServer LeaseTime)"
expect_allowed "nobody GetAll" "$(call nobody $DHCP $PROPS.GetAll com.wqx.igd1.DHCPServer)"
expect_allowed "nobody Introspect of an account" "$(call nobody $FTP/1 org.freedesktop.DBus.Introspectable.Introspect)"
expect_denied "nobody Set" "$(call nobody $DHCP $PROPS.Set com.wqx.igd1.DHCPServer LeaseTime '<uint32 60>')"
expect_denied "nobody SetMulti" "$(call nobody $DHCP com.wqx.igd1.Properties.SetMulti com.wqx.igd1.DHCPServer \
  "{'LeaseTime': <uint32 60>}")"
expect_denied "nobody AddObject" "$(call nobody /com/wqx/igd1/Config/PortMapping com.wqx.igd1.ObjectManager.AddObject)"
expect_denied "nobody DeleteObject" "$(call nobody $FTP com.wqx.igd1.ObjectManager.DeleteObject $FTP/1)"
expect_denied "nobody method" "$(call nobody /com/wqx/igd1/Info/PON com.wqx.igd1.PONInfo.GetPONHistoryTraffic 1)"
expect_denied "nobody FTP password" "$(call nobody $FTP/1 $PROPS.Get com.wqx.igd1.FTPAccount Password)"
expect_denied "nobody FTP GetAll" "$(call nobody $FTP/1 $PROPS.GetAll com.wqx.igd1.FTPAccount)"
expect_denied "nobody FTP GetManagedObjects" "$(call nobody $FTP org.freedesktop.DBus.ObjectManager.GetManagedObjects)"
expect_denied "nobody DDNS password" "$(call nobody /com/wqx/igd1/Network/ddns/1 $PROPS.Get com.wqx.igd1.DDNSServerConfig DDNSPassword)"
expect_denied "nobody speed-test Ticket" "$(call nobody /com/wqx/igd1/Diagnostics/HttpDownload $PROPS.Get com.wqx.igd1.HttpDownloadTestFF Ticket)"
expect_denied "nobody speed-test GetAll" "$(call nobody /com/wqx/igd1/Diagnostics/HttpDownload $PROPS.GetAll com.wqx.igd1.HttpDownloadTestFF)"
expect_denied "nobody PON password" "$(call nobody /com/wqx/igd1/Info/PON $PROPS.Get com.wqx.igd1.PONInfo Password)"
[ "$(call root $DHCP $PROPS.Get com.wqx.igd1.DHCPServer LeaseTime)" = "(<uint32 3600>,)" ] ||
  fail "a refused write changed the lease time"

# A VPN tunnel carries its password: nobody reads neither it nor the
# tunnel's listings, but may read the tunnel's statistics beside it.
VPN=/com/wqx/igd1/Network/VPN/Connection
tunnel=$(call root $VPN com.wqx.igd1.ObjectManager.AddObject)
grep -q "$VPN/1" <<<"$tunnel" || fail "root AddObject of a tunnel: $tunnel"
expect_allowed "root vpn_pwd" "$(call root $VPN/1 $PROPS.Set com.wqx.igd1.VPNConnection vpn_pwd "<'Tunn3l-pw'>")"
[ "$(call root $VPN/1 $PROPS.Get com.wqx.igd1.VPNConnection vpn_pwd)" = "(<'Tunn3l-pw'>,)" ] ||
  fail "root cannot read the tunnel's password"
expect_denied "nobody VPN password" "$(call nobody $VPN/1 $PROPS.Get com.wqx.igd1.VPNConnection vpn_pwd)"
expect_denied "nobody VPN GetAll" "$(call nobody $VPN/1 $PROPS.GetAll com.wqx.igd1.VPNConnection)"
expect_denied "nobody VPN GetManagedObjects" "$(call nobody $VPN org.freedesktop.DBus.ObjectManager.GetManagedObjects)"
expect_allowed "nobody VPN Stats" "$(call nobody $VPN/1/Stats $PROPS.Get com.wqx.igd1.VPNConnectionStats data)"

# Signals reach root but not nobody (a change signal can carry a password).
gdbus monitor --address "$address" --dest com.wqx.igd1 >"$work/root.monitor" 2>&1 &
pids+=($!)
# Not through as_nobody: a function in the background is a subshell of its
# own, and killing that would leave the monitor running.
setpriv --reuid=65534 --regid=65534 --clear-groups \
  gdbus monitor --address "$address" --dest com.wqx.igd1 >"$work/nobody.monitor" 2>&1 &
pids+=($!)
sleep 0.5
call root $FTP/1 $PROPS.Set com.wqx.igd1.FTPAccount Password "<'N3w-secret'>" >/dev/null
for _ in $(seq 100); do grep -q N3w-secret "$work/root.monitor" && break; sleep 0.05; done
sleep 0.3
grep -q "N3w-secret" "$work/root.monitor" || fail "root saw no change signal: $(cat "$work/root.monitor")"
grep -q "N3w-secret" "$work/nobody.monitor" && fail "nobody received the new password in a signal"

[ "$failures" = 0 ] || { cat "$work/igd1d.err" "$work/bus.err" >&2; exit 1; }
echo "system bus policy OK"
