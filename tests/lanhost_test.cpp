// LAN hosts over the bus: the household the store starts with, the read
// rules of the device interface and its two forms, writes with their checks
// and the control status the table works out, the delete guard, the
// manager's queries, the kept GetManagedObjects reply under concurrent
// invalidation, and the neighbour feed with a fake source.
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "harness/bus_fixture.h"
#include "lan_neighbours.h"
#include "lanhost.h"
#include "mib_lanhost.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/LANHosts";
constexpr char kDevice[] = "com.wqx.igd1.LANHost";
constexpr char kManagerInterface[] = "com.wqx.igd1.LANHostManager";

std::string host(unsigned n) { return std::string(kManager) + "/" + std::to_string(n); }

class LanHostTest : public BusTest {
 protected:
  void TearDown() override {
    set_service_type(0);
    BusTest::TearDown();
  }
  // The host's service type, changed on the main loop, where it is read.
  void set_service_type(int type) {
    loop_->run([type] { host::settings().service_type = type; });
  }
  Variant value(unsigned n, const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant got = get_property(host(n).c_str(), kDevice, name, &error);
    EXPECT_NE(got, nullptr) << name << ": " << (error != nullptr ? error->message : "");
    return got;
  }
  std::string shown(unsigned n, const char *name) {
    Variant got = value(n, name);
    return got ? printed(got.get()) : "<none>";
  }
  Error set(unsigned n, const char *name, GVariant *v) { return write(host(n), kDevice, name, v); }
  Error set_multi(unsigned n, GVariant *entries) {
    return BusTest::set_multi(host(n), kDevice, entries);
  }
  Error call_error(const char *path, const char *interface, const char *method, GVariant *args,
                   Variant *reply = nullptr) {
    g_autoptr(GError) error = nullptr;
    Variant got = call(path, interface, method, args, &error);
    if (reply != nullptr) *reply = std::move(got);
    return remote_error(error);
  }
  static std::string cell(unsigned n, const char *column) { return BusTest::cell("lanhost", n, column); }
  Variant managed_objects() {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(kManager, kFreedesktopManager, "GetManagedObjects", nullptr, &error);
    EXPECT_NE(reply, nullptr);
    return reply;
  }
  // DevName of every host in a listing, by path.
  static std::map<std::string, std::string> names_in(GVariant *reply) {
    std::map<std::string, std::string> names;
    g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, objects);
    const char *path = nullptr;
    GVariant *interfaces = nullptr;
    while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
      g_autoptr(GVariant) properties = g_variant_lookup_value(interfaces, kDevice, nullptr);
      const char *name = "";
      if (properties != nullptr) g_variant_lookup(properties, "DevName", "&s", &name);
      names[path] = name;
      g_variant_unref(interfaces);
    }
    return names;
  }
};

TEST_F(LanHostTest, TheHouseholdIsPublishedWithTheReadRules) {
  // Ten devices, seven of them on the LAN, none under control.
  EXPECT_EQ(BusTest::shown(kManager, kManagerInterface, "LANHostNumber"), "uint32 10");
  EXPECT_EQ(BusTest::shown(kManager, kManagerInterface, "LANHostOnlineNumber"), "uint32 7");
  EXPECT_EQ(BusTest::shown(kManager, kManagerInterface, "ControlListNumber"), "uint32 0");
  EXPECT_EQ(names_in(managed_objects().get()).size(), 10u);

  // A MAC stored in lower case reads as 12 upper-case digits.
  ASSERT_TRUE(mib::set_cell("lanhost", 1, "MAC", "0a:1b:2c:3d:4e:5f"));
  EXPECT_EQ(shown(1, "MAC"), "'0A1B2C3D4E5F'");
  // A name that is not UTF-8 reads as "", as do the other texts.
  ASSERT_TRUE(mib::set_cell("lanhost", 1, "DevName", "caf\xe9"));
  ASSERT_TRUE(mib::set_cell("lanhost", 1, "OS", "\xff\xfe"));
  EXPECT_EQ(shown(1, "DevName"), "''");
  EXPECT_EQ(shown(1, "OS"), "''");
  EXPECT_EQ(shown(1, "IP"), "'192.168.1.23'");

  // The negotiated rate in Mbit/s; none measured reads "".
  set_service_type(1);
  ASSERT_TRUE(mib::set_cell("lanhost", 1, "NegoRate", "866000"));
  EXPECT_EQ(shown(1, "Speed"), "'866M'");
  EXPECT_EQ(shown(5, "Speed"), "''");
  EXPECT_EQ(shown(1, "RSSI"), "-48");
  set_service_type(0);

  // Byte counters read 0 while statistics are off.
  EXPECT_EQ(shown(2, "RxBytes"), "uint64 9310022410");
  ASSERT_TRUE(set_property(kManager, kManagerInterface, "EnableStats", g_variant_new_boolean(false)));
  EXPECT_EQ(shown(2, "RxBytes"), "uint64 0");
  EXPECT_EQ(shown(2, "TxBytes"), "uint64 0");
  EXPECT_EQ(shown(2, "PktTotal"), "uint64 8775754");

  // Paths are strict; a name the table does not know is refused.
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(get_property((std::string(kManager) + "/11").c_str(), kDevice, "MAC", &error), nullptr);
  EXPECT_EQ(call_error(host(1).c_str(), "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", kDevice, "Nothing"))
                .first,
            kInvalidArgs);
}

TEST_F(LanHostTest, TheSameChildServesTheFormOfTheCurrentServiceType) {
  auto has = [](const std::string &xml, const char *needle) {
    return xml.find(needle) != std::string::npos;
  };
  std::string basic = introspect(host(3).c_str());
  EXPECT_TRUE(has(basic, "name=\"InternetAccess\""));
  EXPECT_FALSE(has(basic, "SetAttachSpeedup"));
  EXPECT_FALSE(has(basic, "name=\"UsBandwidth\""));
  g_autoptr(GError) error = nullptr;
  Variant all = call(host(3).c_str(), "org.freedesktop.DBus.Properties", "GetAll",
                     g_variant_new("(s)", kDevice), &error);
  ASSERT_NE(all, nullptr);
  g_autoptr(GVariant) basic_values = g_variant_get_child_value(all.get(), 0);
  EXPECT_EQ(g_variant_n_children(basic_values), 33u);

  set_service_type(1);
  std::string extended = introspect(host(3).c_str());
  EXPECT_TRUE(has(extended, "SetAttachSpeedup"));
  EXPECT_TRUE(has(extended, "name=\"UsBandwidth\""));
  EXPECT_FALSE(has(extended, "name=\"InternetAccess\""));
  all = call(host(3).c_str(), "org.freedesktop.DBus.Properties", "GetAll",
             g_variant_new("(s)", kDevice), &error);
  ASSERT_NE(all, nullptr);
  g_autoptr(GVariant) extended_values = g_variant_get_child_value(all.get(), 0);
  EXPECT_EQ(g_variant_n_children(extended_values), 36u);
  // The listing follows too.
  Variant listing = managed_objects();
  g_autoptr(GVariant) objects = g_variant_get_child_value(listing.get(), 0);
  g_autoptr(GVariant) first = g_variant_get_child_value(objects, 0);
  EXPECT_THAT(printed(first), HasSubstr("'HostClass'"));
  EXPECT_THAT(printed(first), Not(HasSubstr("'InternetAccess'")));
}

TEST_F(LanHostTest, WritesAreCheckedStoredAndAnnouncedWithTheControlStatus) {
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", host(2).c_str());

  EXPECT_EQ(set(2, "InternetAccess", g_variant_new_byte(3)),
            Error(kInvalidArgs, "InternetAccess value is err"));
  EXPECT_EQ(cell(2, "InternetAccess"), "1");
  // Blocking the device puts it under control: one signal with both.
  ASSERT_EQ(set(2, "InternetAccess", g_variant_new_byte(0)), Error());
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.LANHost', {'InternetAccess': <byte 0x00>, 'ControlStatus': <true>}, "
            "@as [])");
  EXPECT_EQ(cell(2, "ControlStatus"), "1");
  // The same value again: nothing stored, nothing announced.
  ASSERT_EQ(set(2, "InternetAccess", g_variant_new_byte(0)), Error());

  // Brand, model, OS and type change silently; the type is stored as its number.
  ASSERT_EQ(set(2, "Brand", g_variant_new_string("Acme")), Error());
  EXPECT_EQ(cell(2, "Brand"), "Acme");
  ASSERT_EQ(set(2, "DevType", g_variant_new_string("Phone")), Error());
  EXPECT_EQ(cell(2, "DevType"), "1");
  EXPECT_EQ(set(2, "DevType", g_variant_new_string("Toaster")),
            Error(kInvalidArgs, "invalid property value"));
  EXPECT_EQ(set(2, "DevName", g_variant_new_string(std::string(64, 'n').c_str())).first,
            kInvalidArgs);
  ASSERT_EQ(set(2, "DevName", g_variant_new_string("Office laptop")), Error());
  EXPECT_EQ(changes.next(), change_body(kDevice, "{'DevName': <'Office laptop'>}"));
  EXPECT_EQ(changes.pending(), 0u);

  // A multi-write stores what it can and skips the rest: one signal.
  ASSERT_EQ(set_multi(2, dictionary({{"InternetAccess", g_variant_new_byte(7)},
                                     {"MaxUSBandwidth", g_variant_new_uint32(2048)},
                                     {"Nothing", g_variant_new_uint32(1)},
                                     {"InternetAccess", g_variant_new_byte(1)}})),
            Error());
  EXPECT_EQ(cell(2, "MaxUSBandwidth"), "2048");
  EXPECT_EQ(cell(2, "InternetAccess"), "1");
  EXPECT_EQ(cell(2, "ControlStatus"), "1");  // the limit keeps it under control
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.LANHost', {'MaxUSBandwidth': <uint32 2048>, 'InternetAccess': "
            "<byte 0x01>}, @as [])");

  // The extended names write the same fields, on service type 1 only.
  ASSERT_EQ(set_multi(2, dictionary({{"UsBandwidth", g_variant_new_uint32(0)}})), Error());
  EXPECT_EQ(cell(2, "MaxUSBandwidth"), "2048");
  set_service_type(1);
  ASSERT_EQ(set(2, "UsBandwidth", g_variant_new_uint32(0)), Error());
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.LANHost', {'UsBandwidth': <uint32 0>, 'ControlStatus': <false>}, "
            "@as [])");
  set_service_type(0);
  EXPECT_EQ(shown(2, "MaxUSBandwidth"), "uint32 0");

  // A refused commit stores nothing and says so.
  mib::fail_accessor("lan_host_update_entry_mib");
  EXPECT_EQ(set(2, "DevName", g_variant_new_string("never")),
            Error(kInvalidArgs, "fail to update MIB entry"));
  mib::clear_failures();
  EXPECT_EQ(cell(2, "DevName"), "Office laptop");
}

TEST_F(LanHostTest, DevicesAreNeverAddedAndActiveOnesStay) {
  EXPECT_EQ(add(kManager).second, Error(kFailed, "##########not support to AddObject yet"));
  EXPECT_EQ(remove(kManager, host(1)),
            Error(kManagerError, "the Active of this dev is ture,not support to del!"));
  // Inactive but under control stays too.
  ASSERT_TRUE(mib::set_cell("lanhost", 5, "ControlStatus", "1"));
  EXPECT_EQ(remove(kManager, host(5)).second,
            "the Active of this dev is ture,not support to del!");
  EXPECT_EQ(remove(kManager, host(77)), Error(kManagerError, "DeleteObject object path error"));
  EXPECT_EQ(remove(kManager, "/com/wqx/igd1/Config/PortMapping/1").second,
            "DeleteObject object path error");

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kManager);
  EXPECT_EQ(remove(kManager, host(7)), Error());
  EXPECT_EQ(removed.wait().path, kManager);
  EXPECT_EQ(cell(7, "MAC"), "<missing>");
  EXPECT_EQ(names_in(managed_objects().get()).count(host(7)), 0u);
  // During a conformance run active devices may go.
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(remove(kManager, host(1)), Error());
}

TEST_F(LanHostTest, TheManagerFindsAndListsDevices) {
  Variant reply;
  // Case-insensitive on the first 12 characters; separators do not match.
  EXPECT_EQ(call_error(kManager, kManagerInterface, "GetLANHostPathbyMAC",
                       g_variant_new("(s)", "3c52826e109a"), &reply),
            Error());
  EXPECT_EQ(printed(reply.get()), "(objectpath '/com/wqx/igd1/Config/LANHosts/2', uint32 0, '')");
  EXPECT_EQ(call_error(kManager, kManagerInterface, "GetLANHostPathbyMAC",
                       g_variant_new("(s)", "3C52826E109Axyz"), &reply),
            Error());
  EXPECT_EQ(call_error(kManager, kManagerInterface, "GetLANHostPathbyMAC",
                       g_variant_new("(s)", "3c:52:82:6e:10:9a")),
            Error(kManagerInterface, "the mac is not exist"));

  // The snapshot: active devices only, with the summary of the service type.
  EXPECT_EQ(call_error(kManager, kManagerInterface, "GetOnlineDevicesSnapShot", nullptr, &reply),
            Error());
  EXPECT_THAT(printed(reply.get()), EndsWith("uint32 0, 'success')"));
  std::map<std::string, std::string> online = names_in(reply.get());
  EXPECT_EQ(online.size(), 7u);
  EXPECT_EQ(online.count(host(5)), 0u);
  g_autoptr(GVariant) devices = g_variant_get_child_value(reply.get(), 0);
  g_autoptr(GVariant) one = g_variant_lookup_value(devices, host(2).c_str(), nullptr);
  g_autoptr(GVariant) summary = g_variant_lookup_value(one, kDevice, nullptr);
  EXPECT_EQ(g_variant_n_children(summary), 11u);
  EXPECT_TRUE(g_variant_lookup(summary, "Port", "y", nullptr));

  // The full list: every property of the active devices.
  EXPECT_EQ(call_error(kManager, kManagerInterface, "GetOnlineDeviceList", nullptr, &reply), Error());
  EXPECT_EQ(names_in(reply.get()), online);
  g_autoptr(GVariant) full_devices = g_variant_get_child_value(reply.get(), 0);
  g_autoptr(GVariant) full = g_variant_lookup_value(full_devices, host(2).c_str(), nullptr);
  g_autoptr(GVariant) properties = g_variant_lookup_value(full, kDevice, nullptr);
  EXPECT_EQ(g_variant_n_children(properties), 33u);

  // Manager settings: a change is announced, the same value is not.
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kManager);
  ASSERT_TRUE(set_property(kManager, kManagerInterface, "ControlListMaxNumber",
                           g_variant_new_uint32(16)));
  ASSERT_TRUE(set_property(kManager, kManagerInterface, "ControlListMaxNumber",
                           g_variant_new_uint32(16)));
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('com.wqx.igd1.LANHostManager', {'ControlListMaxNumber': <uint32 16>}, @as [])");
  EXPECT_EQ(changes.pending(), 0u);
  EXPECT_FALSE(set_property(kManager, kManagerInterface, "LANHostNumber", g_variant_new_uint32(1)));
}

TEST_F(LanHostTest, SpeedUpIsCheckedAgainstTheDevice) {
  set_service_type(1);
  auto speedup = [&](unsigned n, const char *mac, guchar flag) {
    Variant reply;
    EXPECT_EQ(call_error(host(n).c_str(), kDevice, "SetAttachSpeedup",
                         g_variant_new("(sy)", mac, flag), &reply),
              Error());
    return reply ? printed(reply.get()) : "";
  };
  EXPECT_EQ(speedup(2, "nonsense", 2), "(uint32 1, 'invalid speedup value')");
  EXPECT_EQ(speedup(2, "3c52826e109", 1), "(uint32 1, 'invalid mac address')");
  EXPECT_EQ(speedup(2, "3c52826e109g", 1), "(uint32 1, 'invalid mac address')");
  EXPECT_EQ(speedup(2, "a85b102c4401", 1),
            "(uint32 1, 'the mac is not match with the host under the object')");
  EXPECT_EQ(speedup(2, "3C52826E109A", 1), "(uint32 0, 'success')");
  EXPECT_EQ(shown(2, "Speedupstate"), "byte 0x01");
  set_service_type(0);
  // The basic form has no methods.
  EXPECT_EQ(call_error(host(2).c_str(), kDevice, "SetAttachSpeedup",
                       g_variant_new("(sy)", "3C52826E109A", 0))
                .first,
            "org.freedesktop.DBus.Error.UnknownMethod");
}

TEST_F(LanHostTest, TheListingIsKeptUntilTheTableChanges) {
  // The reply the start-up queued may not be built yet on a busy machine:
  // one is kept now, on the loop, as a notice would keep it.
  loop_->run([] {
    if (GVariant *kept = update_lan_host_send_cache(0)) g_variant_unref(kept);
  });
  Variant first = managed_objects();
  ASSERT_EQ(names_in(first.get())[host(4)], "Kitchen plug");
  // Another process writes the store: the kept reply still holds.
  ASSERT_TRUE(mib::set_cell("lanhost", 4, "DevName", "Plug by the fridge"));
  EXPECT_EQ(names_in(managed_objects().get())[host(4)], "Kitchen plug");
  // Told of it, from another thread as the notification thread would.
  std::thread([] {
    if (GVariant *kept = update_lan_host_send_cache(0)) g_variant_unref(kept);
  }).join();
  EXPECT_EQ(names_in(managed_objects().get())[host(4)], "Plug by the fridge");
  // Without a kept reply every call reads the table.
  EXPECT_EQ(update_lan_host_send_cache(1), nullptr);
  ASSERT_TRUE(mib::set_cell("lanhost", 4, "DevName", "Plug 2"));
  EXPECT_EQ(names_in(managed_objects().get())[host(4)], "Plug 2");
  ASSERT_TRUE(mib::set_cell("lanhost", 4, "DevName", "Plug 3"));
  EXPECT_EQ(names_in(managed_objects().get())[host(4)], "Plug 3");
  // A bus write renews it.
  ASSERT_EQ(set(4, "DevName", g_variant_new_string("Plug 4")), Error());
  EXPECT_EQ(names_in(managed_objects().get())[host(4)], "Plug 4");
}

// Another thread renames every device in one transaction and drops the kept
// reply about a thousand times a second while clients read the listing:
// every reply shows one generation of names.
TEST_F(LanHostTest, ConcurrentInvalidationNeverTearsAListing) {
  std::atomic<bool> done{false};
  std::atomic<int> generations{0};
  // Every state of the table from here on has one name throughout.
  auto rename_all = [](int generation) {
    const std::string name = "generation " + std::to_string(generation);
    if (!mib::begin_transaction()) return false;
    for (unsigned n = 1; n <= 10; ++n) mib::set_cell("lanhost", n, "DevName", name);
    return mib::commit_transaction();
  };
  ASSERT_TRUE(rename_all(0));
  EXPECT_EQ(update_lan_host_send_cache(1), nullptr);
  std::thread writer([&] {
    for (int generation = 1; !done; ++generation) {
      if (!rename_all(generation)) continue;
      generations = generation;
      for (int i = 0; i < 5 && !done; ++i) {
        if (GVariant *kept = update_lan_host_send_cache(i % 2)) g_variant_unref(kept);
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  GDBusConnection *second = connect_private_bus();
  ASSERT_NE(second, nullptr);
  std::set<std::string> seen;
  int replies = 0;
  int torn = 0;
  // Until the listings have met several generations, however the threads
  // were scheduled.
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < end && torn == 0 && (generations <= 10 || seen.size() <= 2)) {
    for (GDBusConnection *connection : {client(), second}) {
      Variant reply = call_service(connection, kManager, kFreedesktopManager, "GetManagedObjects",
                                   nullptr);
      std::set<std::string> names;
      if (reply)
        for (const auto &[path, name] : names_in(reply.get())) names.insert(name);
      EXPECT_EQ(names.size(), 1u) << (reply ? printed(reply.get()) : "no reply");
      if (names.size() != 1) {
        ++torn;
        break;
      }
      seen.insert(*names.begin());
      ++replies;
    }
  }
  done = true;
  writer.join();
  g_object_unref(second);
  EXPECT_GT(generations.load(), 10);
  EXPECT_GT(seen.size(), 2u) << replies << " replies";
}

// ---- the neighbour feed ----

// One RTM_NEWNEIGH message as the kernel sends it.
std::vector<char> neighbour_message(int family, uint16_t state, const void *address,
                                    size_t address_size, const uint8_t *mac, size_t mac_size) {
  std::vector<char> buffer(256, 0);
  auto *header = reinterpret_cast<nlmsghdr *>(buffer.data());
  header->nlmsg_type = RTM_NEWNEIGH;
  header->nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
  auto *neighbour = static_cast<ndmsg *>(NLMSG_DATA(header));
  neighbour->ndm_family = uint8_t(family);
  neighbour->ndm_state = state;
  auto put = [&](uint16_t type, const void *data, size_t size) {
    auto *attribute = reinterpret_cast<rtattr *>(buffer.data() + NLMSG_ALIGN(header->nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = uint16_t(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
  };
  put(NDA_DST, address, address_size);
  if (mac != nullptr) put(NDA_LLADDR, mac, mac_size);
  return buffer;
}

TEST(LanNeighbourTest, NeighbourMessagesAndLeasesMakeOneSightingPerDevice) {
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  const uint8_t v4[4] = {192, 168, 1, 77};
  uint8_t link_local[16] = {0xfe, 0x80};
  link_local[15] = 1;
  uint8_t global[16] = {0x20, 0x01, 0x0d, 0xb8};
  global[15] = 7;
  std::vector<mib::Sighting> seen;
  auto add = [&](const std::vector<char> &message) {
    return host::add_neighbour(reinterpret_cast<const nlmsghdr *>(message.data()), &seen);
  };
  EXPECT_TRUE(add(neighbour_message(AF_INET, NUD_REACHABLE, v4, 4, mac, 6)));
  EXPECT_TRUE(add(neighbour_message(AF_INET6, NUD_STALE, link_local, 16, mac, 6)));
  EXPECT_TRUE(add(neighbour_message(AF_INET6, NUD_DELAY, global, 16, mac, 6)));
  EXPECT_TRUE(add(neighbour_message(AF_INET6, NUD_STALE, link_local, 16, mac, 6)));
  // Failed, incomplete or without a link-layer address: not a device on the LAN.
  EXPECT_FALSE(add(neighbour_message(AF_INET, NUD_FAILED, v4, 4, mac, 6)));
  EXPECT_FALSE(add(neighbour_message(AF_INET, NUD_INCOMPLETE, v4, 4, mac, 6)));
  EXPECT_FALSE(add(neighbour_message(AF_INET, NUD_REACHABLE, v4, 4, nullptr, 0)));
  EXPECT_FALSE(add(neighbour_message(AF_INET, NUD_REACHABLE, v4, 4, mac, 4)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(std::memcmp(&seen[0].ipv4, v4, 4), 0);
  EXPECT_EQ(seen[0].ipv6, "2001:db8::7");

  host::apply_leases("1700000000 02:11:22:33:44:55 192.168.1.77 guest-phone 01:02\n"
                     "garbage\n"
                     "1700000000 02:99:22:33:44:55 192.168.1.78 other *\n",
                     &seen);
  EXPECT_EQ(seen[0].host_name, "guest-phone");
  host::apply_leases("1700000000 02:11:22:33:44:55 192.168.1.77 *\n", &seen);
  EXPECT_EQ(seen[0].host_name, "guest-phone");
}

// A fake source: devices come, are listed, go quiet and age out, through the
// same row callbacks and listing refresh as the system feed.
TEST_F(LanHostTest, FedDevicesAppearGoInactiveAndAgeOut) {
  std::mutex mutex;
  std::vector<mib::Sighting> source(1);
  const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
  std::memcpy(source[0].mac, mac, 6);
  source[0].ipv4 = htonl(0xC0A801C8);  // 192.168.1.200
  source[0].host_name = "guest-phone";
  source[0].wireless = true;
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kManager);
  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kManager);
  host::LanHostFeed feed(
      [&](std::vector<mib::Sighting> *seen) {
        std::lock_guard lock(mutex);
        *seen = source;
        return true;
      },
      {.interval = 50ms, .max_age = 1},
      [] {
        if (GVariant *kept = update_lan_host_send_cache(0)) g_variant_unref(kept);
      });
  EXPECT_THAT(printed(added.wait().body.get()), HasSubstr("LANHosts/11"));
  EXPECT_EQ(shown(11, "IP"), "'192.168.1.200'");
  EXPECT_EQ(shown(11, "HostName"), "'guest-phone'");
  EXPECT_EQ(shown(11, "Active"), "true");
  EXPECT_EQ(shown(1, "Active"), "false");  // the household is not there
  EXPECT_EQ(names_in(managed_objects().get())[host(11)], "guest-phone");

  {
    std::lock_guard lock(mutex);
    source.clear();
  }
  // Gone quiet: inactive, then removed once older than the age limit.
  EXPECT_TRUE(eventually([&] { return cell(11, "MAC") == "<missing>"; }));
  bool gone = false;
  for (int i = 0; i < 12 && !gone; ++i) {
    SignalWatcher::Signal next = removed.wait();
    if (next.body == nullptr) break;
    gone = printed(next.body.get()).find("LANHosts/11'") != std::string::npos;
  }
  EXPECT_TRUE(gone);
  EXPECT_EQ(names_in(managed_objects().get()).count(host(11)), 0u);
  EXPECT_GE(feed.polls(), 2u);
}

}  // namespace
}  // namespace igd1::test
