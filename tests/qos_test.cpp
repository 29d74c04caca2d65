// Quality of service over the bus: the QoS object, classifications with
// their nested match-type managers, priority queues and applications; the
// store's checks, its seeded household rules and the journal of every
// apply.  Nothing in this area is announced with PropertiesChanged.

#include <set>
#include <tuple>

#include "harness/bus_fixture.h"
#include "mib_api.h"

namespace igd1::test {
namespace {

constexpr char kQoS[] = "/com/wqx/igd1/Network/QoS";
constexpr char kClassifications[] = "/com/wqx/igd1/Network/QoS/Classification";
constexpr char kQueues[] = "/com/wqx/igd1/Network/QoS/PriorityQueue";
constexpr char kApps[] = "/com/wqx/igd1/Network/QoS/App";
constexpr char kQoSInterface[] = "com.wqx.igd1.QoS";
constexpr char kClassInterface[] = "com.wqx.igd1.QoSClassification";
constexpr char kTypeInterface[] = "com.wqx.igd1.QoSClassificationType";
constexpr char kQueueInterface[] = "com.wqx.igd1.QoSPriorityQueue";
constexpr char kAppInterface[] = "com.wqx.igd1.QoSApp";

class QoSTest : public BusTest {
 protected:
  // The applies since `seq`, and the text of the last one.
  int applied_since(int64_t seq, std::string *last = nullptr) {
    int count = 0;
    for (const mib::JournalEntry &entry : mib::journal(seq)) {
      if (entry.bit != MIB_CFG_QOS || entry.action != MIB_ACTION_APPLY) continue;
      ++count;
      if (last != nullptr) *last = entry.data;
    }
    return count;
  }
  // The child nodes the service lists below `path`.
  std::set<std::string> nodes(const std::string &path) {
    std::set<std::string> names;
    g_autoptr(GDBusNodeInfo) node =
        g_dbus_node_info_new_for_xml(introspect(path.c_str()).c_str(), nullptr);
    if (node == nullptr) return {"<no introspection>"};
    for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
      names.insert((*child)->path);
    return names;
  }
  std::string type_cell(uint32_t classification, uint32_t type, const char *column) {
    return mib::get_cell("qosclassificationtype", mib::row_key(classification, type), column)
        .value_or("<missing>");
  }
};

// ---- the QoS object ----

TEST_F(QoSTest, TheQoSObjectStoresDirectlyAndAppliesEveryAcceptedRequestOnce) {
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", kQoS);
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Plan"), "'priority'");
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Enable"), "true");
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Enable8021P"), "uint32 2");

  const struct {
    const char *name;
    GVariant *value;
    std::string read_back;
  } accepted[] = {
      {"Mode", g_variant_new_string("INTERNET,VOIP"), "'INTERNET,VOIP'"},
      {"Enable", g_variant_new_boolean(FALSE), "false"},
      {"Bandwidth", g_variant_new_uint32(500000), "uint32 500000"},
      {"Plan", g_variant_new_string("weight"), "'weight'"},
      {"EnableForceWeight", g_variant_new_boolean(TRUE), "true"},
      {"EnableDSCPMark", g_variant_new_boolean(FALSE), "false"},
      {"Enable8021P", g_variant_new_uint32(1), "uint32 1"},
      // The same value again is stored and applied again: no comparison here.
      {"Enable8021P", g_variant_new_uint32(1), "uint32 1"},
  };
  for (const auto &c : accepted) {
    const int64_t start = journal_end();
    ASSERT_EQ(write(kQoS, kQoSInterface, c.name, c.value), Error()) << c.name;
    EXPECT_EQ(shown(kQoS, kQoSInterface, c.name), c.read_back);
    EXPECT_EQ(applied_since(start), 1) << c.name;
  }

  // A mode longer than its buffer keeps its first 63 characters.
  const std::string long_mode(70, 'M');
  ASSERT_EQ(write(kQoS, kQoSInterface, "Mode", g_variant_new_string(long_mode.c_str())), Error());
  EXPECT_EQ(mib::get_setting("qos.Mode").value_or(""), long_mode.substr(0, 63));

  const int64_t start = journal_end();
  const struct {
    const char *name;
    GVariant *value;
    Error error;
  } refused[] = {
      {"Plan", g_variant_new_string("fastest"), {kInvalidArgs, "Invalid parameter value"}},
      {"Enable8021P", g_variant_new_uint32(3), {kInvalidArgs, "Invalid parameter value"}},
  };
  for (const auto &c : refused) EXPECT_EQ(write(kQoS, kQoSInterface, c.name, c.value), c.error);
  EXPECT_EQ(set_multi(kQoS, kQoSInterface, dictionary({{"Speed", g_variant_new_uint32(3)}})),
            Error(kInvalidArgs, "Invalid property Speed"));
  EXPECT_EQ(applied_since(start), 0);
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Plan"), "'weight'");

  mib::fail_accessor("QoS_get_mib_property", 2);
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Bandwidth"), "error: Get Bandwidth failed");
  mib::clear_failures();
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
}

// A multi-write stops at its first refused pair: what it stored before stays
// stored and nothing is applied; a clean one applies once.
TEST_F(QoSTest, TheQoSObjectMultiWriteKeepsEarlierPairsAndAppliesOnlyWhenWhole) {
  int64_t start = journal_end();
  EXPECT_EQ(set_multi(kQoS, kQoSInterface,
                      dictionary({{"Bandwidth", g_variant_new_uint32(20000)},
                                  {"Plan", g_variant_new_string("fastest")},
                                  {"Enable", g_variant_new_boolean(FALSE)}})),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Bandwidth"), "uint32 20000");
  EXPECT_EQ(shown(kQoS, kQoSInterface, "Enable"), "true");
  EXPECT_EQ(applied_since(start), 0);

  start = journal_end();
  std::string applied;
  ASSERT_EQ(set_multi(kQoS, kQoSInterface,
                      dictionary({{"Plan", g_variant_new_string("car")},
                                  {"Bandwidth", g_variant_new_uint32(30000)}})),
            Error());
  EXPECT_EQ(applied_since(start, &applied), 1);
  EXPECT_THAT(applied, HasSubstr("plan=car bandwidth=30000"));
}

// ---- classifications and their match types ----

TEST_F(QoSTest, TheStoreSeedsAHouseholdsRulesAndJournalsWhatEachApplyApplied) {
  EXPECT_EQ(nodes(kClassifications), (std::set<std::string>{"1", "2", "3"}));
  // The seeded types found their classifications' managers at once.
  EXPECT_THAT(syslog(),
              Not(HasSubstr("Error to get manager object")));
  EXPECT_EQ(shown(std::string(kClassifications) + "/1", kClassInterface, "DSCPMarkValue"), "uint32 46");
  const std::string voice_port = std::string(kClassifications) + "/1/Type/2";
  EXPECT_EQ(shown(voice_port, kTypeInterface, "Type"), "'DPORT'");
  EXPECT_EQ(shown(voice_port, kTypeInterface, "Min"), "'5060'");
  EXPECT_EQ(shown(std::string(kClassifications) + "/2/Type/1", kTypeInterface, "Max"),
            "'239.255.255.255'");
  EXPECT_EQ(nodes(kQueues), (std::set<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(shown(std::string(kQueues) + "/1", kQueueInterface, "Car"), "-1");
  EXPECT_EQ(shown(std::string(kApps) + "/1", kAppInterface, "AppName"), "'OnlineGaming'");

  // The type manager lists its types with their values.
  const std::string listing = managed((std::string(kClassifications) + "/1/Type").c_str());
  EXPECT_THAT(listing, HasSubstr("'Min': <'46'>"));
  EXPECT_THAT(listing, HasSubstr("Classification/1/Type/2"));

  const int64_t start = journal_end();
  std::string applied;
  ASSERT_EQ(write(std::string(kClassifications) + "/3", kClassInterface, "DSCPMarkValue",
                g_variant_new_uint32(10)),
            Error());
  EXPECT_EQ(applied_since(start, &applied), 1);
  for (const char *part : {"1:q1/dscp46/p6[DSCP 46-46 UDP|DPORT 5060-5061 UDP,TCP]",
                           "3:q3/dscp10/p4[SPORT 3074-3079 UDP,TCP]", "1:on/p1/w40/car-1",
                           "1:OnlineGaming/q3", "plan=priority"})
    EXPECT_THAT(applied, HasSubstr(part));
}

// Writing the current value changes nothing: success, no commit, no apply.
TEST_F(QoSTest, AClassificationWriteCommitsAndAppliesOnlyAChange) {
  const std::string voice = std::string(kClassifications) + "/1";
  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged");
  int64_t start = journal_end();
  uint64_t before = commits("qosclassification");
  ASSERT_EQ(write(voice, kClassInterface, "ClassQueue", g_variant_new_uint32(1)), Error());
  EXPECT_EQ(commits("qosclassification"), before);
  EXPECT_EQ(applied_since(start), 0);

  ASSERT_EQ(write(voice, kClassInterface, "ClassQueue", g_variant_new_uint32(2)), Error());
  EXPECT_EQ(commits("qosclassification"), before + 1);
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(mib::get_cell("qosclassification", 1, "ClassQueue").value_or(""), "2");

  // A whole dictionary of current values commits nothing either.
  start = journal_end();
  before = commits("qosclassification");
  ASSERT_EQ(set_multi(voice, kClassInterface,
                      dictionary({{"ClassQueue", g_variant_new_uint32(2)},
                                  {"DSCPMarkValue", g_variant_new_uint32(46)}})),
            Error());
  EXPECT_EQ(commits("qosclassification"), before);
  EXPECT_EQ(applied_since(start), 0);
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
}

// Flags, unsigned and signed numbers travel through the store's item
// accessors in their own widths, and compare by value.
TEST_F(QoSTest, QueueValuesKeepTheirTypesAndCompareByValue) {
  const std::string queue = std::string(kQueues) + "/3";
  const struct {
    const char *name;
    GVariant *value;
    std::string read_back;
  } cases[] = {
      {"Enable", g_variant_new_boolean(FALSE), "false"},
      {"Enable", g_variant_new_boolean(TRUE), "true"},
      {"Car", g_variant_new_int32(2048), "2048"},
      {"Car", g_variant_new_int32(-1), "-1"},
      {"Priority", g_variant_new_uint32(8), "uint32 8"},
  };
  for (const auto &c : cases) {
    int64_t start = journal_end();
    ASSERT_EQ(write(queue, kQueueInterface, c.name, g_variant_ref_sink(c.value)), Error())
        << c.name;
    EXPECT_EQ(shown(queue, kQueueInterface, c.name), c.read_back);
    EXPECT_EQ(applied_since(start), 1) << c.name << " " << c.read_back;
    start = journal_end();
    ASSERT_EQ(write(queue, kQueueInterface, c.name, c.value), Error());
    g_variant_unref(c.value);
    EXPECT_EQ(applied_since(start), 0) << c.name << " again";
  }
  EXPECT_EQ(mib::get_cell("qospriorityqueue", 3, "Car").value_or(""), "-1");
  EXPECT_EQ(write(queue, kQueueInterface, "Car", g_variant_new_uint32(5)).first, kInvalidArgs);
}

// Values outside their ranges, unknown names and a refused pair in a
// multi-write: nothing is committed, even a pair that changed before.
TEST_F(QoSTest, RefusedTableWritesCommitNothing) {
  const std::string voice = std::string(kClassifications) + "/1";
  const std::string queue = std::string(kQueues) + "/2";
  const Error invalid(kInvalidArgs, "Invalid parameter value");
  const int64_t start = journal_end();
  const uint64_t before = commits("qosclassification");
  const struct {
    std::string path;
    const char *interface, *name;
    GVariant *value;
    Error error;
  } cases[] = {
      {voice, kClassInterface, "ClassQueue", g_variant_new_uint32(0), invalid},
      {voice, kClassInterface, "ClassQueue", g_variant_new_uint32(9), invalid},
      {voice, kClassInterface, "DSCPMarkValue", g_variant_new_uint32(64), invalid},
      {voice, kClassInterface, "VLAN8021PValue", g_variant_new_uint32(8), invalid},
      {queue, kQueueInterface, "Priority", g_variant_new_uint32(9), invalid},
      {queue, kQueueInterface, "Weight", g_variant_new_uint32(101), invalid},
      {queue, kQueueInterface, "Car", g_variant_new_int32(-2), invalid},
  };
  for (const auto &c : cases)
    EXPECT_EQ(write(c.path, c.interface, c.name, c.value), c.error) << c.path << " " << c.name;
  EXPECT_EQ(set_multi(queue, kQueueInterface,
                      dictionary({{"Weight", g_variant_new_uint32(5)},
                                  {"Colour", g_variant_new_uint32(1)}})),
            Error(kInvalidArgs, "Invalid property Colour"));
  EXPECT_EQ(set_multi(voice, kClassInterface, dictionary({{"Queue", g_variant_new_uint32(1)}})),
            Error(kInvalidArgs, "Invalid property Queue"));
  EXPECT_EQ(shown(queue, kQueueInterface, "Weight"), "uint32 30");
  EXPECT_EQ(commits("qosclassification"), before);
  EXPECT_EQ(applied_since(start), 0);

  // A store that refuses the copy is an error, and the old value stays.
  mib::fail_accessor("QoSClassification_update_entry_mib");
  EXPECT_EQ(write(voice, kClassInterface, "DSCPMarkValue", g_variant_new_uint32(40)),
            Error(kFailed, "Fail to update entry"));
  mib::clear_failures();
  EXPECT_EQ(shown(voice, kClassInterface, "DSCPMarkValue"), "uint32 46");
  EXPECT_EQ(applied_since(start), 0);
}

// AddObject on the classifications, then at once on the new one's type
// manager; the type's path packs both numbers, read and written as a pair.
TEST_F(QoSTest, ANewClassificationTakesTypesAtOnceAndTypesAreAddressedByBothNumbers) {
  ASSERT_EQ(add(kClassifications), std::make_pair(std::string(kClassifications) + "/4", Error()));
  const std::string types = std::string(kClassifications) + "/4/Type";
  ASSERT_EQ(add(types.c_str()), std::make_pair(types + "/1", Error()));

  // Type 3 under classification 2 is its own row, not type 3 of another.
  const std::string third = add_child((std::string(kClassifications) + "/2/Type").c_str());
  ASSERT_EQ(third, std::string(kClassifications) + "/2/Type/3");
  const int64_t start = journal_end();
  ASSERT_EQ(set_multi(third, kTypeInterface,
                      dictionary({{"Type", g_variant_new_string("SIP")},
                                  {"Min", g_variant_new_string("192.168.1.100")},
                                  {"Max", g_variant_new_string("192.168.1.120")},
                                  {"ProtocolList", g_variant_new_string("UDP")}})),
            Error());
  EXPECT_EQ(applied_since(start), 1);
  EXPECT_EQ(type_cell(2, 3, "Min"), "192.168.1.100");
  EXPECT_EQ(type_cell(4, 1, "Type"), "");
  EXPECT_EQ(shown(third, kTypeInterface, "Max"), "'192.168.1.120'");
  EXPECT_EQ(shown(types + "/1", kTypeInterface, "Type"), "''");

  // Numbers above 255 at either level never wrap onto another row.
  for (const std::string &path :
       {std::string(kClassifications) + "/258/Type/3", std::string(kClassifications) + "/2/Type/259",
        std::string(kClassifications) + "/2/Type/03", std::string(kClassifications) + "/2/Type/0",
        std::string(kClassifications) + "/5/Type/1"})
    EXPECT_EQ(shown(path, kTypeInterface, "Type").rfind("error: ", 0), 0u) << path;
}

// The store checks a type's bounds against its kind before anything is
// applied; bounds given before their kind are checked when stored.
TEST_F(QoSTest, TheStoreChecksMatchTypesAgainstTheirKind) {
  const std::string type = add_child((std::string(kClassifications) + "/3/Type").c_str());
  ASSERT_FALSE(type.empty());
  const int64_t start = journal_end();
  const Error invalid(kInvalidArgs, "Invalid parameter value");
  const struct {
    const char *kind;
    std::vector<const char *> good, bad;
  } kinds[] = {
      {"SPORT", {"1", "65535"}, {"0", "65536", "080", "+80", "abc", "80 "}},
      {"DSCP", {"0", "63"}, {"64", "-1"}},
      {"8021P", {"7"}, {"8"}},
      {"DIP", {"10.0.0.1", "fe80::1"}, {"300.1.1.1", "10.0.0", "10.0.0.1/24"}},
      {"SMAC", {"a4:3e:51:0c:22:10"}, {"a43e510c2210", "a4:3e:51:0c:22", "zz:3e:51:0c:22:10"}},
      {"ETHERTYPE", {"0x0800", "0x86DD"}, {"0800", "0x10000", "0xGG00"}},
      {"LANInterface", {"LAN1", "SSID5"}, {"LAN5", "WAN1", "LAN01"}},
  };
  for (const auto &k : kinds) {
    ASSERT_EQ(set_multi(type, kTypeInterface,
                        dictionary({{"Min", g_variant_new_string("")},
                                    {"Max", g_variant_new_string("")},
                                    {"Type", g_variant_new_string(k.kind)}})),
              Error())
        << k.kind;
    for (const char *value : k.good)
      EXPECT_EQ(write(type, kTypeInterface, "Min", g_variant_new_string(value)), Error())
          << k.kind << " " << value;
    for (const char *value : k.bad)
      EXPECT_EQ(write(type, kTypeInterface, "Max", g_variant_new_string(value)), invalid)
          << k.kind << " " << value;
  }
  EXPECT_EQ(write(type, kTypeInterface, "Type", g_variant_new_string("SPORTS")), invalid);
  for (const char *protocols : {"TCP,SCTP", "tcp", "TCP,", ",UDP", "TCP;UDP"})
    EXPECT_EQ(write(type, kTypeInterface, "ProtocolList", g_variant_new_string(protocols)), invalid)
        << protocols;
  EXPECT_EQ(write(type, kTypeInterface, "ProtocolList", g_variant_new_string("TCP,UDP,ICMP")),
            Error());
  const std::string too_long(64, 'A');
  EXPECT_EQ(write(type, kTypeInterface, "Type", g_variant_new_string(too_long.c_str())), invalid);

  // Bounds first, kind last: checked as a whole when the copy is stored.
  ASSERT_EQ(write(type, kTypeInterface, "Type", g_variant_new_string("")), Error());
  const int64_t before_whole = journal_end();
  for (const auto &[min, max, kind] :
       {std::tuple{"5000", "4000", "DPORT"}, std::tuple{"10.0.0.1", "fe80::1", "DIP"},
        std::tuple{"10.0.0.9", "10.0.0.1", "SIP"}, std::tuple{"0", "10", "DPORT"}}) {
    EXPECT_EQ(set_multi(type, kTypeInterface,
                        dictionary({{"Min", g_variant_new_string(min)},
                                    {"Max", g_variant_new_string(max)},
                                    {"Type", g_variant_new_string(kind)}})),
              Error(kFailed, "Fail to update entry"))
        << kind << " " << min << "-" << max;
    EXPECT_EQ(type_cell(3, 2, "Type"), "");
  }
  EXPECT_EQ(applied_since(before_whole), 0);
  ASSERT_EQ(set_multi(type, kTypeInterface,
                      dictionary({{"Min", g_variant_new_string("4000")},
                                  {"Max", g_variant_new_string("5000")},
                                  {"Type", g_variant_new_string("DPORT")}})),
            Error());
  EXPECT_EQ(type_cell(3, 2, "Min"), "4000");
  EXPECT_GT(applied_since(start), 0);
}

TEST_F(QoSTest, DeleteObjectChecksItsPathsAtBothLevels) {
  const std::string manager = kClassifications;
  const int64_t start = journal_end();
  EXPECT_EQ(remove(manager, manager + "/5"),
            Error(kManagerError, "DeleteObject QoSClassification object path error"));
  for (const std::string &path : {manager + "/0", manager + "/01", manager + "/256",
                                  manager + "/1/Type/1", std::string(kQueues) + "/1"})
    EXPECT_EQ(remove(manager, path),
              Error(kManagerError, "DeleteObject QoSClassification object path error"))
        << path;

  const std::string types = manager + "/1/Type";
  const Error type_path(kManagerError, "DeleteObject QoSClassificationType object path error");
  for (const std::string &path : {manager + "/2/Type/1", manager + "/1/Type/0",
                                  manager + "/1/Type/4294967296", manager + "/1", types})
    EXPECT_EQ(remove(types, path), type_path) << path;
  // A number the table does not hold, however wide, names no type to remove.
  for (const std::string &path : {types + "/9", types + "/256"})
    EXPECT_EQ(remove(types, path), Error(kManagerError, "Delete QoSClassificationType Object error"))
        << path;
  EXPECT_EQ(applied_since(start), 0);

  SignalWatcher removed(client(), "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved",
                        types.c_str());
  ASSERT_EQ(remove(types, types + "/1"), Error());
  EXPECT_THAT(printed(removed.wait().body.get()), HasSubstr(types + "/1"));
  EXPECT_EQ(type_cell(1, 1, "Type"), "<missing>");
  EXPECT_EQ(nodes(types), std::set<std::string>{"2"});
  EXPECT_EQ(applied_since(start), 1);

  ASSERT_EQ(remove(std::string(kApps), std::string(kApps) + "/1"), Error());
  EXPECT_EQ(remove(std::string(kApps), std::string(kApps) + "/1"),
            Error(kManagerError, "DeleteObject QoSApp object path error"));
  EXPECT_EQ(applied_since(start), 2);
}

// A classification goes with its types and its type manager: the tree
// holds no node of it afterwards, however often this repeats.
TEST_F(QoSTest, DeletingClassificationsWithTypesLeavesNothingBehind) {
  const std::string manager = kClassifications;
  for (int round = 0; round < 100; ++round) {
    const std::string classification = add_child(kClassifications);
    ASSERT_EQ(classification, manager + "/4") << round;
    const std::string types = classification + "/Type";
    ASSERT_FALSE(add_child(types.c_str()).empty());
    ASSERT_FALSE(add_child(types.c_str()).empty());
    ASSERT_EQ(remove(manager, classification), Error()) << round;
  }
  EXPECT_EQ(nodes(kClassifications), (std::set<std::string>{"1", "2", "3"}));
  EXPECT_TRUE(nodes(manager + "/4").empty());
  EXPECT_EQ(introspect((manager + "/4/Type").c_str()).find("com.wqx.igd1.ObjectManager"),
            std::string::npos);
  EXPECT_EQ(type_cell(4, 1, "Type"), "<missing>");
  // The seeded classifications keep their managers and types.
  EXPECT_EQ(nodes(manager + "/1/Type"), (std::set<std::string>{"1", "2"}));
}

// ---- applications ----

TEST_F(QoSTest, AnApplicationNameHoldsSixteenCharacters) {
  const std::string app = add_child(kApps);
  ASSERT_EQ(app, std::string(kApps) + "/2");
  const std::string sixteen(16, 'v');
  const std::string seventeen(17, 'v');
  ASSERT_EQ(write(app, kAppInterface, "AppName", g_variant_new_string(sixteen.c_str())), Error());
  const int64_t start = journal_end();
  EXPECT_EQ(write(app, kAppInterface, "AppName", g_variant_new_string(seventeen.c_str())),
            Error(kInvalidArgs, "Invalid property AppName"));
  EXPECT_EQ(shown(app, kAppInterface, "AppName"), "'" + sixteen + "'");
  EXPECT_EQ(write(app, kAppInterface, "AppName", g_variant_new_string("tab\there")),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(write(app, kAppInterface, "ClassQueue", g_variant_new_uint32(9)),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(applied_since(start), 0);
  ASSERT_EQ(write(app, kAppInterface, "ClassQueue", g_variant_new_uint32(4)), Error());
  EXPECT_EQ(mib::get_cell("qosapp", 2, "ClassQueue").value_or(""), "4");
  EXPECT_EQ(applied_since(start), 1);
}

// igd1-mib adds a match type under a classification named with --parent,
// and refuses a parent that does not exist or a table that is not nested.
TEST_F(QoSTest, TheCommandLineAddsAMatchTypeUnderItsClassification) {
  ProgramRun added = mib_tool({"add", "qosclassificationtype", "--parent", "3"});
  EXPECT_EQ(added.status, 0) << added.output();
  EXPECT_EQ(added.out, "3/2\n");
  EXPECT_EQ(type_cell(3, 2, "Type"), "");
  for (const std::vector<std::string> &refused :
       {std::vector<std::string>{"add", "qosclassificationtype", "--parent", "9"},
        {"add", "qosclassificationtype", "--parent", "03"},
        {"add", "qosclassificationtype"},
        {"add", "qosapp", "--parent", "1"}})
    EXPECT_EQ(mib_tool(refused).status, 1) << refused.back();
  EXPECT_EQ(mib_tool({"add", "qosclassificationtype", "--parents", "3"}).status, 2);

  // A classification removed behind the daemon's back: its objects answer
  // that the row is gone, by the classification's number.
  ASSERT_EQ(mib_tool({"remove", "qosclassification", "3"}).status, 0);
  const std::string gaming = std::string(kClassifications) + "/3";
  EXPECT_EQ(shown(gaming, kClassInterface, "ClassQueue"), "error: Invalid list num  3");
  EXPECT_EQ(shown(gaming + "/Type/1", kTypeInterface, "Type"), "error: Invalid list num  3");
  EXPECT_EQ(write(gaming, kClassInterface, "ClassQueue", g_variant_new_uint32(2)),
            Error(kInvalidArgs, "Invalid parameter path"));
  EXPECT_EQ(write(gaming + "/Type/1", kTypeInterface, "Min", g_variant_new_string("1")),
            Error(kInvalidArgs, "Invalid parameter path"));
}

}  // namespace
}  // namespace igd1::test
