// VPN tunnels over the bus: at most four, each with its statistics object;
// the rules of every property, the lists joined under their running
// capacity, one stored copy per changed write and none for a refused one,
// and tunnels another process adds or removes.

#include <string>
#include <vector>

#include "harness/bus_fixture.h"
#include "harness/program.h"
#include "local_socket.h"
#include "mib_vpn.h"
#include "vpnconnection.h"

namespace igd1::test {
namespace {

constexpr char kTunnels[] = "/com/wqx/igd1/Network/VPN/Connection";
constexpr char kVpn[] = "com.wqx.igd1.VPNConnection";
constexpr char kStats[] = "com.wqx.igd1.VPNConnectionStats";
constexpr char kVoiceWan[] = "2_VOIP_R_VID_45";
constexpr size_t kCapacity = 327712;

std::string tunnel(unsigned n) { return std::string(kTunnels) + "/" + std::to_string(n); }
std::string stats(unsigned n) { return tunnel(n) + "/Stats"; }

class VpnTest : public BusTest {
 protected:
  void configure(host::Options &options) override { options.notify_socket = true; }

  Error set(const char *name, const std::string &text, unsigned n = 1) {
    return write(tunnel(n), kVpn, name, g_variant_new_string(text.c_str()));
  }
  Error set_list(const char *name, const std::vector<std::string> &elements, unsigned n = 1) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string &element : elements) g_variant_builder_add(&builder, "s", element.c_str());
    return write(tunnel(n), kVpn, name, g_variant_builder_end(&builder));
  }
  // The tunnel's list as the bus reads it: its elements' lengths, so that a
  // failure does not print a third of a megabyte.
  std::vector<size_t> lengths(const char *name, unsigned n = 1) {
    Variant value = get_property(tunnel(n).c_str(), kVpn, name);
    std::vector<size_t> sizes;
    if (value == nullptr) return {size_t(-1)};
    g_autofree const gchar **elements = g_variant_get_strv(value.get(), nullptr);
    for (const gchar **e = elements; *e != nullptr; ++e) sizes.push_back(strlen(*e));
    return sizes;
  }
  std::string data(unsigned n = 1) { return shown(stats(n), kStats, "data"); }
  void add_tunnels(unsigned count) {
    for (unsigned n = 1; n <= count; ++n) ASSERT_EQ(add_child(kTunnels), tunnel(n));
  }
};

Error refused(const std::string &message) { return InvalidArgs(message); }

TEST_F(VpnTest, FourTunnelsAtMostEachWithAStatsObjectThatLivesAndDiesWithIt) {
  EXPECT_EQ(managed(kTunnels), "(@a{oa{sa{sv}}} {},)");
  add_tunnels(4);
  EXPECT_EQ(add(kTunnels), std::make_pair(std::string(), Error(kManagerError, "Error! Table Full.")));

  // A new tunnel is off, marked as made here, with status 1 and no status lines.
  EXPECT_EQ(cell("vpn", 3, "Mark1"), "255");
  EXPECT_EQ(cell("vpn", 3, "Mark2"), "255");
  EXPECT_EQ(shown(tunnel(3), kVpn, "vpn_status"), "byte 0x01");
  EXPECT_EQ(shown(tunnel(3), kVpn, "vpn_enable"), "byte 0x00");
  EXPECT_EQ(data(3), "['']");
  EXPECT_THAT(introspect(tunnel(3).c_str()), HasSubstr("<node name=\"Stats\"/>"));

  ASSERT_EQ(set("tunnel_name", "gone soon", 2), Error());
  ASSERT_EQ(remove(kTunnels, tunnel(2)), Error());
  EXPECT_THAT(shown(stats(2), kStats, "data"), StartsWith("error: "));
  EXPECT_THAT(introspect(tunnel(2).c_str()), Not(HasSubstr("Stats")));
  // Added back under the freed number: a fresh tunnel and a fresh Stats object.
  EXPECT_EQ(add_child(kTunnels), tunnel(2));
  EXPECT_EQ(text(tunnel(2), kVpn, "tunnel_name"), "");
  EXPECT_EQ(data(2), "['']");
  EXPECT_EQ(add(kTunnels).second, Error(kManagerError, "Error! Table Full."));

  const Error path_error(kManagerError, "DeleteObject object path error");
  for (const std::string &path : {tunnel(0), std::string(kTunnels) + "/02", tunnel(9),
                                  std::string("/com/wqx/igd1/Network/VPN/Other/1"), stats(1)})
    EXPECT_EQ(remove(kTunnels, path), path_error) << path;
  mib::fail_accessor("vpnConn_remove_entry");
  EXPECT_EQ(remove(kTunnels, tunnel(1)), Error(kManagerError, "Delete VPNConnection Object error !!"));
  mib::clear_failures();
  EXPECT_EQ(data(1), "['']");
}

TEST_F(VpnTest, AnAddTheStoreRefusesPublishesNothing) {
  mib::fail_accessor("vpnConn_insert_entry");
  EXPECT_EQ(add(kTunnels).second, Error(kManagerError, "Add VPNConnection object fail !!"));
  mib::clear_failures();
  EXPECT_EQ(managed(kTunnels), "(@a{oa{sa{sv}}} {},)");
  EXPECT_THAT(shown(tunnel(1), kVpn, "vpn_type"), StartsWith("error: "));
}

TEST_F(VpnTest, EveryPropertyTakesOnlyItsOwnForm) {
  add_tunnels(1);
  const std::string n29(29, 'n'), a119(119, 'a'), c127(127, 'c');
  const struct {
    const char *name;
    std::string written;
    const char *reads;  // null: refused with "Invalid parameter value ,<name>: <written>"
  } cases[] = {
      {"vpn_type", "L2TP", "'l2tp'"},  {"vpn_type", "pptp", "'pptp'"},
      {"vpn_type", "PPTP", "'pptp'"},  {"vpn_type", "gre", "''"},
      {"vpn_type", "l2tp", "'l2tp'"},  {"vpn_type", "", "''"},
      {"tunnel_name", n29 + "n", nullptr},
      {"user_id", n29 + "u", nullptr}, {"account_proxy", a119 + "a", nullptr},
      {"vpn_addr", a119 + "a", nullptr}, {"vpn_account", c127 + "c", nullptr},
      {"vpn_pwd", c127 + "c", nullptr},
      {"vpn_mode", "random", "'random'"}, {"vpn_mode", "Random", nullptr},
      {"vpn_mode", "steady", "'steady'"},
      {"vpn_priority", "7", "'7'"},    {"vpn_priority", "8", nullptr},
      {"vpn_priority", "07", nullptr}, {"vpn_priority", "", nullptr},
      {"vpn_priority", "0", "'0'"},
      {"vpn_idletime", "0", "'0'"},    {"vpn_idletime", "-1", nullptr},
      {"vpn_idletime", "1a", nullptr}, {"vpn_idletime", "01", nullptr},
      {"vpn_idletime", "+5", nullptr}, {"vpn_idletime", "", nullptr},
      {"vpn_idletime", "2147483647", "'2147483647'"}, {"vpn_idletime", "2147483648", nullptr},
      {"vpn_idletime", "99999999999", nullptr},
      {"vpn_port", "080", nullptr},    {"vpn_port", "65536", nullptr},
      {"vpn_port", " 80", nullptr},    {"vpn_port", "0", "'0'"},
      {"vpn_port", "65535", "'65535'"},
      {"attach_mode", "2", "'2'"},     {"attach_mode", "3", nullptr},
      {"attach_mode", "0", "'0'"},
  };
  // A text of its field's length is taken, one character more is refused.
  EXPECT_EQ(set("tunnel_name", n29), Error());
  for (const auto &c : cases) {
    const Error answer = set(c.name, c.written);
    if (c.reads != nullptr) {
      EXPECT_EQ(answer, Error()) << c.name << " " << c.written;
      EXPECT_EQ(shown(tunnel(1), kVpn, c.name), c.reads) << c.written;
    } else {
      EXPECT_EQ(answer, refused(std::string("Invalid parameter value ,") + c.name + ": " + c.written))
          << c.written;
    }
  }
  EXPECT_EQ(cell("vpn", 1, "Type"), "0");  // the last type written was none
  EXPECT_EQ(text(tunnel(1), kVpn, "tunnel_name"), n29);
  EXPECT_EQ(cell("vpn", 1, "Port"), "65535");

  EXPECT_EQ(write(tunnel(1), kVpn, "vpn_enable", g_variant_new_byte(2)),
            refused("Invalid parameter value ,vpn_enable: 2"));
  EXPECT_EQ(write(tunnel(1), kVpn, "vpn_enable", g_variant_new_byte(1)), Error());
  EXPECT_EQ(cell("vpn", 1, "Enable"), "1");
  EXPECT_EQ(set_multi(tunnel(1), kVpn, dictionary({{"vpn_status", g_variant_new_byte(0)}})),
            refused("invalid property vpn_status"));
  EXPECT_EQ(set_multi(tunnel(1), kVpn, dictionary({{"vpn_colour", g_variant_new_string("red")}})),
            refused("invalid property vpn_colour"));
}

// The handlers answer paths and names the bus itself would not let through.
TEST_F(VpnTest, TheModulesHandlersNameWhatTheyCannotFind) {
  add_tunnels(1);
  auto get = [](const std::string &path, const char *name) {
    g_autoptr(GError) error = nullptr;
    GVariant *value = VPNConnection_handle_get_property(nullptr, nullptr, path.c_str(), kVpn, name,
                                                        &error, nullptr);
    if (value != nullptr) g_variant_unref(g_variant_ref_sink(value));
    return error != nullptr ? std::string(error->message) : "";
  };
  EXPECT_EQ(get(tunnel(1), "vpn_colour"), "invalid UTF-8 sting value of vpn_colour");
  EXPECT_EQ(get(tunnel(7), "vpn_type"), "func [VPNConnection_handle_get_property] :invalid list num  7 ");
  EXPECT_EQ(get(std::string(kTunnels) + "/x", "vpn_type"),
            std::string("invalid object path ") + kTunnels + "/x");
  g_autoptr(GError) error = nullptr;
  Variant value(g_variant_ref_sink(g_variant_new_string("l2tp")));
  EXPECT_FALSE(VPNConnection_handle_set_property(nullptr, nullptr, tunnel(7).c_str(), kVpn, "vpn_type",
                                                 value.get(), &error, nullptr));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message, "func [VPNConnection_handle_set_property] :invalid list num  7 ");

  // The exported writer works on the caller's copy and tells what it announces.
  auto *copy = static_cast<vpn_connection_row *>(g_malloc0(sizeof(vpn_connection_row)));
  int emit = -1, changed = -1;
  Variant port(g_variant_ref_sink(g_variant_new_string("1723")));
  EXPECT_TRUE(VPNConnection_set_property("vpn_port", port.get(), &emit, &changed, nullptr, copy));
  EXPECT_EQ(copy->port, 1723);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(emit, 1);
  EXPECT_TRUE(VPNConnection_set_property("vpn_port", port.get(), &emit, &changed, nullptr, copy));
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(emit, 0);
  g_free(copy);
}

TEST_F(VpnTest, TheWanNameMustNameAConnectionUnlessAConformanceRunIsOn) {
  add_tunnels(1);
  ASSERT_EQ(set("wan_name", kVoiceWan), Error());
  const uint64_t stored = commits("vpn");
  EXPECT_EQ(set("wan_name", ""), Error());
  EXPECT_EQ(commits("vpn"), stored);
  EXPECT_EQ(text(tunnel(1), kVpn, "wan_name"), kVoiceWan);
  EXPECT_EQ(set("wan_name", "9_NOSUCH_R_VID_9"), refused("Invalid parameter value ,wan_name: 9_NOSUCH_R_VID_9"));
  EXPECT_EQ(set("wan_name", std::string(64, 'w')),
            refused("Invalid parameter value ,wan_name: " + std::string(64, 'w')));
  mib::fail_accessor("vpnConn_check_wan_name");
  EXPECT_EQ(set("wan_name", "3_IPTV_R_VID_43"), refused("Invalid parameter value ,wan_name: 3_IPTV_R_VID_43"));

  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(set("wan_name", "9_NOSUCH_R_VID_9"), Error());
  mib::clear_failures();
  EXPECT_EQ(cell("vpn", 1, "WANName"), "9_NOSUCH_R_VID_9");
}

TEST_F(VpnTest, ListsAreJoinedUnderTheirRunningCapacity) {
  add_tunnels(1);
  const std::string whole(kCapacity, 'd');
  EXPECT_EQ(set_list("domains", {whole}), refused("Invalid parameter value for domains"));
  EXPECT_EQ(set_list("domains", {whole.substr(1)}), Error());
  EXPECT_EQ(lengths("domains"), std::vector<size_t>{kCapacity - 1});
  // The second element must be shorter than what the first left; then the
  // separator takes one more, so the joined list fills the capacity exactly.
  const std::string first(200000, 'i');
  EXPECT_EQ(set_list("ips", {first, std::string(kCapacity - 200000, 'j')}),
            refused("Invalid parameter value for ips"));
  EXPECT_EQ(set_list("ips", {first, std::string(kCapacity - 200001, 'j')}), Error());
  EXPECT_EQ(lengths("ips"), (std::vector<size_t>{200000, kCapacity - 200001}));
  EXPECT_EQ(cell("vpn", 1, "IPs").size(), kCapacity);

  EXPECT_EQ(set_list("terminal_mac", {"00:11:22:33:44:55", "66:77:88:99:AA:BB"}), Error());
  EXPECT_EQ(shown(tunnel(1), kVpn, "terminal_mac"), "['00:11:22:33:44:55', '66:77:88:99:AA:BB']");
  EXPECT_EQ(cell("vpn", 1, "TerminalMACs"), "00:11:22:33:44:55;66:77:88:99:AA:BB");
  // Elements that would not read back as themselves are refused, never cut.
  EXPECT_EQ(set_list("terminal_mac", {"a;b"}), refused("Invalid parameter value for terminal_mac"));
  EXPECT_EQ(set_list("terminal_mac", {"a", ""}), refused("Invalid parameter value for terminal_mac"));
  EXPECT_EQ(set_list("terminal_mac", {}), Error());
  EXPECT_EQ(shown(tunnel(1), kVpn, "terminal_mac"), "@as []");
  EXPECT_EQ(set_multi(tunnel(1), kVpn, dictionary({{"domains", g_variant_new_string("a.cn")}})),
            refused("DomainName value type is err"));
  EXPECT_THAT(syslog(),
              HasSubstr("Value with type 's' does not match '(as)'"));
  EXPECT_EQ(lengths("domains"), std::vector<size_t>{kCapacity - 1});
}

TEST_F(VpnTest, AWriteIsStoredOnceWhenItChangedAndNotAtAllWhenAnItemIsRefused) {
  add_tunnels(1);
  SignalWatcher changes(client(), kProps, "PropertiesChanged", tunnel(1).c_str());
  uint64_t stored = commits("vpn");
  ASSERT_EQ(set_multi(tunnel(1), kVpn,
                      dictionary({{"vpn_addr", g_variant_new_string("vpn.example.cn")},
                                  {"vpn_port", g_variant_new_string("1701")},
                                  {"vpn_type", g_variant_new_string("L2TP")}})),
            Error());
  EXPECT_EQ(commits("vpn"), stored + 1);
  EXPECT_EQ(changes.next(),
            change_body(kVpn, "{'vpn_addr': <'vpn.example.cn'>, 'vpn_port': <'1701'>, 'vpn_type': <'l2tp'>}"));

  // The same values again: nothing stored, nothing announced.
  stored = commits("vpn");
  ASSERT_EQ(set("vpn_addr", "vpn.example.cn"), Error());
  ASSERT_EQ(set("vpn_type", "l2tp"), Error());
  EXPECT_EQ(commits("vpn"), stored);

  // A bad second item: the first is not stored either.
  EXPECT_EQ(set_multi(tunnel(1), kVpn,
                      dictionary({{"tunnel_name", g_variant_new_string("office")},
                                  {"vpn_port", g_variant_new_string("080")}})),
            refused("Invalid parameter value ,vpn_port: 080"));
  EXPECT_EQ(commits("vpn"), stored);
  EXPECT_EQ(text(tunnel(1), kVpn, "tunnel_name"), "");

  mib::fail_accessor("vpnConn_update_entry");
  EXPECT_EQ(set("tunnel_name", "office"),
            refused("fail to update mib for object patch " + tunnel(1)));
  mib::clear_failures();
  EXPECT_EQ(text(tunnel(1), kVpn, "tunnel_name"), "");
  EXPECT_EQ(changes.next(300ms), "<null>");
}

// The password is stored and read back, and a refused one is answered with
// its text as the caller sent it, but neither reaches the log or the journal.
TEST_F(VpnTest, ThePasswordNeverReachesTheLogOrTheJournal) {
  add_tunnels(1);
  const std::string kept = "Tunn3l-pw";
  const std::string overlong = "Overl0ng-" + std::string(119, 'p');
  ASSERT_EQ(set("vpn_pwd", kept), Error());
  ASSERT_EQ(set_multi(tunnel(1), kVpn,
                      dictionary({{"vpn_account", g_variant_new_string("erin")},
                                  {"vpn_pwd", g_variant_new_string((kept + "2").c_str())}})),
            Error());
  EXPECT_EQ(text(tunnel(1), kVpn, "vpn_pwd"), kept + "2");
  EXPECT_EQ(set("vpn_pwd", overlong), refused("Invalid parameter value ,vpn_pwd: " + overlong));
  EXPECT_EQ(set_multi(tunnel(1), kVpn, dictionary({{"vpn_pwd", g_variant_new_string(overlong.c_str())}})),
            refused("Invalid parameter value ,vpn_pwd: " + overlong));
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("vpn_account"));  // the writes were logged
  for (const std::string &secret : {kept, overlong.substr(0, 9)}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    for (const mib::JournalEntry &entry : mib::journal())
      EXPECT_EQ(entry.data.find(secret), std::string::npos) << secret << " under " << entry.bit;
  }
}

TEST_F(VpnTest, StatsListTheTunnelsStatusLines) {
  add_tunnels(1);
  EXPECT_EQ(data(), "['']");
  ASSERT_EQ(set_multi(tunnel(1), kVpn,
                      dictionary({{"vpn_type", g_variant_new_string("pptp")},
                                  {"vpn_addr", g_variant_new_string("203.0.113.9")},
                                  {"vpn_port", g_variant_new_string("1723")},
                                  {"wan_name", g_variant_new_string("1_TR069_INTERNET_R_VID_41")},
                                  {"vpn_enable", g_variant_new_byte(1)}})),
            Error());
  EXPECT_EQ(data(), "['Type: PPTP', 'Server: 203.0.113.9:1723', 'WAN: 1_TR069_INTERNET_R_VID_41', "
                    "'State: Connected', 'Domains: 0', 'IPs: 0', 'Terminals: 0']");
  ASSERT_TRUE(mib::set_cell("wanconn", 1, "IPv4Status", "1"));
  EXPECT_THAT(data(), HasSubstr("'State: Disconnected'"));
  mib::fail_accessor("vpnConn_get_status");
  EXPECT_EQ(data(), "error: Get data failed");
  mib::clear_failures();
}

// Tunnels another process adds or removes follow through its notices.
TEST_F(VpnTest, TunnelsOfAnotherProcessFollowItsNotices) {
  ASSERT_TRUE(wait_for_notify_socket());
  ProgramRun added = mib_tool({"add", "vpn"});
  ASSERT_EQ(added.status, 0) << added.output();
  EXPECT_EQ(added.out, "1\n");
  ASSERT_EQ(mib_tool({"set", "vpn[1].TunnelName", "branch"}).status, 0);
  EXPECT_EQ(exchange("row-inserted vpn 1"), "OK");
  eventually([&] { return text(tunnel(1), kVpn, "tunnel_name") == "branch"; });
  EXPECT_EQ(text(tunnel(1), kVpn, "tunnel_name"), "branch");
  EXPECT_EQ(data(1), "['']");

  ASSERT_EQ(mib_tool({"remove", "vpn", "1"}).status, 0);
  EXPECT_EQ(exchange("row-removed vpn 1"), "OK");
  eventually([&] { return data(1).find("error") != std::string::npos; });
  EXPECT_THAT(data(1), StartsWith("error: "));
  EXPECT_EQ(managed(kTunnels), "(@a{oa{sa{sv}}} {},)");
}

}  // namespace
}  // namespace igd1::test
