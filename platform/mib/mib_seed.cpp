// The settings a new gateway starts with, and the numeric entry ids that
// mib_get() serves.
//
// To add a setting, add a line to kDefaults: every open of the store inserts
// the defaults it does not hold yet, so existing databases pick the new line
// up at the next start without losing what the user changed.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mib_internal.h"
#include "mib_store.h"

namespace igd1::mib {

namespace detail {

namespace {

using K = ValueKind;

constexpr DefaultSetting kDefaults[] = {
    // Identity of the gateway.
    {{"device.Manufacturer", K::Text, 64}, "Wqx Networks"},
    {{"device.ModelName", K::Text, 64}, "HG8-G4"},
    {{"device.ProductClass", K::Text, 64}, "HG8G4"},
    {{"device.SerialNumber", K::Text, 64}, "WQX4A3E510C2210"},
    {{"device.ManufacturerOUI", K::Text, 64}, "A43E51"},
    {{"device.HardwareVersion", K::Text, 64}, "HG8G4.A"},
    {{"device.SoftwareVersion", K::Text, 64}, "V3.1.2.0041"},
    {{"device.MAC", K::Mac, 6}, "a4:3e:51:0c:22:10"},

    // Device information: standards, hardware and live load.  Text sizes are
    // those of the device information buffers, terminator included.
    {{"deviceinfo.BusinessStatus", K::U8, 1}, "1"},  // 1: services provisioned
    {{"deviceinfo.WQEI", K::Text, 15}, "86730412210465"},
    {{"deviceinfo.ITMSProtocolVersion", K::Text, 64}, "Q/WQ 2271-2014|a1.0"},
    {{"deviceinfo.SpecVersion", K::Text, 64}, "Q/WQ 2603-2018"},
    {{"deviceinfo.DBusInterfaceVersion", K::Text, 64}, "1.2"},
    {{"deviceinfo.CPUClass", K::Text, 64}, "WQ7521"},
    {{"deviceinfo.DevType", K::Text, 64}, "HGU"},
    {{"deviceinfo.DevType1", K::Text, 64}, "GPON"},
    {{"deviceinfo.DevType2", K::Text, 64}, "Lumora_2.0"},
    {{"deviceinfo.DevTypeCode", K::U8, 1}, "1"},  // numeric device type: 1 home gateway
    {{"deviceinfo.Capability", K::Text, 64}, "4GE+1POTS+WiFi2.4G+WiFi5G+USB"},
    {{"deviceinfo.FlashSize", K::U32, 4}, "134217728"},
    {{"deviceinfo.RamSize", K::U32, 4}, "268435456"},
    {{"deviceinfo.DevName", K::Text, 128}, "HG8-G4 Home Gateway"},
    {{"deviceinfo.CPUUsage", K::U8, 1}, "7"},      // percent
    {{"deviceinfo.MEMUsage", K::U8, 1}, "38"},     // percent
    {{"deviceinfo.FlashUsage", K::U8, 1}, "27"},   // percent
    {{"deviceinfo.UpTime", K::U32, 4}, "0"},       // seconds, refreshed while running
    {{"deviceinfo.HGUSleep", K::U8, 1}, "0"},
    {{"deviceinfo.POTSNum", K::U32, 4}, "1"},
    {{"deviceinfo.DevStyle", K::Text, 33}, "Desktop"},
    {{"deviceinfo.DevWiFi", K::U8, 1}, "1"},
    {{"deviceinfo.DevUSB", K::U8, 1}, "1"},
    {{"deviceinfo.LANNum", K::U32, 4}, "4"},
    {{"deviceinfo.WiFiVersion", K::U8, 1}, "6"},
    {{"deviceinfo.KernelVersion", K::Text, 64}, "4.4.140"},
    {{"deviceinfo.KernelBit", K::U32, 4}, "32"},
    {{"deviceinfo.IfName", K::Text, 32}, "br0"},
    {{"deviceinfo.WorkMode", K::U8, 1}, "0"},  // 0 routing, 1 bridging
    // Network access sign: 1 printed label, 2 electronic label.
    {{"deviceinfo.MarkType", K::U8, 1}, "1"},
    {{"deviceinfo.SignDeviceModel", K::Text, 64}, "HG8-G4"},
    {{"deviceinfo.NASN", K::Text, 64}, "02-A127-214433"},

    // Addressing of the home network side.
    {{"lan.IPAddress", K::IPv4, 4}, "192.168.1.1"},
    {{"lan.SubnetMask", K::IPv4, 4}, "255.255.255.0"},
    {{"lan.IPv6Address", K::Text, 64}, "2001:db8:3c4d:1500::1"},

    // LAN host manager; Seeded turns 1 once the first devices were put in the table.
    {{"lanhost.EnableStats", K::U8, 1}, "1"},
    {{"lanhost.LANHostMaxNumber", K::U32, 4}, "255"},
    {{"lanhost.ControlListMaxNumber", K::U32, 4}, "32"},
    {{"lanhost.LANDevPushEnable", K::U8, 1}, "1"},
    {{"lanhost.Seeded", K::U8, 1}, "0"},

    // DHCP server of the home network.  Enable is the byte the server object
    // writes (2 on, 0 off; 1 from older stores also means on).
    {{"dhcpserver.Enable", K::U8, 1}, "1"},
    {{"dhcpserver.MinAddress", K::IPv4, 4}, "192.168.1.2"},
    {{"dhcpserver.MaxAddress", K::IPv4, 4}, "192.168.1.254"},
    {{"dhcpserver.GatewayAddress", K::IPv4, 4}, "192.168.1.1"},
    {{"dhcpserver.SubnetMask", K::IPv4, 4}, "255.255.255.0"},
    {{"dhcpserver.LeaseTime", K::U32, 4}, "86400"},
    {{"dhcpserver.DNSServers", K::Text, 64}, "192.168.1.1"},
    {{"dhcpserver.WritePermission", K::U8, 1}, "1"},

    // Uplink and WAN state.  UPLink: 1 PON, 2 Ethernet; UPLinkType: 1 GPON,
    // 2 EPON, 3 Ethernet.  LAN port status: 0 no link, 1 link up.
    {{"network.UPLink", K::U8, 1}, "1"},
    {{"network.UPLinkType", K::U32, 4}, "1"},
    {{"network.WiFiMode", K::Text, 64}, "802.11b/802.11g/802.11n/802.11ac/802.11ax"},
    {{"network.PONDuration", K::U32, 4}, "264913"},    // seconds
    {{"network.PPPoEDuration", K::U32, 4}, "264850"},  // seconds
    {{"network.WANLinkStatus", K::Text, 64}, "1"},
    {{"network.WiFiModuleStatus", K::Text, 64}, "1"},
    {{"network.WANConnectionStatus", K::Text, 64}, "Connected"},
    {{"network.PPPoEDialReason", K::Text, 64}, "ERROR_NONE"},
    {{"network.IPv6WANConnectionStatus", K::Text, 64}, "Connected"},
    {{"network.IPv6PPPoEDialReason", K::Text, 64}, "ERROR_NONE"},
    {{"network.WANIPAddr", K::Text, 64}, "100.72.18.35"},
    {{"network.WANIPv6Addr", K::Text, 64}, "2001:db8:3c4d:15::1a2f"},
    {{"network.CloudCPEEnable", K::U8, 1}, "1"},
    {{"network.ElinkSync", K::U8, 1}, "0"},
    {{"network.LAN1Status", K::U8, 1}, "1"},
    {{"network.LAN2Status", K::U8, 1}, "0"},
    {{"network.LAN3Status", K::U8, 1}, "1"},
    {{"network.LAN4Status", K::U8, 1}, "0"},
    // Traffic counters in bytes; the totals are the sums of these.
    {{"network.WANTxBytes", K::U64, 8}, "18364529137"},
    {{"network.WANRxBytes", K::U64, 8}, "214738662905"},
    {{"network.WiFiTxBytes", K::U64, 8}, "131052278644"},
    {{"network.WiFiRxBytes", K::U64, 8}, "12480935716"},
    {{"network.LAN1TxBytes", K::U64, 8}, "61827342210"},
    {{"network.LAN1RxBytes", K::U64, 8}, "4918264032"},
    {{"network.LAN2TxBytes", K::U64, 8}, "0"},
    {{"network.LAN2RxBytes", K::U64, 8}, "0"},
    {{"network.LAN3TxBytes", K::U64, 8}, "9360127785"},
    {{"network.LAN3RxBytes", K::U64, 8}, "811492503"},
    {{"network.LAN4TxBytes", K::U64, 8}, "0"},
    {{"network.LAN4RxBytes", K::U64, 8}, "0"},

    // Optical line.  PONType: 1 GPON, 2 EPON.  Optics in degrees Celsius,
    // volts, milliamperes and dBm; speeds in bytes per second.
    {{"pon.PONType", K::U8, 1}, "1"},
    {{"pon.SN", K::Text, 64}, "WQXN510C2210"},
    {{"pon.LOID", K::Text, 64}, "0755210344"},
    {{"pon.Password", K::Text, 64}, "88412210"},
    {{"pon.Temperature", K::Double, 8}, "45.2"},
    {{"pon.Voltage", K::Double, 8}, "3.28"},
    {{"pon.Current", K::Double, 8}, "12.5"},
    {{"pon.TXPower", K::Double, 8}, "2.1"},
    {{"pon.RXPower", K::Double, 8}, "-18.6"},
    {{"pon.SupportPONStatusQuery", K::Bool, 4}, "1"},
    {{"pon.PONStatus", K::Text, 64}, "O5"},  // operation state
    {{"pon.BytesSent", K::U64, 8}, "18402716583"},
    {{"pon.BytesReceived", K::U64, 8}, "215119843372"},
    {{"pon.PacketsSent", K::U64, 8}, "96231174"},
    {{"pon.PacketsReceived", K::U64, 8}, "402118653"},
    {{"pon.FECError", K::U64, 8}, "1284"},
    {{"pon.DropPackets", K::U64, 8}, "317"},
    {{"pon.UpSpeed", K::U64, 8}, "48213"},
    {{"pon.DownSpeed", K::U64, 8}, "731540"},

    // System commands.  UpgradeStatus: 0 none, 1 downloading, 2 writing the
    // image, 3 done (the new version runs after the next start), 4 failed.
    // RestoreStatus: 0, 5 or 6 while a restore or recovery starts, 7 cleared.
    // Stage times are those of the emulated upgrade and line registration.
    {{"syscmd.UpgradeStatus", K::U8, 1}, "0"},
    {{"syscmd.UpgradeSWVersion", K::Text, 256}, "V3.1.2.0041"},
    {{"syscmd.RestoreStatus", K::U8, 1}, "7"},
    {{"syscmd.Province", K::Text, 64}, ""},
    {{"syscmd.MemAlarm", K::U8, 1}, "0"},
    {{"syscmd.MemLimit", K::U8, 1}, "90"},  // percent
    {{"syscmd.PreviousLOID", K::Text, 64}, ""},
    {{"syscmd.PreviousLOIDPassword", K::Text, 64}, ""},
    {{"syscmd.KeepPreviousLOID", K::U8, 1}, "0"},
    {{"syscmd.UserPassword", K::Text, 64}, "Wqx2210ua"},
    {{"syscmd.SuperUserPassword", K::Text, 64}, "WqxAdm2210"},
    {{"upgrade.URL", K::Text, 256}, ""},
    {{"upgrade.NeedReboot", K::U8, 1}, "0"},
    {{"upgrade.StartMs", K::U64, 8}, "0"},
    {{"upgrade.StageMs", K::U32, 4}, "2000"},
    {{"system.RestorePending", K::U32, 4}, "0"},  // restore mode to apply at start
    {{"system.LastRebootCause", K::I32, 4}, "0"},
    {{"system.HardwareCheck", K::U8, 1}, "0"},

    // Line registration: where it stands, and the operator's side of it (the
    // LOID and password the line is provisioned for, whether the management
    // server answers, how many services it delivers).
    {{"register.Status", K::I32, 4}, "200"},
    {{"register.StatusText", K::Text, 64}, "2"},
    {{"register.Complete", K::U8, 1}, "1"},
    {{"register.Running", K::U8, 1}, "0"},
    {{"register.StartMs", K::U64, 8}, "0"},
    {{"register.StageMs", K::U32, 4}, "1500"},
    {{"register.FailedAttempts", K::U32, 4}, "0"},
    {{"register.OLTLOID", K::Text, 64}, "0755210344"},
    {{"register.OLTPassword", K::Text, 64}, "88412210"},
    {{"register.ITMSReachable", K::U8, 1}, "1"},
    {{"register.ServiceCount", K::U32, 4}, "2"},
    // PON link state per mode: 0 down, 1 operating, 2 up and ranging.
    {{"pon.GPONLinkState", K::I32, 4}, "1"},
    {{"pon.EPONLinkState", K::I32, 4}, "1"},

    // Credentials printed on the device's label.
    {{"device.InitUserPassword", K::Text, 64}, "Wqx2210ua"},
    {{"device.InitSSID", K::Text, 64}, "WQX-2210"},
    {{"device.InitSSIDPassword", K::Text, 64}, "k7m3p9x2"},

    // Operator service platforms.  Status of each platform: 1 not connected,
    // 2 connecting, 3 connected, 4 connection failed, 5 refused by the
    // platform, 6 (operations and plug-in platforms) plug-in download failed.
    {{"platform.Appmodel", K::U8, 1}, "1"},
    {{"platform.DistAddr", K::Text, 256}, "https://dist.example.net:8443"},
    {{"platform.Port", K::U32, 4}, "8443"},
    {{"platform.Heartbeat", K::U32, 4}, "60"},  // seconds
    {{"platform.Ability", K::U32, 4}, "1"},
    {{"platform.LocalPort", K::U32, 4}, "17998"},
    {{"platform.Version", K::Text, 256}, "2.1.0"},
    {{"platform.SSN", K::Text, 256}, ""},
    {{"platform.DistStatus", K::U8, 1}, "3"},
    {{"platform.DistErrorMsg", K::Text, 256}, ""},
    {{"platform.OperAddr", K::Text, 256}, "oper.example.net:9090"},
    {{"platform.OperStatus", K::U8, 1}, "3"},
    {{"platform.OperErrorMsg", K::Text, 256}, ""},
    {{"platform.PluginAddr", K::Text, 256}, "https://plugin.example.net"},
    {{"platform.PluginStatus", K::U8, 1}, "3"},
    {{"platform.PluginErrorMsg", K::Text, 256}, ""},
    {{"platform.BSSAddr", K::Text, 256}, "bss.example.net:8080"},

    // File and shell servers.  Access modes: 0 off, 1 LAN side, 2 WAN side,
    // 3 both.  The FTP default account stands in while no user account exists.
    {{"samba.Enable", K::U8, 1}, "1"},
    {{"samba.AllowAnonymous", K::U8, 1}, "0"},
    {{"telnet.Enable", K::U8, 1}, "0"},
    {{"telnet.UserName", K::Text, 31}, "telnetadmin"},
    {{"telnet.Password", K::Text, 31}, "Tn#4A3E51c2"},
    {{"ftp.Enable", K::U8, 1}, "1"},
    {{"ftp.AllowAnonymous", K::U8, 1}, "0"},
    {{"ftp.DefaultUserName", K::Text, 30}, "ftpadmin"},
    {{"ftp.DefaultPassword", K::Text, 30}, "Ftp#0C2210"},

    // DNS servers of the relay, per address family ("" for none).
    {{"dns.Server1", K::Text, 47}, "202.96.128.86"},
    {{"dns.Server2", K::Text, 47}, "202.96.134.133"},
    {{"dnsv6.Server1", K::Text, 47}, "2001:db8:3c4d::53"},
    {{"dnsv6.Server2", K::Text, 47}, ""},

    // IPv6 on the home network side: address and DNS servers from the
    // internet connection, the prefix it is delegated; lifetimes in seconds.
    {{"ipv6lan.ConfigType", K::Text, 64}, "WANConnection"},
    {{"ipv6lan.DNSWAN", K::Text, 64}, "2_INTERNET_R_VID_41"},
    {{"ipv6lan.Servers", K::Text, 256}, ""},
    {{"ipv6lan.PrefixMode", K::Text, 64}, "WANDelegated"},
    {{"ipv6lan.DelegatedWAN", K::Text, 64}, "2_INTERNET_R_VID_41"},
    {{"ipv6lan.Prefix", K::Text, 64}, "2001:db8:3c4d:1500::/64"},
    {{"ipv6lan.PreferredLifeTime", K::U32, 4}, "3600"},
    {{"ipv6lan.ValidLifeTime", K::U32, 4}, "7200"},
    {{"dhcpv6.Enable", K::U8, 1}, "1"},
    {{"dhcpv6.MinAddress", K::Text, 47}, "::2"},
    {{"dhcpv6.MaxAddress", K::Text, 47}, "::fffe"},
    {{"dhcpv6.PreferredLifeTime", K::U32, 4}, "3600"},
    {{"dhcpv6.ValidLifeTime", K::U32, 4}, "7200"},
    {{"dhcpv6.Option16Enable", K::U8, 1}, "0"},
    {{"dhcpv6.Option17Enable", K::U8, 1}, "0"},
    {{"ra.Enable", K::U8, 1}, "1"},
    {{"ra.MaxRtrAdvInterval", K::U32, 4}, "600"},
    {{"ra.MinRtrAdvInterval", K::U32, 4}, "200"},
    {{"ra.AdvManagedFlag", K::U8, 1}, "0"},
    {{"ra.AdvOtherConfigFlag", K::U8, 1}, "1"},

    // Indicator lights: on, dark at night while the daily window is enabled.
    {{"led.Status", K::U8, 1}, "1"},
    {{"led.StartTime", K::Text, 6}, "07:00"},
    {{"led.EndTime", K::Text, 6}, "22:30"},
    {{"led.ControlCycle", K::U8, 1}, "1"},
    {{"led.Enable", K::U8, 1}, "0"},

    // WiFi as a whole: both radios on, the counters since the radios started.
    {{"wifiinfo.Enable2G", K::U8, 1}, "1"},
    {{"wifiinfo.Enable5G", K::U8, 1}, "1"},
    {{"wifiinfo.Enable", K::U8, 1}, "1"},
    {{"wifiinfo.SupportedBeaconType", K::Text, 65}, "None,Basic,WPA,11i,WPAand11i"},
    {{"wifiinfo.MAPAgent", K::U8, 1}, "0"},
    {{"wifiinfo.SameSSIDStatus", K::U32, 4}, "0"},
    {{"wifiinfo.SameSSIDPair", K::Text, 16}, ""},
    {{"wifiinfo.RxBytes", K::U64, 8}, "1843300112"},
    {{"wifiinfo.RxPkts", K::U64, 8}, "1520331"},
    {{"wifiinfo.RxErrorPkts", K::U64, 8}, "12"},
    {{"wifiinfo.RxDropPkts", K::U64, 8}, "0"},
    {{"wifiinfo.TxBytes", K::U64, 8}, "7311200871"},
    {{"wifiinfo.TxPkts", K::U64, 8}, "5402112"},
    {{"wifiinfo.TxErrorPkts", K::U64, 8}, "0"},
    {{"wifiinfo.TxDropPkts", K::U64, 8}, "0"},
    {{"wifiinfo.RatePriority", K::U32, 4}, "0"},
    {{"wifiinfo.RatePriority5G", K::U32, 4}, "0"},
    {{"wifiinfo.EnWifiQualityCollection", K::U32, 4}, "0"},
    // Band steering: off; weak below -70 dBm on 2.4 GHz and -75 dBm on 5 GHz.
    {{"bandsteering.Enable", K::U8, 1}, "0"},
    {{"bandsteering.RSSIThreshold", K::I32, 4}, "-70"},
    {{"bandsteering.RSSIThreshold5G", K::I32, 4}, "-75"},
    {{"bandsteering.ChannelUtilizationThreshold5G", K::U32, 4}, "80"},
    {{"bandsteering.STALoadThreshold2G", K::U32, 4}, "32"},
    {{"bandsteering.SteeringDetectInterval", K::U32, 4}, "30"},
    // Roaming per band: off, from the start, thresholds in dBm.
    {{"roaming.2G.Enable", K::Bool, 4}, "0"},
    {{"roaming.2G.StartTime", K::U32, 4}, "0"},
    {{"roaming.2G.Threshold1RSSI", K::I32, 4}, "-70"},
    {{"roaming.2G.Threshold2RSSI", K::I32, 4}, "-80"},
    {{"roaming.5G.Enable", K::Bool, 4}, "0"},
    {{"roaming.5G.StartTime", K::U32, 4}, "0"},
    {{"roaming.5G.Threshold1RSSI", K::I32, 4}, "-72"},
    {{"roaming.5G.Threshold2RSSI", K::I32, 4}, "-82"},

    // SDN agent: off, pointed at the operator's controller; bound ports by name.
    {{"sdn.Enable", K::I32, 4}, "0"},
    {{"sdn.ControllerAddress", K::Text, 128}, "tcp:10.64.0.20:6653"},
    {{"sdn.OFWan", K::Text, 32}, "2_INTERNET_R_VID_41"},
    {{"sdn.DPID", K::Text, 64}, "0000a43e510c2210"},
    {{"sdn.BoundPorts", K::Text, 256}, ""},

    // IPTV: multicast switches, set-top boxes seen, line state (0 no IPTV
    // line, 1 up) and the end of a running line detection (ms since the epoch).
    {{"iptv.IGMPEnable", K::U8, 1}, "1"},
    {{"iptv.ProxyEnable", K::U8, 1}, "1"},
    {{"iptv.SnoopingEnable", K::U8, 1}, "1"},
    {{"iptv.STBNumber", K::U32, 4}, "1"},
    {{"iptv.LineStatus", K::U32, 4}, "1"},
    {{"iptv.NoStbEnable", K::U8, 1}, "0"},
    {{"iptv.DetectUntil", K::U64, 8}, "0"},
    {{"subiptv.Supported", K::Bool, 4}, "1"},
    {{"subiptv.Enable", K::U8, 1}, "0"},
    {{"subiptv.VLANID", K::U32, 4}, "45"},
    {{"subiptv.SubDevices", K::U32, 4}, "0"},

    // DNS speed limit and what the DNS service reports.
    {{"dnslimit.Domain", K::Text, 1024}, ""},
    {{"dnslimit.LimitAction", K::Text, 33}, "Drop"},
    {{"dnslimit.HgwInfo", K::Text, 256}, "HG8-G4;A43E51;WQX4A3E510C2210"},
    {{"dnslimit.DeviceInfo", K::Text, 256}, ""},

    // Web server access (bit 0 LAN side, bit 1 WAN side), the internet
    // connection and its PPPoE account, the bridged data session.
    {{"http.Access", K::U8, 1}, "1"},
    {{"wan.InternetName", K::Text, 64}, "2_INTERNET_R_VID_41"},
    {{"wan.InternetMode", K::Text, 16}, "PPPoE"},
    {{"pppoe.UserName", K::Text, 65}, "07552103448@wqx"},
    {{"bridge.InterfaceName", K::Text, 64}, "nas0_1"},
    {{"bridge.SMAC", K::Text, 64}, "a4:3e:51:0c:22:11"},
    {{"bridge.DMAC", K::Text, 64}, "00:1e:73:2a:91:c4"},
    {{"bridge.SessionID", K::U32, 4}, "4711"},
    {{"bridge.IP", K::Text, 64}, "100.72.18.36"},
    {{"bridge.DNS", K::Text, 64}, "202.96.128.86"},

    // Firmware features, the cloud VR account, the voice lines.
    {{"feature.H248", K::Bool, 4}, "0"},
    {{"feature.PortBind", K::Bool, 4}, "1"},
    {{"feature.VlanBind", K::Bool, 4}, "1"},
    {{"feature.OnDemandDialin", K::Bool, 4}, "0"},
    {{"cloudvr.Enable", K::Bool, 4}, "1"},
    {{"cloudvr.Password", K::Text, 64}, "Vr#0C2210"},
    {{"voip.Name1", K::Text, 64}, "075521034481"},
    {{"voip.Name2", K::Text, 64}, ""},
    {{"voip.Line1Status", K::Text, 64}, "Up"},
    {{"voip.Line2Status", K::Text, 64}, "Disabled"},
    // The simulated call's number and DTMF confirmation.
    {{"voicetest.CalledNumber", K::Text, 33}, "075512345688"},
    {{"voicetest.DialDTMFConfirmEnable", K::Bool, 4}, "0"},
    {{"voicetest.DialDTMFConfirmNumber", K::Text, 33}, ""},

    // Downstream optimisation: mode "Off", "Auto", "Video" or "Gaming".
    {{"dnopt.Enable", K::Bool, 4}, "1"},
    {{"dnopt.Mode", K::Text, 16}, "Auto"},
    {{"dnopt.ActiveFlows", K::U32, 4}, "3"},
    {{"dnopt.Flows", K::U64, 8}, "18244"},
    {{"dnopt.Bytes", K::U64, 8}, "96351220418"},

    // Speed tests: where they measure (set by the operator; a test without a
    // server is refused), and the state and results of the last run of each
    // (0 success, 1 failed or never run, 2 running).
    {{"httptest.Status", K::U32, 4}, "0"},
    {{"httptest.Result", K::Text, 1024}, ""},
    {{"httptest.URL", K::Text, 1024}, ""},
    {{"httptest.WanRate", K::U32, 4}, "0"},
    {{"speedff.TestingStatus", K::Bool, 4}, "0"},
    {{"speedff.Ticket", K::Text, 81}, ""},
    {{"speedff.SpeedType", K::U8, 1}, "3"},
    {{"speedff.URL", K::Text, 1024}, ""},
    {{"speedff.Result", K::U32, 4}, "1"},
    {{"speedff.DownMaxRate", K::Text, 32}, ""},
    {{"speedff.DownRate", K::Text, 32}, ""},
    {{"speedff.UpMaxRate", K::Text, 32}, ""},
    {{"speedff.UpRate", K::Text, 32}, ""},
    {{"speedff.BeginTime", K::Text, 32}, ""},
    {{"speedff.EndTime", K::Text, 32}, ""},
    {{"speedff.MaxDelay", K::Text, 32}, ""},
    {{"speedff.MinDelay", K::Text, 32}, ""},
    {{"speedff.AvgDelay", K::Text, 32}, ""},
    {{"speedff.Jitter", K::Text, 32}, ""},
    {{"speedlocal.Enable", K::Bool, 4}, "0"},
    {{"speedlocal.TestingStatus", K::Bool, 4}, "0"},
    {{"speedlocal.Result", K::U32, 4}, "1"},
    {{"speedlocal.SpeedType", K::U8, 1}, "1"},
    {{"speedlocal.URL", K::Text, 1024}, ""},
    {{"speedlocal.DownMaxRate", K::Text, 17}, ""},
    {{"speedlocal.DownRate", K::Text, 17}, ""},
    {{"speedlocal.UpMaxRate", K::Text, 17}, ""},
    {{"speedlocal.UpRate", K::Text, 17}, ""},
    {{"speedlocal.BeginTime", K::Text, 33}, ""},
    {{"speedlocal.EndTime", K::Text, 33}, ""},
    {{"speedlocal.RFU1", K::Text, 33}, ""},
    {{"speedlocal.RFU2", K::Text, 33}, ""},
    {{"sectiontest.TestingStatus", K::U8, 1}, "0"},
    {{"sectiontest.Result", K::U8, 1}, "1"},
    {{"sectiontest.SpeedMode", K::U8, 1}, "1"},
    {{"sectiontest.Protocol", K::U8, 1}, "0"},
    {{"sectiontest.Streams", K::U8, 1}, "4"},
    {{"sectiontest.ServerIP", K::Text, 46}, ""},
    {{"sectiontest.ServerPort", K::U32, 4}, "8080"},
    {{"sectiontest.PayloadLength", K::U32, 4}, "1500"},
    {{"sectiontest.MaxRate", K::Text, 32}, ""},
    {{"sectiontest.MinRate", K::Text, 32}, ""},
    {{"sectiontest.Rate", K::Text, 32}, ""},
    {{"sectionmulti.TestingStatus", K::U8, 1}, "0"},
    {{"sectionmulti.Result", K::U8, 1}, "1"},
    {{"sectionmulti.Report", K::Text, 900}, ""},

    // Quality of service: the whole line (kbit/s) shared by priority, and
    // whether each table has had its first rules.
    {{"qos.Mode", K::Text, 64}, "INTERNET,TR069,VOIP,IPTV"},
    {{"qos.Enable", K::U8, 1}, "1"},
    {{"qos.Bandwidth", K::U32, 4}, "1000000"},
    {{"qos.Plan", K::Text, 32}, "priority"},
    {{"qos.EnableForceWeight", K::U8, 1}, "0"},
    {{"qos.EnableDSCPMark", K::U8, 1}, "1"},
    {{"qos.Enable8021P", K::U8, 1}, "2"},
    {{"qos.SeededClassification", K::U8, 1}, "0"},
    {{"qos.SeededPriorityQueue", K::U8, 1}, "0"},
    {{"qos.SeededApp", K::U8, 1}, "0"},

    // Operations and maintenance: alarm thresholds, the optical alarms, the
    // board's own readings where the machine has no thermal zone or
    // connection tracking, the LAN switch's port speeds (Mbit/s while a link
    // is up), the watch's round in seconds (0: off) and whether the gateway
    // is an FTTR master with WiFi.
    {{"omdiag.CPUTempThreshold", K::U32, 4}, "85"},
    {{"omdiag.PONTempThreshold", K::U32, 4}, "70"},
    {{"omdiag.SystemFlashThreshold", K::U32, 4}, "90"},
    {{"omdiag.ConnNumThreshold", K::U32, 4}, "12000"},
    {{"omdiag.DnOptTxPWREnable", K::Bool, 4}, "0"},
    {{"omdiag.DnOptTxPWRThresholdH", K::Double, 8}, "7"},
    {{"omdiag.DnOptTxPWRThresholdL", K::Double, 8}, "0.5"},
    {{"omdiag.DnOptRxPWREnable", K::Bool, 4}, "1"},
    {{"omdiag.DnOptRxPWRThresholdH", K::Double, 8}, "-8"},
    {{"omdiag.DnOptRxPWRThresholdL", K::Double, 8}, "-27"},
    {{"omdiag.CPUTemperature", K::U32, 4}, "52"},
    {{"omdiag.ConntrackCount", K::U32, 4}, "356"},
    {{"omdiag.ConntrackMax", K::U32, 4}, "16384"},
    {{"omdiag.WatchInterval", K::U32, 4}, "10"},
    {{"omdiag.FTTRMasterWiFi", K::U32, 4}, "1"},
    {{"lan.Port1Speed", K::U32, 4}, "1000"},
    {{"lan.Port2Speed", K::U32, 4}, "1000"},
    {{"lan.Port3Speed", K::U32, 4}, "100"},
    {{"lan.Port4Speed", K::U32, 4}, "1000"},

    // Bus service itself.
    {{"dbusproxy.DebugLevel", K::U32, 4}, "2"},
};

constexpr DefaultEntry kEntries[] = {
    {9001, {"dbusproxy.DebugLevel", K::U32, 4}},
    {20045, {"deviceinfo.HGUSleep", K::U8, 1}},  // 1 while the gateway sleeps
};

}  // namespace

std::span<const DefaultSetting> default_settings() { return kDefaults; }

std::span<const DefaultEntry> default_entries() { return kEntries; }

}  // namespace detail

const Item *default_item(std::string_view name) {
  for (const detail::DefaultSetting &setting : detail::kDefaults) {
    if (name == setting.item.name) return &setting.item;
  }
  return nullptr;
}

// ---- numeric entry ids -----------------------------------------------------

namespace {

// An entry keeps its own copy of the setting name so that callers may
// register items whose name lives in a temporary buffer.
struct OwnedEntry {
  std::string name;
  Item item;
};

struct Entries {
  std::mutex mutex;
  std::map<int, std::unique_ptr<OwnedEntry>> by_id;
};

void put_entry(Entries &entries, int id, const Item &item) {
  std::unique_ptr<OwnedEntry> &slot = entries.by_id[id];
  if (!slot) slot = std::make_unique<OwnedEntry>();
  // Updated in place: a pointer handed out by find_entry stays valid.
  slot->name = item.name != nullptr ? item.name : "";
  slot->item = item;
  slot->item.name = slot->name.c_str();
}

// Created on first use with the default entries already in it.
Entries &entries() {
  static Entries *instance = [] {
    auto *created = new Entries;
    for (const detail::DefaultEntry &entry : detail::kEntries) put_entry(*created, entry.id, entry.item);
    return created;
  }();
  return *instance;
}

}  // namespace

void register_entry(int id, const Item &item) {
  Entries &all = entries();
  std::lock_guard lock(all.mutex);
  put_entry(all, id, item);
}

const Item *find_entry(int id) {
  Entries &all = entries();
  std::lock_guard lock(all.mutex);
  auto found = all.by_id.find(id);
  return found != all.by_id.end() ? &found->second->item : nullptr;
}

}  // namespace igd1::mib
