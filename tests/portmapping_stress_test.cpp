// Concurrency: igd1-mib adds and removes port-mapping rows of a running
// igd1d (announcing them with igd1-notify) while a bus client reads, writes
// and deletes the rows it finds.  Nothing may crash or hang, and once both
// stop the children on the bus are exactly the table's rows, with the
// values the store holds.  scripts/tsan.sh runs this under ThreadSanitizer.

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "harness/bus_fixture.h"

namespace igd1::test {
namespace {

constexpr char kManager[] = "/com/wqx/igd1/Config/PortMapping";
constexpr char kRowInterface[] = "com.wqx.igd1.PortMapping";
constexpr int kToolRounds = 60;

// Instance number -> ExternalPort of every port-mapping row in the store.
std::map<unsigned, std::string> table_rows() {
  std::map<unsigned, std::string> rows;
  std::istringstream dump(run_program({IGD1_BUILD_DIR "/igd1-mib", "dump"}).out);
  std::string line;
  const std::string prefix = "portmapping[";
  while (std::getline(dump, line)) {
    if (line.rfind(prefix, 0) != 0) continue;
    size_t close = line.find("].ExternalPort=");
    if (close == std::string::npos) continue;
    rows[unsigned(std::stoul(line.substr(prefix.size(), close - prefix.size())))] =
        line.substr(close + std::strlen("].ExternalPort="));
  }
  return rows;
}

// Child paths under the manager, or nothing with *alive false when the call failed.
std::vector<std::string> bus_children(GDBusConnection *client, bool *alive) {
  Variant reply = call_service(client, kManager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                               nullptr);
  *alive = reply != nullptr;
  std::vector<std::string> paths;
  if (reply == nullptr) return paths;
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply.get(), 0);
  GVariantIter iter;
  g_variant_iter_init(&iter, objects);
  const gchar *path = nullptr;
  while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, nullptr)) paths.emplace_back(path);
  return paths;
}

// A reply or a D-Bus error from the daemon; a missing reply (time-out, lost
// connection) means the daemon hung or died.
struct Answer {
  Variant reply;
  bool answered = false;
};

Answer ask(GDBusConnection *client, const std::string &path, const char *interface,
           const char *method, GVariant *args) {
  g_autoptr(GError) error = nullptr;
  Answer answer;
  answer.reply = call_service(client, path, interface, method, args, &error);
  answer.answered = answer.reply != nullptr || g_dbus_error_is_remote_error(error);
  if (!answer.answered) ADD_FAILURE() << method << " " << path << ": " << error->message;
  return answer;
}

using PortMappingStressTest = DaemonTest;

TEST_F(PortMappingStressTest, StoreToolAndBusClientAgreeAfterRacingOnOneTable) {
  DaemonProcess daemon({"--root", root_.dir()});
  ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  const std::string socket = root_.path(path::kNotifySocket);
  ASSERT_TRUE(eventually([&] { return g_file_test(socket.c_str(), G_FILE_TEST_EXISTS) != FALSE; }));

  // The store side: rows added and announced, older ones removed and
  // announced.  It goes on past its rounds until the bus side has read,
  // written and deleted at least once, however the two were scheduled.
  std::atomic<bool> tool_done{false};
  std::atomic<int> gets{0}, sets{0}, deletes{0};
  auto bus_side_did_each = [&] { return gets > 0 && sets > 0 && deletes > 0; };
  std::vector<std::string> tool_faults;
  int tool_adds = 0;
  std::thread tool([&] {
    const std::string mib_tool = IGD1_BUILD_DIR "/igd1-mib", notify = IGD1_BUILD_DIR "/igd1-notify";
    std::mt19937 random(7);
    std::vector<std::string> added;
    // Exit status 0 or 1 are answers; anything else (a signal, a sanitizer's
    // status) is a fault.
    auto check = [&](const ProgramRun &r, const std::string &what) {
      if (r.status != 0 && r.status != 1) tool_faults.push_back(what + " ended with " + std::to_string(r.status));
      return r.status == 0;
    };
    for (int round = 0; round < kToolRounds || (!bus_side_did_each() && round < 100 * kToolRounds);
         ++round) {
      ProgramRun add = run_program({mib_tool, "add", "portmapping"});
      if (check(add, "igd1-mib add")) {
        std::string instance = add.out.substr(0, add.out.find('\n'));
        ++tool_adds;
        added.push_back(instance);
        ProgramRun told = run_program({notify, "row-inserted", "portmapping", instance});
        check(told, "igd1-notify row-inserted");
        if (told.out.rfind("OK", 0) != 0 && told.out.rfind("ERR", 0) != 0)
          tool_faults.push_back("no answer to row-inserted " + instance);
      }
      if (round % 2 == 1 && !added.empty()) {
        size_t pick = random() % added.size();
        std::string instance = added[pick];
        added.erase(added.begin() + long(pick));
        // The bus client may have deleted it already.
        if (check(run_program({mib_tool, "remove", "portmapping", instance}), "igd1-mib remove")) {
          ProgramRun told = run_program({notify, "row-removed", "portmapping", instance});
          check(told, "igd1-notify row-removed");
          if (told.out.rfind("OK", 0) != 0 && told.out.rfind("ERR", 0) != 0)
            tool_faults.push_back("no answer to row-removed " + instance);
        }
      }
    }
    tool_done = true;
  });

  // The bus side, until the tool is done.
  for (unsigned turn = 0; !tool_done; ++turn) {
    bool alive = false;
    std::vector<std::string> children = bus_children(client_, &alive);
    if (!alive) {
      ADD_FAILURE() << "GetManagedObjects failed";
      break;
    }
    if (children.empty()) {
      std::this_thread::sleep_for(2ms);
      continue;
    }
    const std::string &child = children[turn % children.size()];
    Answer got = ask(client_, child, "org.freedesktop.DBus.Properties", "Get",
                     g_variant_new("(ss)", kRowInterface, "ExternalPort"));
    gets += got.reply != nullptr;
    const guint32 port = 1000 + turn % 60000;
    Answer set = ask(client_, child, "org.freedesktop.DBus.Properties", "Set",
                     g_variant_new("(ssv)", kRowInterface, "ExternalPort", g_variant_new_uint32(port)));
    sets += set.reply != nullptr;
    if (set.reply) {
      // Read back: the value written, or nothing when the row went meanwhile.
      // A re-added row of the same number starts from zero.
      Answer back = ask(client_, child, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", kRowInterface, "ExternalPort"));
      if (back.reply) {
        const std::string text = printed(back.reply.get());
        EXPECT_TRUE(text == "(<uint32 " + std::to_string(port) + ">,)" || text == "(<uint32 0>,)")
            << child << " read " << text << " after writing " << port;
      }
    }
    if (turn % 5 == 4) {
      Answer deleted = ask(client_, kManager, "com.wqx.igd1.ObjectManager", "DeleteObject",
                           g_variant_new("(o)", child.c_str()));
      deletes += deleted.reply != nullptr;
    }
    if (testing::Test::HasFailure()) break;
  }
  tool.join();
  for (const std::string &fault : tool_faults) ADD_FAILURE() << fault;
  EXPECT_GT(tool_adds, kToolRounds / 2);
  EXPECT_GT(gets.load(), 0);
  EXPECT_GT(sets.load(), 0);
  EXPECT_GT(deletes.load(), 0);

  // Announced rows are published from the daemon's loop shortly after the
  // notice is answered: wait until the two sides agree, then compare values.
  std::map<unsigned, std::string> rows;
  std::vector<std::string> children;
  auto same_rows = [&] {
    bool alive = false;
    children = bus_children(client_, &alive);
    rows = table_rows();
    if (!alive || children.size() != rows.size()) return false;
    for (const std::string &child : children)
      if (!rows.count(unsigned(std::stoul(child.substr(child.rfind('/') + 1))))) return false;
    return true;
  };
  eventually(same_rows);
  std::vector<std::string> expected;
  for (const auto &row : rows) expected.push_back(std::string(kManager) + "/" + std::to_string(row.first));
  std::sort(children.begin(), children.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(children, expected);
  for (const auto &[instance, port] : rows) {
    const std::string child = std::string(kManager) + "/" + std::to_string(instance);
    Answer value = ask(client_, child, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", kRowInterface, "ExternalPort"));
    EXPECT_EQ(value.reply ? printed(value.reply.get()) : "", "(<uint32 " + port + ">,)") << child;
  }

  EXPECT_EQ(daemon.stop(SIGTERM), 0) << "igd1d crashed or reported a fault";
}

}  // namespace
}  // namespace igd1::test
