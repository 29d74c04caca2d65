// igd1-mib set and a bus Set of the property stored under the key check a
// value alike: one refuses exactly what the other refuses, with the same
// text, over properties of several modules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/bus_fixture.h"
#include "harness/program.h"

namespace igd1::test {
namespace {

class StoreChecksTest : public BusTest {
 protected:
  // igd1-mib set on the store the host serves: its exit status and what it said.
  ProgramRun cli_set(const std::string &key, const std::string &value) {
    return run_program({IGD1_BUILD_DIR "/igd1-mib", "--store", mib::store_path(), "set", key, value},
                       {{"IGD1_MIB_FAIL", ""}});
  }
};

TEST_F(StoreChecksTest, IgdMibSetAndTheBusAgree) {
  const auto [rule, added] = add("/com/wqx/igd1/Config/PortMapping");
  ASSERT_EQ(added, Error());
  struct Case {
    const char *path;
    const char *interface;
    const char *property;
    std::string bus_value;  // GVariant text
    const char *key;
    std::string stored;     // the same value in the store's form
  };
  const std::string long_text(100, 's');
  const std::vector<Case> cases = {
      {"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer", "LeaseTime", "uint32 5",
       "dhcpserver.LeaseTime", "5"},
      {"/com/wqx/igd1/Config/DHCPServer", "com.wqx.igd1.DHCPServer", "LeaseTime", "uint32 604800",
       "dhcpserver.LeaseTime", "604800"},
      {"/com/wqx/igd1/Config/Peripheral/LED", "com.wqx.igd1.LED", "StartTime", "'25:00'",
       "led.StartTime", "25:00"},
      {"/com/wqx/igd1/Config/Peripheral/LED", "com.wqx.igd1.LED", "StartTime", "'06:30'",
       "led.StartTime", "06:30"},
      {"/com/wqx/igd1/Config/Peripheral/LED", "com.wqx.igd1.LED", "Status", "'off'", "led.Status",
       "0"},
      {"/com/wqx/igd1/Ovatrix/PlatformService", "com.wqx.igd1.PlatformService", "SSN",
       "'" + long_text + "'", "platform.SSN", long_text},
      {"/com/wqx/igd1/Ovatrix/PlatformService", "com.wqx.igd1.PlatformService", "SSN", "'A1'",
       "platform.SSN", "A1"},
      {rule.c_str(), "com.wqx.igd1.PortMapping", "ExternalPort", "uint32 0",
       "portmapping[1].ExternalPort", "0"},
      {rule.c_str(), "com.wqx.igd1.PortMapping", "ExternalPort", "uint32 8080",
       "portmapping[1].ExternalPort", "8080"},
      {rule.c_str(), "com.wqx.igd1.PortMapping", "PortMappingProtocol", "'UDP'",
       "portmapping[1].Protocol", "2"},
  };
  size_t refusals = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.stored);
    const ProgramRun cli = cli_set(c.key, c.stored);
    const Error bus = write(c.path, c.interface, c.property, g_variant_new_parsed(c.bus_value.c_str()));
    if (bus == Error()) {
      EXPECT_EQ(cli.status, 0) << cli.err;
      continue;
    }
    ++refusals;
    EXPECT_EQ(cli.status, 1);
    EXPECT_EQ(cli.err, "igd1-mib: refused value '" + c.stored + "' for " + c.key + ": " + bus.second + "\n");
  }
  EXPECT_EQ(refusals, 4u) << "the table lost the values both ways refuse";
}

// A value whose read a client could write back, but which no write leaves
// in the store: a light's switch of 7 reads as 'ON', a
// rule's enable byte of 7 as true, and either write stores 0 or 1.
TEST_F(StoreChecksTest, IgdMibSetRefusesValuesNoBusWriteStores) {
  const auto [rule, added] = add("/com/wqx/igd1/Config/PortMapping");
  ASSERT_EQ(added, Error());
  const std::string before = setting("led.Status");
  for (const char *key : {"led.Status", "portmapping[1].Enable"}) {
    SCOPED_TRACE(key);
    const ProgramRun refused = cli_set(key, "7");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind(std::string("igd1-mib: refused value '7' for ") + key + ": '7' reads as ", 0), 0u)
        << refused.err;
    EXPECT_NE(refused.err.find("stores in another form"), std::string::npos) << refused.err;
  }
  EXPECT_EQ(setting("led.Status"), before);
  // Both forms a write stores pass, whatever is stored at the time.
  for (const char *value : {"1", "0", "1"}) {
    EXPECT_EQ(cli_set("led.Status", value).status, 0) << value;
    EXPECT_EQ(setting("led.Status"), value);
    EXPECT_EQ(cli_set("portmapping[1].Enable", value).status, 0) << value;
  }
  EXPECT_EQ(cli_set("led.Status", "7").status, 1) << "refused with the switch on too";
}

}  // namespace
}  // namespace igd1::test
