// Every fixed path and external program of the gateway, and the one place
// that maps them under a root folder.
//
// Production runs with the root "/", so a path is used as written.  The
// emulator and the tests set a root folder (igd1d --root, or the environment
// variable IGD1_ROOT) and every file, socket and program then lives below it.
#pragma once

#include <string>
#include <string_view>

struct sockaddr_un;

namespace igd1 {

namespace path {
// Introspection files, read by every module at start-up.
inline constexpr char kDbusXmlDir[] = "/etc/dbusxml/";
// The size-capped log file.
inline constexpr char kSyslog[] = "/tmp/syslog.txt";
// The log of the previous run, kept when the daemon starts again.
inline constexpr char kSyslogPrevious[] = "/tmp/syslog.txt.1";
// Present while a bus conformance test runs.
inline constexpr char kCtsMarker[] = "/tmp/running_dbus_cts";
// Written by each delayed save of extra configuration values.
inline constexpr char kExtraMibSaveRecord[] = "/tmp/run_save_extra_mib";
// Device type 2 marker of the device information object.
inline constexpr char kDevType2Value[] = "/var/run/.devtype2_value";
// Heartbeat receiver of the host daemon.
inline constexpr char kDaemonSocket[] = "/tmp/dbusproxydaemonsocket";
// Notification socket of the host daemon (other processes' change notices).
inline constexpr char kNotifySocket[] = "/tmp/igd1_notify_socket";
// Sockets shared with the remote-management agent.
inline constexpr char kSmartSocket[] = "/tmp/smartsock";
inline constexpr char kDbusSocket[] = "/tmp/dbussock";
inline constexpr char kSdkSocket[] = "/tmp/sdk2dbusproxy";
// Locked by the running igd1d and holding its pid.
inline constexpr char kDaemonPidFile[] = "/var/run/igd1d.pid";
// The configuration database of our configuration library.
inline constexpr char kStoreFile[] = "/var/lib/igd1/mib.db";
// The pid file the SDN agent keeps while it runs.
inline constexpr char kSdnAgentPid[] = "/var/run/sdnagent.pid";
// What the stand-in programs record (emulator and tests only).
inline constexpr char kStandinLog[] = "/var/log/igd1-standin.log";
// The environment of each call, one line per call, beside the arguments.
inline constexpr char kStandinEnvLog[] = "/var/log/igd1-standin.env";
inline constexpr char kStandinControlDir[] = "/var/lib/igd1-standin/";
// DHCP leases of the LAN (expiry, MAC, address, host name, client id per line).
inline constexpr char kDhcpLeases[] = "/var/lib/misc/dnsmasq.leases";
// State files of the emulated devices (radios, USB storage, voice line) and
// the folders that back the emulated USB disks.
inline constexpr char kDeviceStateDir[] = "/var/lib/igd1-devices/";
// Kept by the media server while it runs.
inline constexpr char kMediaServerPid[] = "/var/run/dlna.pid";
}  // namespace path

// What the kernel shows of the running system, read by the diagnostics.
// These are reached with kernel_path(), not sys_path(): the emulator runs
// under a root folder of its own and still reports the machine it runs on.
namespace kernel {
// One folder per process, named by its pid, each with its "stat" file.
inline constexpr char kProc[] = "/proc";
inline constexpr char kMemInfo[] = "/proc/meminfo";
inline constexpr char kConntrackCount[] = "/proc/sys/net/netfilter/nf_conntrack_count";
inline constexpr char kConntrackMax[] = "/proc/sys/net/netfilter/nf_conntrack_max";
// thermal_zone<n>/type and thermal_zone<n>/temp (millidegrees Celsius).
inline constexpr char kThermalZones[] = "/sys/class/thermal";
}  // namespace kernel

namespace program {
inline constexpr char kPollLanNetInfo[] = "/bin/poll_lanNetInfo";
inline constexpr char kRestore[] = "/bin/restore";
inline constexpr char kDate[] = "/bin/date";
inline constexpr char kClock[] = "/sbin/clock";
inline constexpr char kMount[] = "/bin/mount";
inline constexpr char kUmount[] = "/bin/umount";
inline constexpr char kUsbMount[] = "/bin/usbmount";
inline constexpr char kUsbFormat[] = "/bin/usbformat";
inline constexpr char kMkdir[] = "/bin/mkdir";
// The SDN agent's control program.
inline constexpr char kSdnAgent[] = "/bin/sdnagent";
// The radios' control program: scans, kick-outs, channel switches and
// steering requests go through it before the radios act on them.
inline constexpr char kRadioCtl[] = "/bin/radioctl";
// The media server, restarted when storage is mounted or unmounted.
inline constexpr char kMediaServer[] = "/usr/sbin/media-server";
}  // namespace program

// Name of the environment variable that carries the root folder to every
// component and to the programs they start.
inline constexpr char kRootEnv[] = "IGD1_ROOT";

// Name of the environment variable that puts the kernel's views under a
// folder of their own (tests give a made-up process table there).  Unset:
// the machine's own /proc and /sys.
inline constexpr char kKernelRootEnv[] = "IGD1_KERNEL_ROOT";

// The root folder without a trailing slash; "" stands for "/".
std::string root_dir();

// Sets the root for this process and the programs it starts.  Call it before
// other threads run (it changes the environment).  "" or "/" restores the
// production layout.
void set_root_dir(std::string_view dir);

// The real location of a fixed absolute path: the root folder followed by it.
std::string sys_path(std::string_view fixed_path);

// The real location of a kernel view (a path of namespace kernel): below
// IGD1_KERNEL_ROOT when it is set, else as written.
std::string kernel_path(std::string_view fixed_path);
// Sets or ("" or "/") clears IGD1_KERNEL_ROOT for this process; call it
// before other threads run.
void set_kernel_root_dir(std::string_view dir);

// Same, into a caller's buffer, for C-style code.  Returns false (and leaves
// an empty text) when the result does not fit.
bool sys_path_into(std::string_view fixed_path, char *buffer, size_t size);

// The address of the local socket at a fixed path (under the root), family
// set and the rest zero-filled.  False when the real path does not fit.
bool sys_socket_address(std::string_view fixed_path, sockaddr_un *address);

}  // namespace igd1
