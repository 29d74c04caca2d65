// The SDN agent's objects over the bus, against the SQLite store and the
// stand-in agent.
#include <unistd.h>

#include <atomic>

#include "harness/bus_fixture.h"
#include "harness/standin.h"
#include "mib_api.h"
#include "wqxsdn.h"

namespace igd1::test {
namespace {

constexpr char kOnu[] = "/com/wqx/igd1/SDN/ONUInfo";
constexpr char kOnuInterface[] = "com.wqx.igd1.SDN.ONUInfo";
constexpr char kSdn[] = "/com/wqx/igd1/SDN/SDNInfo";
constexpr char kSdnInterface[] = "com.wqx.igd1.SDN.SDNInfo";
constexpr char kPorts[] = "/com/wqx/igd1/SDN/Ports";
constexpr char kPortsInterface[] = "com.wqx.igd1.SDN.Ports";
constexpr char kWan[] = "2_INTERNET_R_VID_41";
constexpr char kController[] = "tcp:10.64.0.20:6653";

class SdnTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    options.modules = {"sdn_onuinfo", "sdn_sdninfo", "sdn_ports"};
  }
  void TearDown() override {
    mib::clear_failures();
    BusTest::TearDown();
  }

  std::string method(const char *path, const char *interface, const char *name, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path, interface, name, args, &error);
    return reply ? printed(reply.get()) : remote_error(error).second;
  }
  std::string set_onu(int enable, const std::string &wan, const std::string &controller) {
    return method(kOnu, kOnuInterface, "SetONUInfo",
                  g_variant_new("(iss)", enable, wan.c_str(), controller.c_str()));
  }
  std::string ports(const char *name, GVariant *entries) {
    return method(kPorts, kPortsInterface, name, g_variant_new("(@a{su})", entries));
  }
  static GVariant *port_map(std::initializer_list<std::pair<const char *, uint32_t>> entries) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{su}"));
    for (const auto &[name, port] : entries) g_variant_builder_add(&builder, "{su}", name, port);
    return g_variant_builder_end(&builder);
  }
  std::string sdn_info() { return method(kSdn, kSdnInterface, "GetSDNInfo", nullptr); }
  void agent_running(bool running) {
    const std::string pid_file = root().path(path::kSdnAgentPid);
    if (running)
      write_text_file(pid_file, std::to_string(getpid()) + "\n");
    else
      unlink(pid_file.c_str());
  }
  // What the stand-in agent was asked since the last call.
  std::string agent_calls() {
    const std::string log = standin_log(root());
    std::string fresh = log.substr(std::min(seen_, log.size()));
    seen_ = log.size();
    return fresh;
  }
  std::vector<int> saves_since(int64_t seq) {
    std::vector<int> actions;
    for (const mib::JournalEntry &entry : mib::journal(seq))
      if (entry.bit == MIB_JOURNAL_SDN) actions.push_back(entry.action);
    return actions;
  }

  size_t seen_ = 0;
};

// Checks before any store, then store, then restart (a changed enable) or
// reconfigure (a changed address or WAN) and save, also after a refused
// restart.
TEST_F(SdnTest, SetOnuInfoChecksStoresAppliesAndSaves) {
  const std::string long_address = "tcp:" + std::string(190, 'a') + ":6653";
  const struct {
    const char *label;
    int enable;
    std::string wan, controller;
    int agent_status;
    int result;
    std::string agent;   // what the agent was asked
    bool saved;
    const char *stored_enable, *stored_controller;
  } cases[] = {
      {"nothing changes", -1, kWan, kController, 0, 0, "", true, "0", kController},
      {"a new WAN reconfigures", -1, "3_TR069_R_VID_46", kController, 0, 0,
       "sdnagent reconfigure --controller tcp:10.64.0.20:6653 --wan 3_TR069_R_VID_46\n", true, "0",
       kController},
      {"a new enable restarts alone", 1, kWan, "ssl:[2001:db8::5]:6653", 0, 0,
       "sdnagent restart\n", true, "1", "ssl:[2001:db8::5]:6653"},
      {"the same enable and a new address reconfigure", 1, kWan, kController, 0, 0,
       "sdnagent reconfigure --controller tcp:10.64.0.20:6653 --wan 2_INTERNET_R_VID_41\n", true,
       "1", kController},
      {"enable 2", 2, kWan, "tcp:10.0.0.1:1", 0, 2, "", false, "1", kController},
      {"a 200-character address", -1, kWan, long_address, 0, 2, "", false, "1", kController},
      {"an address with a shell character", -1, kWan, "tcp:10.0.0.1;reboot:6653", 0, 2, "", false,
       "1", kController},
      {"an address without a port", -1, kWan, "tcp:10.0.0.1", 0, 2, "", false, "1", kController},
      {"a 40-character WAN", -1, std::string(40, 'w'), kController, 0, 2, "", false, "1",
       kController},
      {"a WAN that reads as an option", -1, "--help", kController, 0, 2, "", false, "1", kController},
      {"a WAN that starts with a dash", -1, "-wan", kController, 0, 2, "", false, "1", kController},
      {"an address that reads as an option", -1, kWan, "--controller", 0, 2, "", false, "1",
       kController},
      {"a refused restart still saves", 0, kWan, kController, 1, 1, "sdnagent restart\n", true, "0",
       kController},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    control_standin(root(), "sdnagent", "status", std::to_string(c.agent_status));
    const int64_t before = journal_end();
    agent_calls();
    const std::string text = c.result == 0 ? "Success" : c.result == 1 ? "Operation refused"
                                                                        : "Invalid argument";
    EXPECT_EQ(set_onu(c.enable, c.wan, c.controller),
              "(" + std::to_string(c.result) + ", '" + text + "')");
    EXPECT_EQ(agent_calls(), c.agent);
    EXPECT_EQ(saves_since(before), c.saved ? std::vector<int>{1} : std::vector<int>{});
    EXPECT_EQ(setting("sdn.Enable"), c.stored_enable);
    EXPECT_EQ(setting("sdn.ControllerAddress"), c.stored_controller);
  }
  EXPECT_EQ(method(kOnu, kOnuInterface, "GetONUInfo", nullptr),
            "(0, '0000a43e510c2210', '2_INTERNET_R_VID_41', 'tcp:10.64.0.20:6653', 0, 'Success')");
  mib::fail_accessor("wqxsdn_get_mib_property", WQXSDN_PARM_CONADDR);
  EXPECT_EQ(method(kOnu, kOnuInterface, "GetONUInfo", nullptr),
            "(0, '0000a43e510c2210', '2_INTERNET_R_VID_41', '', 0, 'Success')");
}

// Stored values written around the bus are checked again before they become
// the agent's arguments.
TEST_F(SdnTest, AStoredValueThatReadsAsAnOptionNeverReachesTheAgent) {
  agent_calls();
  for (const char *wan : {"--help", "-h"}) {
    mib::set_setting("sdn.OFWan", wan);
    EXPECT_EQ(wqxsdn_reconfig_controller(), 1) << wan;
  }
  mib::set_setting("sdn.OFWan", kWan);
  mib::set_setting("sdn.ControllerAddress", "--controller=tcp:1.2.3.4:1");
  EXPECT_EQ(wqxsdn_reconfig_controller(), 1);
  EXPECT_EQ(agent_calls(), "");
  mib::set_setting("sdn.ControllerAddress", kController);
  EXPECT_EQ(wqxsdn_reconfig_controller(), 0);
  EXPECT_EQ(agent_calls(), std::string("sdnagent reconfigure --controller ") + kController + " --wan " + kWan + "\n");
}

// The agent's program runs while the main loop serves other calls; the
// caller gets its answer, and the settings are saved, once it ended.
TEST_F(SdnTest, SetOnuInfoAnswersWhenTheAgentIsDoneWithoutHoldingUpOtherCalls) {
  control_standin(root(), "sdnagent", "hold");
  const int64_t before = journal_end();
  std::atomic<bool> answered{false};
  std::string reply;
  std::thread caller([&] {
    reply = set_onu(1, kWan, kController);
    answered = true;
  });
  // Wait until the agent was started, then ask something else.
  wait_for_text(root().path(path::kStandinLog), "sdnagent restart");
  EXPECT_EQ(method(kOnu, kOnuInterface, "GetONUInfo", nullptr),
            "(1, '0000a43e510c2210', '2_INTERNET_R_VID_41', 'tcp:10.64.0.20:6653', 0, 'Success')");
  EXPECT_FALSE(answered.load());
  EXPECT_THAT(saves_since(before), IsEmpty());
  release_standin(root(), "sdnagent");
  caller.join();
  EXPECT_EQ(reply, "(0, 'Success')");
  EXPECT_EQ(saves_since(before), std::vector<int>{1});

  // A program that does not end is killed at its time-out and counts as refused.
  control_standin(root(), "sdnagent", "hold");
  EXPECT_EQ(set_onu(0, kWan, kController), "(1, 'Operation refused')");
  release_standin(root(), "sdnagent");
  EXPECT_EQ(saves_since(before), (std::vector<int>{1, 1}));
}

TEST_F(SdnTest, PortsAreCheckedThenBoundOrUnboundWhileTheAgentRuns) {
  int64_t before = journal_end();
  EXPECT_EQ(ports("AddPorttoSDN", port_map({{"eth1", 1}})), "(101, 'SDN agent not running')");
  EXPECT_EQ(ports("RemovePortFromSDN", port_map({{"all", 0}})), "(101, 'SDN agent not running')");
  EXPECT_EQ(sdn_info(), "(@a{su} {}, 0, 'Success')");
  EXPECT_THAT(saves_since(before), IsEmpty());

  agent_running(true);
  const struct {
    const char *method;
    GVariant *entries;
    const char *reply;
    const char *bound_after;
  } steps[] = {
      {"AddPorttoSDN", port_map({{"LAN1", 1}, {"LAN3", 3}}), "(0, 'Success')", "LAN1,LAN3"},
      {"AddPorttoSDN", port_map({{"LAN2", 2}, {"LAN1", 1}}), "(4, 'Port already in SDN')",
       "LAN1,LAN3"},
      {"AddPorttoSDN", port_map({{"LAN2", 9}}), "(3, 'No such port')", "LAN1,LAN3"},
      {"RemovePortFromSDN", port_map({{"LAN2", 2}}), "(5, 'Port not in SDN')", "LAN1,LAN3"},
      {"RemovePortFromSDN", port_map({{"LAN3", 3}}), "(0, 'Success')", "LAN1"},
      // The entries before "all" are checked; then every port is bound.
      {"AddPorttoSDN", port_map({{"LAN1", 1}, {"all", 0}}), "(4, 'Port already in SDN')", "LAN1"},
      {"AddPorttoSDN", port_map({{"LAN2", 2}, {"LAN4", 4}, {"all", 0}, {"nonsense", 7}}),
       "(0, 'Success')", "LAN1,LAN2,LAN3,LAN4,SSID1,SSID5"},
      {"RemovePortFromSDN", port_map({{"all", 0}}), "(0, 'Success')", ""},
  };
  for (const auto &step : steps) {
    g_autoptr(GVariant) entries = g_variant_ref_sink(step.entries);
    SCOPED_TRACE(std::string(step.method) + " " + printed(entries));
    before = journal_end();
    EXPECT_EQ(ports(step.method, g_variant_ref(entries)), step.reply);
    EXPECT_EQ(setting("sdn.BoundPorts"), step.bound_after);
    const bool ok = std::string(step.reply).starts_with("(0,");
    EXPECT_EQ(saves_since(before), ok ? std::vector<int>{2} : std::vector<int>{});
  }

  ASSERT_EQ(ports("AddPorttoSDN", port_map({{"LAN4", 4}, {"SSID1", 5}})), "(0, 'Success')");
  EXPECT_EQ(sdn_info(), "({'LAN4': uint32 4, 'SSID1': 5}, 0, 'Success')");
  agent_running(false);
  EXPECT_EQ(sdn_info(), "(@a{su} {}, 0, 'Success')");
  EXPECT_EQ(method(kPorts, kPortsInterface, "GetPortList", nullptr),
            "({'LAN1': uint32 1, 'LAN2': 2, 'LAN3': 3, 'LAN4': 4, 'SSID1': 5, 'SSID5': 6}, 0, "
            "'Success')");
}

// The objects have no properties: their handlers refuse every name.
TEST_F(SdnTest, PropertiesAreRefusedWithTheirName) {
  EXPECT_THAT(method(kOnu, "org.freedesktop.DBus.Properties", "Get",
                     g_variant_new("(ss)", kOnuInterface, "Enable")),
              HasSubstr("Enable"));
  loop_->run([] {
    g_autoptr(GError) read_error = nullptr;
    EXPECT_EQ(sdn_ports_handle_get_property(nullptr, nullptr, kPorts, kPortsInterface, "Ports",
                                            &read_error, nullptr),
              nullptr);
    ASSERT_NE(read_error, nullptr);
    EXPECT_STREQ(read_error->message, "invalid value of Ports");
    g_autoptr(GError) write_error = nullptr;
    g_autoptr(GVariant) value = g_variant_ref_sink(g_variant_new_int32(1));
    EXPECT_FALSE(sdn_onuinfo_handle_set_property(nullptr, nullptr, kOnu, kOnuInterface, "Enable",
                                                 value, &write_error, nullptr));
    ASSERT_NE(write_error, nullptr);
    EXPECT_STREQ(write_error->message, "invalid value of Enable");
  });
}

}  // namespace
}  // namespace igd1::test
