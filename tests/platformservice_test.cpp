// The platform service object over the bus, against the SQLite store.

#include "mib_api.h"
#include "object_client.h"
#include "platformservice.h"

namespace igd1::test {
namespace {

constexpr char kPath[] = "/com/wqx/igd1/Ovatrix/PlatformService";
constexpr char kInterface[] = "com.wqx.igd1.PlatformService";
constexpr uint32_t kNotice = MIB_CFG_PLATFORM_SERVICE;

constexpr ObjectUnderTest kService{kPath, kInterface};
using PlatformServiceTest = OneObjectTest<kService>;

TEST_F(PlatformServiceTest, WritesAreCheckedNoticedAndAnnouncedAsEachPropertySays) {
  const struct {
    const char *name;
    std::string value;  // as GVariant text
    bool accepted, announced;
  } cases[] = {
      {"Ability", "uint32 2", false, false},
      {"Ability", "uint32 1", true, true},
      {"Heartbeat", "uint32 30", true, false},
      {"LocalPort", "uint32 18000", true, true},
      {"DistStatus", "byte 0x00", false, false},
      {"DistStatus", "byte 0x06", false, false},
      {"OperStatus", "byte 0x06", true, false},
      {"PluginStatus", "byte 0x07", false, false},
      {"DistAddr", "'dist.example.net:70000'", false, false},
      {"DistAddr", "'https://dist2.example.net'", true, true},
      {"BSSAddr", "'bss.example.net:81'", true, true},
      {"OperAddr", "'10.0.0.8:9090'", true, false},
      {"Version", "'2.2.0'", true, false},
      {"DistErrorMsg", "'" + std::string(256, 'e') + "'", false, false},
      {"DistErrorMsg", "'bad\\ttab'", false, false},
  };
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  for (const auto &c : cases) {
    Variant value(g_variant_parse(nullptr, c.value.c_str(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(value) << c.value;
    const std::string shown = printed(value.get());
    int64_t before = journal_end();
    EXPECT_EQ(write(c.name, value.get()),
              c.accepted ? Error() : InvalidArgs("Invalid parameter value"))
        << c.name << " " << shown;
    if (!c.accepted) {
      EXPECT_TRUE(notices_since(before).empty()) << c.name;
    } else {
      EXPECT_EQ(read(c.name), shown);
      EXPECT_THAT(notices_since(before), ElementsAre(Pair(kNotice, 255))) << c.name;
    }
    auto signal = watcher.wait(std::chrono::milliseconds(c.announced ? 3000 : 150));
    EXPECT_EQ(printed(signal.body.get()),
              c.announced ? "('com.wqx.igd1.PlatformService', {'" + std::string(c.name) + "': <" +
                                shown + ">}, @as [])"
                          : "<null>")
        << c.name << " " << shown;
  }
}

TEST_F(PlatformServiceTest, ReadOnlyPropertiesAreRefusedByNameAndByTheBus) {
  g_autoptr(GError) error = nullptr;
  gboolean ok = TRUE;
  Variant value(g_variant_ref_sink(g_variant_new_string("mine")));
  loop_->run([&] {
    ok = platformservice_handle_set_property(host_->connection(), nullptr, kPath, kInterface,
                                             "InitSSID", value.get(), &error, nullptr);
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(error ? error->message : "", std::string("invalid property InitSSID"));
  EXPECT_EQ(write(kPath, kInterface, "InitSSID", g_variant_new_string("mine")).first, kInvalidArgs);
  EXPECT_EQ(read("InitSSID"), "'WQX-2210'");
}

TEST_F(PlatformServiceTest, MultiWriteSkipsRefusedEntriesAndAnnouncesTheRestOnce) {
  SignalWatcher watcher(client(), kProps, "PropertiesChanged", kPath);
  int64_t before = journal_end();
  ASSERT_EQ(set_multi(kPath, kInterface, dictionary({{"Port", g_variant_new_uint32(8080)},
                                                    {"DistStatus", g_variant_new_byte(9)},
                                                    {"Heartbeat", g_variant_new_uint32(45)}})),
            Error());
  EXPECT_EQ(watcher.next(), change_body(kInterface, "{'Port': <uint32 8080>}"));
  EXPECT_FALSE(watcher.wait(std::chrono::milliseconds(200)).body);
  EXPECT_EQ(read("Port"), "uint32 8080");
  EXPECT_EQ(read("Heartbeat"), "uint32 45");
  EXPECT_EQ(read("DistStatus"), "byte 0x03");
  EXPECT_THAT(notices_since(before), ElementsAre(Pair(kNotice, 255)));

  mib::fail_accessor("platformservice_set_mib_property", 5);
  EXPECT_EQ(write(kPath, kInterface, "Port", g_variant_new_uint32(1)), InvalidArgs("set Port fail"));
}

}  // namespace
}  // namespace igd1::test
