// The access filters over the bus: lists stored as one ";"-joined text (of
// 1,024 characters, or as long as an application list's limits need),
// compare-then-store writes checked only when they change
// something, MAC texts in both spellings, the application list methods with
// their results, RemoveAllObjects, the module-built listing and the event
// signal, against the SQLite store.

#include <cstring>

#include "filters.h"
#include "harness/bus_fixture.h"
#include "mib_filters.h"

namespace igd1::test {
namespace {

constexpr char kDns[] = "/com/wqx/igd1/Network/DNSFilter";
constexpr char kDnsInterface[] = "com.wqx.igd1.DNSFilter";
constexpr char kUrl[] = "/com/wqx/igd1/Network/URLFilter";
constexpr char kUrlInterface[] = "com.wqx.igd1.URLFilter";
constexpr char kBlock[] = "/com/wqx/igd1/Network/MACBlackList";
constexpr char kBlockInterface[] = "com.wqx.igd1.MACBlackList";
constexpr char kApps[] = "/com/wqx/igd1/AppFilter";
constexpr char kAppInterface[] = "com.wqx.igd1.AppFilter";
constexpr char kRoutes[] = "/com/wqx/igd1/AppRoute";
constexpr char kRouteInterface[] = "com.wqx.igd1.AppRoute";

using Strings = std::vector<std::string>;

GVariant *strv(const Strings &entries) {
  std::vector<const char *> pointers;
  for (const std::string &entry : entries) pointers.push_back(entry.c_str());
  return g_variant_new_strv(pointers.data(), gssize(pointers.size()));
}

// A NULL-terminated view of `entries` (valid while they live).
gchar **strv_of(const Strings &entries) {
  static std::vector<gchar *> pointers;
  pointers.clear();
  for (const std::string &entry : entries) pointers.push_back(const_cast<gchar *>(entry.c_str()));
  pointers.push_back(nullptr);
  return pointers.data();
}

// `count` distinct host names "h0.example" ...
Strings hosts(int count, int first = 0) {
  Strings names;
  for (int i = first; i < first + count; ++i) names.push_back("h" + std::to_string(i) + ".example");
  return names;
}

class FiltersTest : public BusTest {
 protected:
  Strings list(const std::string &path, const char *interface, const char *name) {
    Variant value = get_property(path.c_str(), interface, name);
    Strings entries;
    if (value == nullptr) return {"<error>"};
    g_autofree const gchar **items = g_variant_get_strv(value.get(), nullptr);
    for (const gchar **item = items; *item != nullptr; ++item) entries.emplace_back(*item);
    return entries;
  }
  // The journal lines of the filters since `seq`.
  Strings applied_since(int64_t seq) { return journal_lines(seq, MIB_CFG_FILTERS); }
  // (result, message) of a list method, or the error.
  std::pair<uint32_t, std::string> edit(const std::string &path, const char *interface,
                                        const char *method, uint32_t type, const Strings &entries,
                                        Error *failure = nullptr) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path.c_str(), interface, method,
                         g_variant_new("(u@as)", type, strv(entries)), &error);
    if (reply == nullptr) {
      if (failure != nullptr) *failure = remote_error(error);
      return {0, "<error>"};
    }
    guint32 result = 0;
    const gchar *message = nullptr;
    g_variant_get(reply.get(), "(u&s)", &result, &message);
    return {result, message};
  }
  // Property `name` of child `path` as the manager's listing shows it
  // (printed), or "<not listed>".
  std::string listed(const char *manager, const std::string &path, const char *interface,
                     const char *name) {
    Variant reply = call(manager, kFreedesktopManager, "GetManagedObjects", nullptr, nullptr);
    if (reply == nullptr) return "<no listing>";
    Variant objects(g_variant_get_child_value(reply.get(), 0));
    Variant interfaces(
        g_variant_lookup_value(objects.get(), path.c_str(), G_VARIANT_TYPE("a{sa{sv}}")));
    if (interfaces == nullptr) return "<not listed>";
    Variant values(g_variant_lookup_value(interfaces.get(), interface, G_VARIANT_TYPE("a{sv}")));
    Variant value(values != nullptr ? g_variant_lookup_value(values.get(), name, nullptr) : nullptr);
    return value != nullptr ? printed(value.get()) : "<no value>";
  }
};

// ---- lists and compare-then-store ----------------------------------------------------

TEST_F(FiltersTest, ListsAreOneJoinedTextThatMustFitAndKeepItsEntries) {
  const std::string rule = add_child(kDns);
  ASSERT_FALSE(rule.empty());
  EXPECT_THAT(list(rule, kDnsInterface, "HostNameList"), IsEmpty());

  ASSERT_EQ(write(rule, kDnsInterface, "HostNameList", strv({"a.com", "b.com"})), Error());
  const unsigned n = unsigned(std::stoul(rule.substr(rule.rfind('/') + 1)));
  EXPECT_EQ(cell("dnsfilter", n, "HostNameList"), "a.com;b.com");
  EXPECT_THAT(list(rule, kDnsInterface, "HostNameList"), ElementsAre("a.com", "b.com"));

  // 1,024 characters fit exactly; one more does not, and nothing changes.
  Strings exact;
  for (int i = 0; i < 78; ++i) exact.push_back("a" + std::to_string(1000 + i).substr(1) + ".example");
  exact.push_back("b12345.com");
  g_autofree gchar *joined = g_strjoinv(";", strv_of(exact));
  ASSERT_EQ(std::strlen(joined), 1024u);
  ASSERT_EQ(write(rule, kDnsInterface, "HostNameList", strv(exact)), Error());
  Strings over = exact;
  over.back() += "m";
  const Error refused(kInvalidArgs, "Invalid parameter value for HostNameList");
  EXPECT_EQ(write(rule, kDnsInterface, "HostNameList", strv(over)), refused);
  // An entry with the separator would read back as two; an empty one as none.
  EXPECT_EQ(write(rule, kDnsInterface, "HostNameList", strv({"a.com;b.com"})), refused);
  EXPECT_EQ(write(rule, kDnsInterface, "HostNameList", strv({""})), refused);
  EXPECT_EQ(set_multi(rule, kDnsInterface,
                      dictionary({{"HostNameList", g_variant_new_string("a.com")}})),
            Error(kInvalidArgs, "DomainName value type is err"));
  EXPECT_EQ(list(rule, kDnsInterface, "HostNameList"), exact);

  // The store checks every entry before the row is stored or applied.
  const int64_t start = journal_end();
  EXPECT_EQ(write(rule, kDnsInterface, "HostNameList", strv({"ok.example", "not a host"})),
            Error(kFailed, "Config DNS Filter error (invalid HostNameList)"));
  EXPECT_THAT(applied_since(start), IsEmpty());
  EXPECT_EQ(list(rule, kDnsInterface, "HostNameList"), exact);
}

TEST_F(FiltersTest, AValueIsCheckedOnlyWhenItChangesAndAnUnchangedOneCommitsNothing) {
  const std::string rule = add_child(kDns);
  // A name with '|' already in the store (another process wrote it) may be written again.
  const unsigned n = unsigned(std::stoul(rule.substr(rule.rfind('/') + 1)));
  ASSERT_TRUE(mib::set_cell("dnsfilter", n, "Name", "kids|tablet"));
  const uint64_t before = commits("dnsfilter");
  const int64_t start = journal_end();
  EXPECT_EQ(write(rule, kDnsInterface, "Name", g_variant_new_string("kids|tablet")), Error());
  EXPECT_EQ(commits("dnsfilter"), before);
  EXPECT_THAT(applied_since(start), IsEmpty());
  EXPECT_EQ(write(rule, kDnsInterface, "Name", g_variant_new_string("kids|phone")),
            Error(kInvalidArgs, "invalid value of property Name"));
  EXPECT_EQ(write(rule, kDnsInterface, "Hostname", g_variant_new_string("a|b")),
            Error(kInvalidArgs, "invalid value of property Hostname"));

  // Limits of the DNS filter's texts.
  EXPECT_EQ(write(rule, kDnsInterface, "MAC", g_variant_new_string("0011223344556")),
            Error(kInvalidArgs, "invalid value of property MAC"));
  EXPECT_EQ(write(rule, kDnsInterface, "WeekDays", g_variant_new_string(std::string(33, '1').c_str())),
            Error(kInvalidArgs, "invalid value of property WeekDays"));
  EXPECT_EQ(write(rule, kDnsInterface, "BlockedTimes", g_variant_new_uint32(3)).first, kInvalidArgs);

  // A multi-write stores all or nothing, and is applied once.
  EXPECT_NE(set_multi(rule, kDnsInterface, dictionary({{"Enable", g_variant_new_boolean(TRUE)},
                                                      {"Name", g_variant_new_string("x|y")}})),
            Error());
  EXPECT_EQ(cell("dnsfilter", n, "Enable"), "0");
  const int64_t multi = journal_end();
  ASSERT_EQ(set_multi(rule, kDnsInterface, dictionary({{"Enable", g_variant_new_boolean(TRUE)},
                                                      {"Name", g_variant_new_string("Adult sites")},
                                                      {"MAC", g_variant_new_string("0a1b2c3d4e5f")}})),
            Error());
  EXPECT_EQ(applied_since(multi).size(), 1u);
  EXPECT_EQ(text(rule, kDnsInterface, "Name"), "Adult sites");

  // A refused commit reports the store's reason and keeps the old row.
  mib::fail_accessor("dnsfilter_update_entry");
  EXPECT_EQ(write(rule, kDnsInterface, "Action", g_variant_new_byte(2)),
            Error(kFailed, "Config DNS Filter error (the table refused the row)"));
  mib::clear_failures();
  EXPECT_EQ(cell("dnsfilter", n, "Action"), "0");
}

TEST_F(FiltersTest, UrlFiltersCheckTheirModeAndSchedule) {
  const std::string rule = add_child(kUrl);
  EXPECT_EQ(write(rule, kUrlInterface, "Mode", g_variant_new_byte(2)),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(write(rule, kUrlInterface, "Mode", g_variant_new_byte(1)), Error());
  for (const char *bad : {"25:00-26:00", "8:00-9:00", "08:00", "08:00-09:00,", "08:60-09:00"})
    EXPECT_EQ(write(rule, kUrlInterface, "Time", g_variant_new_string(bad)),
              Error(kInvalidArgs, "Time value  is invalid"))
        << bad;
  EXPECT_EQ(write(rule, kUrlInterface, "Time", g_variant_new_string("08:00-12:00,13:30-17:00")),
            Error());
  // URL filters take any text as MAC; the field holds 511 characters.
  EXPECT_EQ(write(rule, kUrlInterface, "MAC", g_variant_new_string("any device")), Error());
  EXPECT_EQ(write(rule, kUrlInterface, "MAC", g_variant_new_string(std::string(512, 'm').c_str()))
                .first,
            kInvalidArgs);
  EXPECT_EQ(write(rule, kUrlInterface, "URLList", strv({"example.com/a b"})),
            Error(kFailed, "Config URL Filter error (invalid URLList)"));
}

// ---- MAC lists -----------------------------------------------------------------------

TEST_F(FiltersTest, MacTextsCompareWithoutRegardToSpellingAndChangesAreAnnouncedAndSaved) {
  const std::string device = add_child(kBlock);
  const unsigned n = unsigned(std::stoul(device.substr(device.rfind('/') + 1)));
  EXPECT_EQ(text(device, kBlockInterface, "MAC"), "000000000000");
  ASSERT_TRUE(mib::set_cell("macblocklist", n, "MAC", "AA:BB:CC:DD:EE:FF"));
  EXPECT_EQ(text(device, kBlockInterface, "MAC"), "AABBCCDDEEFF");

  SignalWatcher changes(client(), "com.wqx.igd1.Properties", "PropertiesChanged", device.c_str());
  const uint64_t before = commits("macblocklist");
  int64_t start = journal_end();
  for (const char *same : {"aabbccddeeff", "aa:bb:cc:dd:ee:ff", "AABBCCDDEEFF"})
    EXPECT_EQ(write(device, kBlockInterface, "MAC", g_variant_new_string(same)), Error()) << same;
  EXPECT_EQ(commits("macblocklist"), before);
  EXPECT_THAT(applied_since(start), IsEmpty());
  EXPECT_EQ(changes.wait(200ms).body, nullptr);
  EXPECT_EQ(cell("macblocklist", n, "MAC"), "AA:BB:CC:DD:EE:FF");

  for (const char *bad : {"aabbccddeef", "aa-bb-cc-dd-ee-ff", "gg:bb:cc:dd:ee:ff", ""})
    EXPECT_EQ(write(device, kBlockInterface, "MAC", g_variant_new_string(bad)),
              Error(kInvalidArgs, "invalid value of property MAC"))
        << bad;

  start = journal_end();
  ASSERT_EQ(write(device, kBlockInterface, "MAC", g_variant_new_string("0011223344aa")), Error());
  EXPECT_EQ(cell("macblocklist", n, "MAC"), "00:11:22:33:44:aa");
  EXPECT_THAT(printed(changes.wait().body.get()), HasSubstr("'MAC': <'0011223344AA'>"));
  const Strings lines = applied_since(start);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("MAC=00:11:22:33:44:aa"));
  EXPECT_THAT(lines[1], HasSubstr("macblocklist saved"));

  // A name that is not UTF-8 reads as empty rather than failing.
  ASSERT_TRUE(mib::set_cell("macblocklist", n, "Name", "caf\xe9"));
  EXPECT_EQ(text(device, kBlockInterface, "Name"), "");

  mib::fail_accessor("macblocklist_update_entry");
  EXPECT_EQ(write(device, kBlockInterface, "Name", g_variant_new_string("printer")),
            Error(kInvalidArgs, "fail to update MIB entry"));
  mib::clear_failures();
}

// ---- application filters and routes --------------------------------------------------

TEST_F(FiltersTest, ListMethodsMergeAndSliceWithTheirResults) {
  const std::string app = add_child(kApps);
  const unsigned n = unsigned(std::stoul(app.substr(app.rfind('/') + 1)));
  EXPECT_THAT(list(app, kAppInterface, "DomainList"), IsEmpty());

  // Into an empty list: stored and saved, nothing handed to the running filter.
  int64_t start = journal_end();
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 1, {"x.example", "y.example"}),
            std::make_pair(0u, std::string()));
  EXPECT_EQ(cell("appfilter", n, "DomainList"), "x.example;y.example");
  Strings lines = applied_since(start);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], HasSubstr("appfilter saved"));

  // Nothing new: (0, "") and no commit.
  const uint64_t before = commits("appfilter");
  start = journal_end();
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 1, {"x.example"}),
            std::make_pair(0u, std::string()));
  EXPECT_EQ(commits("appfilter"), before);
  EXPECT_THAT(applied_since(start), IsEmpty());

  // Into a list that stays non-empty: only what was added reaches the filter.
  start = journal_end();
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 1, {"y.example", "z.example"}).first, 0u);
  EXPECT_THAT(list(app, kAppInterface, "DomainList"),
              ElementsAre("x.example", "y.example", "z.example"));
  EXPECT_THAT(applied_since(start), Contains("appfilter list 1 added z.example"));
  start = journal_end();
  EXPECT_EQ(edit(app, kAppInterface, "DeleteAppFilterList", 1, {"x.example", "q.example"}).first,
            0u);
  EXPECT_THAT(list(app, kAppInterface, "DomainList"), ElementsAre("y.example", "z.example"));
  EXPECT_THAT(applied_since(start), Contains("appfilter list 1 removed x.example"));

  // Unknown types and lists beyond 2,048 entries.
  const std::pair<uint32_t, std::string> invalid(4294967295u, "Invalid parameters!");
  EXPECT_EQ(edit(app, kAppInterface, "DeleteAppFilterList", 7, {"x"}), invalid);
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 3, {"x"}), invalid);
  Strings many;
  for (int i = 0; i < 2049; ++i) many.push_back(std::to_string(i));
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 0, many), invalid);
  // A list that would not fit its field is left as it was.
  Strings long_names;
  for (const std::string &name : hosts(2000)) long_names.push_back(std::string(200, 'l') + name);
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 1, long_names),
            std::make_pair(0u, std::string()));
  EXPECT_THAT(list(app, kAppInterface, "DomainList"), ElementsAre("y.example", "z.example"));
  // Addresses and MACs are checked by the store before they are applied.
  Error failure;
  edit(app, kAppInterface, "AddAppFilterList", 0, {"300.1.1.1"}, &failure);
  EXPECT_EQ(failure, Error("com.wqx.igd1.AppFilter", "appfilter_update_entry fail!"));
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 0, {"10.0.0.0/8", "2001:db8::1"}).first,
            0u);
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 2, {"02:aa:bb:cc:dd:ee"}).first, 0u);

  // A path without a row is answered, not left waiting.
  failure = {};
  edit(std::string(kApps) + "/250", kAppInterface, "AddAppFilterList", 1, {"x"}, &failure);
  EXPECT_FALSE(failure.first.empty());

  // Routes have their own methods and texts over the same rules.
  const std::string route = add_child(kRoutes);
  EXPECT_EQ(edit(route, kRouteInterface, "AddAppRouteList", 1, {"vpn.example"}).first, 0u);
  EXPECT_THAT(list(route, kRouteInterface, "DomainList"), ElementsAre("vpn.example"));
  EXPECT_EQ(edit(route, kRouteInterface, "DeleteAppRouteList", 9, {"x"}), invalid);
  mib::fail_accessor("approute_update_entry");
  edit(route, kRouteInterface, "DeleteAppRouteList", 1, {"vpn.example"}, &failure);
  mib::clear_failures();
  EXPECT_EQ(failure, Error("com.wqx.igd1.AppRoute", "AppRoute_update_entry fail!"));
}

// Lists at their most entries at their longest: 256 domains of 253
// characters, 2,048 destinations of 49 ("<IPv6 text>/128") and, through the
// list methods, 2,048 MACs.  One more is refused; nothing is cut.
Strings longest_hosts(int count) {
  Strings names;
  for (int i = 0; i < count; ++i) {
    std::string name = "d" + std::to_string(i) + ".";
    while (name.size() + 63 < 253) name += std::string(62, 'a') + ".";
    name += std::string(253 - name.size() - 8, 'b') + ".example";
    names.push_back(name);
  }
  return names;
}
Strings longest_destinations(int count) {
  Strings addresses;
  char text[64];
  for (int i = 0; i < count; ++i) {
    g_snprintf(text, sizeof text, "ffff:ffff:ffff:ffff:ffff:%04x:255.255.255.255/128", i);
    addresses.push_back(text);
  }
  return addresses;
}
Strings macs_of(int count) {
  Strings macs;
  char text[32];
  for (int i = 0; i < count; ++i) {
    g_snprintf(text, sizeof text, "02:00:00:00:%02x:%02x", i >> 8, i & 0xff);
    macs.push_back(text);
  }
  return macs;
}
std::string joined(const Strings &entries) {
  std::string text;
  for (const std::string &entry : entries) text += (text.empty() ? "" : ";") + entry;
  return text;
}

TEST_F(FiltersTest, ApplicationListsReachTheirLimitsAndRefuseOneMore) {
  const Strings domains = longest_hosts(257);
  ASSERT_EQ(domains[256].size(), 253u);
  const Strings destinations = longest_destinations(2049);
  ASSERT_EQ(destinations[2048].size(), 49u);
  const Strings at_domains(domains.begin(), domains.end() - 1);
  const Strings at_destinations(destinations.begin(), destinations.end() - 1);

  for (const auto &[manager, interface, table] :
       {std::tuple{kApps, kAppInterface, "appfilter"}, std::tuple{kRoutes, kRouteInterface, "approute"}}) {
    SCOPED_TRACE(table);
    const std::string rule = add_child(manager);
    const unsigned n = unsigned(std::stoul(rule.substr(rule.rfind('/') + 1)));
    EXPECT_EQ(write(rule, interface, "DomainList", strv(at_domains)), Error());
    EXPECT_EQ(write(rule, interface, "DestIPList", strv(at_destinations)), Error());
    EXPECT_EQ(list(rule, interface, "DomainList"), at_domains);
    EXPECT_EQ(list(rule, interface, "DestIPList"), at_destinations);
    EXPECT_EQ(cell(table, n, "DestIPList"), joined(at_destinations));

    EXPECT_EQ(write(rule, interface, "DomainList", strv(domains)).first, kInvalidArgs);
    EXPECT_EQ(write(rule, interface, "DestIPList", strv(destinations)).first, kInvalidArgs);
    EXPECT_EQ(list(rule, interface, "DomainList").size(), 256u);
    EXPECT_EQ(list(rule, interface, "DestIPList").size(), 2048u);
  }

  // The methods take 2,048 entries of any list, MACs too.
  const std::string app = add_child(kApps);
  const Strings macs = macs_of(2049);
  const Strings at_macs(macs.begin(), macs.end() - 1);
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 2, at_macs),
            std::make_pair(0u, std::string()));
  EXPECT_EQ(list(app, kAppInterface, "MACList"), at_macs);
  EXPECT_EQ(edit(app, kAppInterface, "AddAppFilterList", 2, {macs.back()}).first, 4294967295u);
  EXPECT_EQ(list(app, kAppInterface, "MACList").size(), 2048u);
  EXPECT_EQ(edit(app, kAppInterface, "DeleteAppFilterList", 2, at_macs),
            std::make_pair(0u, std::string()));
  EXPECT_THAT(list(app, kAppInterface, "MACList"), IsEmpty());
}

TEST_F(FiltersTest, ApplicationRulesKeepTheirWriteLimits) {
  const std::string app = add_child(kApps);
  EXPECT_EQ(write(app, kAppInterface, "AppId", g_variant_new_string(std::string(33, '7').c_str())),
            Error(kInvalidArgs, "invalid value of property AppId"));
  EXPECT_EQ(write(app, kAppInterface, "Name", g_variant_new_string(std::string(64, 'n').c_str())),
            Error(kInvalidArgs, "invalid value of property Name"));
  EXPECT_EQ(write(app, kAppInterface, "Name", g_variant_new_string(std::string(63, 'n').c_str())),
            Error());
  Strings macs;
  for (int i = 0; i < 33; ++i) macs.push_back("02:00:00:00:00:" + std::string(i < 16 ? "0" : "") +
                                              std::to_string(i));
  EXPECT_EQ(write(app, kAppInterface, "MACList", strv(macs)),
            Error(kInvalidArgs, "set property MACList failed"));
  EXPECT_EQ(set_multi(app, kAppInterface, dictionary({{"DomainList", g_variant_new_string("x")}})),
            Error(kInvalidArgs, "set property DomainList failed"));
  EXPECT_EQ(write(app, kAppInterface, "WeekDays", g_variant_new_string(std::string(33, '1').c_str())),
            Error(kInvalidArgs, "WeekDays value len is err"));
  EXPECT_EQ(write(app, kAppInterface, "Time", g_variant_new_string(std::string(65, '1').c_str())),
            Error(kInvalidArgs, "Time value len is err"));

  const std::string route = add_child(kRoutes);
  EXPECT_EQ(write(route, kRouteInterface, "IfName", g_variant_new_string(std::string(33, 'w').c_str())),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(write(route, kRouteInterface, "DSCPMarkValue_UP", g_variant_new_byte(64)),
            Error(kInvalidArgs, "Invalid parameter value"));
  EXPECT_EQ(write(route, kRouteInterface, "DSCPMarkValue_UP", g_variant_new_byte(46)), Error());
}

TEST_F(FiltersTest, RemoveAllObjectsEmptiesTheTableForGood) {
  // A new store holds the seeded filters, each published.
  ASSERT_GE(listed_paths(kApps).size(), 2u);
  Variant flag = get_property(kApps, kManagerInterface, "RemoveAllObjects");
  ASSERT_NE(flag, nullptr);
  EXPECT_TRUE(g_variant_get_boolean(flag.get()));
  const std::string added = add_child(kApps);
  const size_t before = listed_paths(kApps).size();

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kApps);
  ASSERT_NE(call(kApps, kManagerInterface, "RemoveAllObjects", nullptr, nullptr), nullptr);
  Strings paths;
  for (size_t i = 0; i < before; ++i) {
    SignalWatcher::Signal signal = removed.wait();
    ASSERT_NE(signal.body, nullptr) << i;
    paths.push_back(printed(signal.body.get()));
  }
  EXPECT_THAT(paths, Contains(HasSubstr(added)));
  EXPECT_THAT(listed_paths(kApps), IsEmpty());
  EXPECT_TRUE(mib::table_rows(*mib::find_table("appfilter")).empty());

  ASSERT_NO_FATAL_FAILURE(restart_host());
  EXPECT_THAT(listed_paths(kApps), IsEmpty());
  EXPECT_TRUE(mib::table_rows(*mib::find_table("appfilter")).empty());

  // Managers without the method neither serve nor declare it.
  EXPECT_EQ(failure_of(kDns, kManagerInterface, "RemoveAllObjects", nullptr).first,
            "org.freedesktop.DBus.Error.UnknownMethod");
}

TEST_F(FiltersTest, TheModuleBuiltListingMatchesTheRowsAndTheEventSignalReachesClients) {
  const std::string app = add_child(kApps);
  ASSERT_EQ(write(app, kAppInterface, "Name", g_variant_new_string("Chat")), Error());
  Variant reply = call(kApps, kFreedesktopManager, "GetManagedObjects", nullptr, nullptr);
  ASSERT_NE(reply, nullptr);
  const std::string listing = printed(reply.get());
  EXPECT_THAT(listing, HasSubstr("'" + app + "': {'com.wqx.igd1.AppFilter': {'AppId': <''>"));
  EXPECT_THAT(listing, HasSubstr("'Name': <'Chat'>"));
  EXPECT_THAT(listing, HasSubstr("'DestIPList': <['203.0.113.0/24', '198.51.100.17']>"));
  // The listing equals what each child answers to GetAll.
  const std::string props = get_all(app, kAppInterface);
  EXPECT_THAT(listing, HasSubstr(props.substr(1, props.size() - 3)));
  EXPECT_EQ(AppFilter_handle_is_call_get_objects(), 0);

  SignalWatcher events(client(), kAppInterface, "AppFilterEvent", app.c_str());
  loop_->run([&] { AppFilter_Event_emit_signal(app.c_str(), "blocked video.example.com"); });
  EXPECT_EQ(printed(events.wait().body.get()), "('blocked video.example.com',)");
  loop_->run([&] { AppFilter_Event_emit_signal(app.c_str(), "caf\xe9"); });
  EXPECT_EQ(events.wait(200ms).body, nullptr);
}

// The listings of the application rules are kept between changes: each kind
// of change, by this service or by another process, shows in the next one.
TEST_F(FiltersTest, TheKeptListingShowsEveryChangeAtTheNextCall) {
  const std::string app = add_child(kApps);
  const std::string n = app.substr(app.rfind('/') + 1);
  auto shown = [&](const std::string &path, const char *name) {
    return listed(kApps, path, kAppInterface, name);
  };
  ASSERT_EQ(shown(app, "Name"), "''");

  ASSERT_EQ(write(app, kAppInterface, "Name", g_variant_new_string("Chat")), Error());
  EXPECT_EQ(shown(app, "Name"), "'Chat'");
  ASSERT_EQ(set_multi(app, kAppInterface, dictionary({{"Name", g_variant_new_string("Chat 2")},
                                                      {"Mode", g_variant_new_byte(1)}})),
            Error());
  EXPECT_EQ(shown(app, "Name"), "'Chat 2'");
  EXPECT_EQ(shown(app, "Mode"), "byte 0x01");

  ASSERT_EQ(edit(app, kAppInterface, "AddAppFilterList", 1, {"chat.example"}).first, 0u);
  EXPECT_EQ(shown(app, "DomainList"), "['chat.example']");
  ASSERT_EQ(edit(app, kAppInterface, "DeleteAppFilterList", 1, {"chat.example"}).first, 0u);
  EXPECT_EQ(shown(app, "DomainList"), "@as []");

  // igd1-mib commits in a process of its own, without telling the service.
  ProgramRun other = run_program({IGD1_BUILD_DIR "/igd1-mib", "--store",
                                  root().path(path::kStoreFile), "set",
                                  "appfilter[" + n + "].Name", "Renamed elsewhere"});
  ASSERT_EQ(other.status, 0) << other.output();
  EXPECT_EQ(shown(app, "Name"), "'Renamed elsewhere'");

  const std::string second = add_child(kApps);
  EXPECT_EQ(shown(second, "Name"), "''");
  ASSERT_EQ(remove(kApps, second), Error());
  EXPECT_EQ(shown(second, "Name"), "<not listed>");

  ASSERT_NE(call(kApps, kManagerInterface, "RemoveAllObjects", nullptr, nullptr), nullptr);
  EXPECT_EQ(shown(app, "Name"), "<not listed>");
  EXPECT_THAT(listed_paths(kApps), IsEmpty());

  // The routes keep theirs by the same rules.
  const std::string route = add_child(kRoutes);
  ASSERT_EQ(listed(kRoutes, route, kRouteInterface, "IfName"), "''");
  ASSERT_EQ(write(route, kRouteInterface, "IfName", g_variant_new_string("wan2")), Error());
  EXPECT_EQ(listed(kRoutes, route, kRouteInterface, "IfName"), "'wan2'");
}

TEST_F(FiltersTest, DeleteObjectChecksThePathAndTheRow) {
  const std::string rule = add_child(kDns);
  const Error path_error(kManagerError, "DeleteObject object path error");
  for (const std::string &path : {std::string(kDns) + "/0", std::string(kDns) + "/200",
                                  std::string(kUrl) + "/1", std::string(kDns) + "/01"})
    EXPECT_EQ(remove(kDns, path), path_error) << path;
  mib::fail_accessor("dnsfilter_insert_entry");
  EXPECT_EQ(add(kDns).second, Error(kManagerError, "Add DNSFilter object fail !!"));
  mib::clear_failures();
  ASSERT_EQ(remove(kDns, rule), Error());
}

}  // namespace
}  // namespace igd1::test
