// Random typed calls against a running igd1d: multi-writes, property writes
// and reads, and methods, with nested variants, structs, dictionaries, empty
// arrays, long strings and values of the wrong type.  Every call must be
// answered (an error is fine) and the daemon must keep serving with its
// values; a call that GDBus cannot decode closes igd1d's connection, and
// igd1d must say why in its log and serve again on a new connection.
//
// The run is seeded and reproducible: the seed is printed, IGD1_FUZZ_SEED
// sets it and IGD1_FUZZ_SECONDS sets the length (default 3 s).  A call that
// drops the daemon's connection is printed in the form of the files in tests/fuzz_inputs/,
// which the second test sends again with their recorded outcome.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "harness/bus_fixture.h"
#include "harness/recorded_call.h"

namespace igd1::test {
namespace {

constexpr int kReplyTimeoutMs = 10000;
constexpr char kRoot[] = "/com/wqx/igd1";

// ---- what the daemon publishes --------------------------------------------------

struct Member {
  std::string name;
  std::string signature;  // property type, or a method's arguments as a tuple
  bool writable = false;
};

struct Target {
  std::string path;
  std::string interface;
  std::vector<Member> properties;
  std::vector<Member> methods;
};

std::string in_signature(const GDBusMethodInfo *method) {
  std::string tuple = "(";
  for (GDBusArgInfo **a = method->in_args; a != nullptr && *a != nullptr; ++a)
    tuple += (*a)->signature;
  return tuple + ")";
}

void collect_targets(GDBusConnection *client, const std::string &path, std::vector<Target> *targets) {
  Variant reply(g_dbus_connection_call_sync(client, host::kServiceName, path.c_str(),
                                            "org.freedesktop.DBus.Introspectable", "Introspect",
                                            nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                            kReplyTimeoutMs, nullptr, nullptr));
  ASSERT_TRUE(reply) << path;
  const gchar *xml = nullptr;
  g_variant_get(reply.get(), "(&s)", &xml);
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(xml, nullptr);
  ASSERT_NE(node, nullptr);
  for (GDBusInterfaceInfo **i = node->interfaces; *i != nullptr; ++i) {
    if (!g_str_has_prefix((*i)->name, "com.wqx.igd1")) continue;
    Target target{path, (*i)->name, {}, {}};
    for (GDBusPropertyInfo **p = (*i)->properties; p != nullptr && *p != nullptr; ++p)
      target.properties.push_back(
          {(*p)->name, (*p)->signature, ((*p)->flags & G_DBUS_PROPERTY_INFO_FLAGS_WRITABLE) != 0});
    // A method marked as never answered cannot be checked for its answer.
    for (GDBusMethodInfo **m = (*i)->methods; m != nullptr && *m != nullptr; ++m)
      if (g_strcmp0(g_dbus_annotation_info_lookup((*m)->annotations,
                                                  "org.freedesktop.DBus.Method.NoReply"),
                    "true") != 0)
        target.methods.push_back({(*m)->name, in_signature(*m)});
    targets->push_back(std::move(target));
  }
  for (GDBusNodeInfo **child = node->nodes; child != nullptr && *child != nullptr; ++child)
    collect_targets(client, path + "/" + (*child)->path, targets);
  g_dbus_node_info_unref(node);
}

// ---- random values ----------------------------------------------------------------

class Generator {
 public:
  explicit Generator(uint64_t seed) : rng_(seed) {}

  size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < size_t(percent); }
  template <typename T>
  const T &pick(const std::vector<T> &from) { return from[below(from.size())]; }

  // Valid UTF-8: mostly short, sometimes empty, sometimes long, with
  // characters of one to four bytes.
  std::string text() {
    static const char *const kPieces[] = {"a", "Z", "0", " ", "%s", "/", "'", "\\", "é", "€", "𝄞", "\t"};
    const bool long_text = budget_ > kLongText && chance(5);
    if (long_text) budget_ -= kLongText;
    size_t length = chance(10) ? 0 : long_text ? 1000 + below(60000) : below(40);
    std::string out;
    for (size_t i = 0; i < length; ++i) out += kPieces[below(std::size(kPieces))];
    return out;
  }
  std::string name() { return chance(50) ? "X" + std::to_string(below(100)) : text(); }

  // A random complete type; `depth` counts the containers around it.
  std::string type(int depth) {
    static constexpr char kBasic[] = "bynqiuxtdsog";
    const size_t kind = depth > 6 ? 0 : below(10);
    switch (kind) {
      case 6: return "v";
      case 7: return "a" + type(depth + 1);
      case 8: {
        std::string tuple = "(";
        for (size_t n = 1 + below(4); n > 0; --n) tuple += type(depth + 1);
        return tuple + ")";
      }
      case 9: return std::string("a{") + kBasic[below(std::size(kBasic) - 1)] + type(depth + 1) + "}";
      default: return std::string(1, kBasic[below(std::size(kBasic) - 1)]);
    }
  }

  // Starts the values of one call: a budget of elements bounds them, so that
  // a message stays far below the bus's size limit.
  void begin_call() { budget_ = 400; }

  // A value of `type` with random content (floating).
  GVariant *value(const GVariantType *type) {
    --budget_;
    if (g_variant_type_is_variant(type)) return g_variant_new_variant(any());
    if (g_variant_type_is_array(type)) {
      const GVariantType *element = g_variant_type_element(type);
      std::vector<GVariant *> items;
      for (size_t n = chance(40) ? 0 : below(6); n > 0 && budget_ > 0; --n) items.push_back(value(element));
      return g_variant_new_array(element, items.data(), items.size());
    }
    if (g_variant_type_is_tuple(type) || g_variant_type_is_dict_entry(type)) {
      std::vector<GVariant *> items;
      for (const GVariantType *t = g_variant_type_first(type); t != nullptr; t = g_variant_type_next(t))
        items.push_back(value(t));
      return g_variant_type_is_tuple(type) ? g_variant_new_tuple(items.data(), items.size())
                                           : g_variant_new_dict_entry(items[0], items[1]);
    }
    const uint64_t bits = rng_();
    switch (g_variant_type_peek_string(type)[0]) {
      case 'b': return g_variant_new_boolean(bits & 1);
      case 'y': return g_variant_new_byte(guchar(bits));
      case 'n': return g_variant_new_int16(gint16(bits));
      case 'q': return g_variant_new_uint16(guint16(bits));
      case 'i': return g_variant_new_int32(gint32(bits));
      case 'u': return g_variant_new_uint32(chance(50) ? guint32(bits) : guint32(below(70000)));
      case 'x': return g_variant_new_int64(gint64(bits));
      case 't': return g_variant_new_uint64(bits);
      case 'd': return g_variant_new_double(chance(10) ? 1e308 * 10 : double(gint32(bits)) / 7);
      case 'o': return g_variant_new_object_path(chance(50) ? kRoot : "/a/b0/_");
      case 'g': return g_variant_new_signature(chance(50) ? "a{sv}" : "");
      default: return g_variant_new_string(chance(30) ? pick(addresses_).c_str() : text().c_str());
    }
  }

  // A value of a random type; now and then a deep nest of variants around
  // nested empty arrays, the shape that reaches GDBus's nesting limit.
  GVariant *any() {
    if (budget_ <= 0) return g_variant_new_byte(0);
    if (chance(3)) {
      const std::string element = std::string(below(32), 'a') + "y";
      GVariant *nest = g_variant_new_array(G_VARIANT_TYPE(element.c_str()), nullptr, 0);
      for (size_t n = below(40); n > 0; --n) nest = g_variant_new_variant(nest);
      return nest;
    }
    const std::string t = type(0);
    return value(G_VARIANT_TYPE(t.c_str()));
  }

  // An a{sv} of entries named after `target`'s properties or not, each of
  // the property's type or of any type.
  GVariant *entries(const Target &target) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (size_t n = below(7); n > 0; --n) {
      const Member *property = target.properties.empty() || chance(25) ? nullptr : &pick(target.properties);
      const std::string entry_name = property != nullptr ? property->name : name();
      GVariant *entry = property != nullptr && chance(50)
                            ? value(G_VARIANT_TYPE(property->signature.c_str()))
                            : any();
      g_variant_builder_add(&builder, "{sv}", entry_name.c_str(), entry);
    }
    return g_variant_builder_end(&builder);
  }

 private:
  static constexpr int kLongText = 200;
  std::mt19937_64 rng_;
  int budget_ = 0;
  const std::vector<std::string> addresses_ = {"192.168.1.20", "10.0.0.1", "0.0.0.0", "255.255.255.255",
                                               "::1", "TCP", "both", "http://10.0.0.2:8080/x", "1"};
};

// One random call at the targets; the objects in `untouched` are only read.
RecordedCall random_call(Generator &random, const std::vector<Target> &targets,
                         const std::set<std::string> &untouched) {
  const Target &target = random.pick(targets);
  RecordedCall call;
  call.path = target.path;
  random.begin_call();
  GVariant *body = nullptr;
  const size_t action = untouched.count(target.path) ? 70 + random.below(10) : random.below(100);
  const std::string interface = random.chance(80)   ? target.interface
                                : random.chance(50) ? random.pick(targets).interface
                                                    : random.name();
  if (action < 50) {
    call.interface = "com.wqx.igd1.Properties";
    call.member = "SetMulti";
    body = random.chance(90) ? g_variant_new("(s@a{sv})", interface.c_str(),
                                             random.entries(target))
                             : g_variant_new_tuple(nullptr, 0);
  } else if (action < 70) {
    call.interface = "org.freedesktop.DBus.Properties";
    call.member = "Set";
    const Member *property = target.properties.empty() ? nullptr : &random.pick(target.properties);
    const std::string name = property == nullptr || random.chance(20) ? random.name() : property->name;
    GVariant *value = property != nullptr && random.chance(50)
                          ? random.value(G_VARIANT_TYPE(property->signature.c_str()))
                          : random.any();
    body = g_variant_new("(ssv)", interface.c_str(), name.c_str(), value);
  } else if (action < 80) {
    call.interface = "org.freedesktop.DBus.Properties";
    call.member = random.chance(50) ? "GetAll" : "Get";
    const std::string name = target.properties.empty() || random.chance(30)
                                 ? random.name()
                                 : random.pick(target.properties).name;
    body = call.member == "Get" ? g_variant_new("(ss)", interface.c_str(), name.c_str())
                                : g_variant_new("(s)", interface.c_str());
  } else {
    call.interface = target.interface;
    const Member *method = target.methods.empty() || random.chance(10) ? nullptr : &random.pick(target.methods);
    call.member = method != nullptr ? method->name : "NoSuchMethod";
    if (method != nullptr && random.chance(60)) {
      body = random.value(G_VARIANT_TYPE(method->signature.c_str()));
    } else {
      const std::string tuple = "(" + random.type(1) + ")";
      body = random.value(G_VARIANT_TYPE(tuple.c_str()));
    }
  }
  call.body.reset(g_variant_ref_sink(body));
  return call;
}

// The unique name owning `name` now, or "" when nobody owns it.
std::string owner_of(GDBusConnection *connection, const char *name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
      kReplyTimeoutMs, nullptr, nullptr);
  const gchar *owner = "";
  if (reply != nullptr) g_variant_get(reply, "(&s)", &owner);
  return owner;
}

uint64_t seed_from_environment() {
  if (const char *text = g_getenv("IGD1_FUZZ_SEED")) return g_ascii_strtoull(text, nullptr, 0);
  return std::random_device{}() ^ uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

double seconds_from_environment() {
  const char *text = g_getenv("IGD1_FUZZ_SECONDS");
  return text != nullptr ? g_ascii_strtod(text, nullptr) : 3.0;
}

// Every writable value of the targets, by "path interface name".
std::map<std::string, std::string> writable_values(GDBusConnection *client, const std::vector<Target> &targets) {
  std::map<std::string, std::string> values;
  for (const Target &target : targets) {
    for (const Member &property : target.properties) {
      if (!property.writable) continue;
      Variant reply = call_service(client, target.path, "org.freedesktop.DBus.Properties", "Get",
                                   g_variant_new("(ss)", target.interface.c_str(), property.name.c_str()),
                                   nullptr, kReplyTimeoutMs);
      values[target.path + " " + target.interface + " " + property.name] = printed(reply.get());
    }
  }
  return values;
}

class FuzzTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (!HasFatalFailure()) start_daemon();
  }
  void TearDown() override {
    daemon_.reset();
    DaemonTest::TearDown();
  }
  void start_daemon() {
    daemon_.reset();  // one daemon per root
    daemon_ = std::make_unique<DaemonProcess>(std::vector<std::string>{"--root", root_.dir()});
    ASSERT_TRUE(wait_for_name(client_, host::kServiceName));
  }
  // A client the message bus dropped (for a message it refused) is replaced.
  void reconnect_if_dropped() {
    if (!g_dbus_connection_is_closed(client_)) return;
    g_object_unref(client_);
    client_ = connect_private_bus();
  }

  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(FuzzTest, EveryRandomCallIsAnsweredAndTheValuesStay) {
  const uint64_t seed = seed_from_environment();
  const double seconds = seconds_from_environment();
  std::printf("fuzz seed %llu (IGD1_FUZZ_SEED=%llu repeats this run), %.1f s\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed), seconds);
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("IGD1_FUZZ_SEED=" + std::to_string(seed));
  Generator random(seed);

  std::vector<Target> targets;
  collect_targets(client_, kRoot, &targets);
  ASSERT_GT(targets.size(), 10u);
  // A third of the objects are only read: their values must be the same
  // after the run, whatever was sent to the others.  An SSID is no such
  // witness: the SSIDs of a band share their radio's channel settings, which
  // a write to any of them (or a channel switch) changes for all.
  const std::string ssid_prefix = "/com/wqx/igd1/Config/WLAN/Devices/";
  auto shares_state = [&](const std::string &path) {
    return path.rfind(ssid_prefix, 0) == 0 && path.find('/', ssid_prefix.size()) == std::string::npos;
  };
  std::set<std::string> untouched;
  for (const Target &target : targets)
    if (random.chance(33) && !shares_state(target.path)) untouched.insert(target.path);
  const std::map<std::string, std::string> before = writable_values(client_, targets);

  // Managers a call emptied (RemoveAllObjects): their rows are rightly gone.
  std::set<std::string> emptied;
  auto emptied_row = [&](const std::string &key) {
    for (const std::string &manager : emptied)
      if (key.rfind(manager + "/", 0) == 0) return true;
    return false;
  };
  int calls = 0, ended = 0;
  std::string owner = owner_of(client_, host::kServiceName);
  ASSERT_FALSE(owner.empty());
  const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < stop) {
    const RecordedCall call = random_call(random, targets, untouched);
    ++calls;
    g_autoptr(GError) error = nullptr;
    const auto sent = std::chrono::steady_clock::now();
    Variant reply = send_recorded_call(client_, call, kReplyTimeoutMs, &error);
    if (reply) {
      if (call.member == "RemoveAllObjects") emptied.insert(call.path);
      continue;
    }
    ASSERT_FALSE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
        << "no answer within " << kReplyTimeoutMs << " ms to\n" << recorded_call_text(call);
    const auto [name, message] = remote_error(error);
    if (g_dbus_connection_is_closed(client_)) {
      reconnect_if_dropped();  // the message bus refused the message itself
      ASSERT_NE(client_, nullptr);
      continue;
    }
    if (name != "org.freedesktop.DBus.Error.NoReply" &&
        name != "org.freedesktop.DBus.Error.ServiceUnknown")
      continue;  // an error reply
    // A module may answer with the NoReply name itself (DeleteObject on an
    // empty table of sleep timers does); the connection that answered then
    // still owns the name.
    if (owner_of(client_, host::kServiceName) == owner) continue;
    // The daemon's connection is gone: only a call GDBus cannot decode may
    // do that; igd1d says why and serves again on a new connection.
    ++ended;
    const bool back = wait_for_name(client_, host::kServiceName, std::chrono::seconds(3));
    const std::string output = read_text_file(daemon_->output_file());
    EXPECT_TRUE(back) << output << "\nafter " << message << "\n" << recorded_call_text(call);
    EXPECT_EQ(daemon_->wait_exit(std::chrono::milliseconds(0)), -1) << output;
    constexpr char kClosed[] = "igd1d: the bus connection closed: ";
    EXPECT_THAT(output, HasSubstr(kClosed));
    const size_t said = output.rfind(kClosed);
    RecordedCall kept = {call.path, call.interface, call.member, Variant(g_variant_ref(call.body.get())),
                         true, said == std::string::npos ? "" : output.substr(said)};
    if (!kept.reason.empty() && kept.reason.back() == '\n') kept.reason.pop_back();
    std::printf("igd1d lost its connection %lld ms after this call:\n%s", static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count()),
                recorded_call_text(kept).c_str());
    if (HasFatalFailure() || !back) return;
    owner = owner_of(client_, host::kServiceName);
  }
  std::printf("%d calls, igd1d lost its connection %d times\n", calls, ended);
  EXPECT_GT(calls, 20);

  const std::map<std::string, std::string> after = writable_values(client_, targets);
  int witnesses = 0;
  for (const auto &[key, value] : before) {
    if (emptied_row(key)) continue;
    if (untouched.count(key.substr(0, key.find(' ')))) {
      ++witnesses;
      EXPECT_EQ(after.at(key), value) << key;
    }
    // What read before still reads; an SSID's values may rightly stop
    // reading (a guest network's time limit once it is no guest network).
    if (value != "<null>" && !shares_state(key.substr(0, key.find(' ')))) {
      EXPECT_NE(after.at(key), "<null>") << key << " no longer reads";
    }
  }
  std::printf("%d values of %zu objects only read stayed as they were\n", witnesses, untouched.size());
  // And the service still takes a plain write.
  GVariant *lease = g_variant_new("(ssv)", "com.wqx.igd1.DHCPServer", "LeaseTime", g_variant_new_uint32(3600));
  EXPECT_TRUE(call_service(client_, "/com/wqx/igd1/Config/DHCPServer", "org.freedesktop.DBus.Properties", "Set",
                           lease, nullptr, kReplyTimeoutMs));
}

// The kept inputs get their recorded outcome.
TEST_F(FuzzTest, KeptInputsGetTheirRecordedOutcome) {
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(IGD1_FUZZ_INPUTS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    RecordedCall call;
    std::string problem;
    ASSERT_TRUE(read_recorded_call(entry.path(), &call, &problem)) << problem;
    ++files;
    g_autoptr(GError) error = nullptr;
    Variant reply = send_recorded_call(client_, call, kReplyTimeoutMs, &error);
    EXPECT_FALSE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT));
    if (call.drops_connection) {
      EXPECT_FALSE(reply) << "the call was answered";
      EXPECT_TRUE(wait_for_name(client_, host::kServiceName, std::chrono::seconds(3)));
      EXPECT_THAT(read_text_file(daemon_->output_file()), HasSubstr(call.reason));
    }
    EXPECT_EQ(daemon_->wait_exit(std::chrono::milliseconds(100)), -1) << "igd1d ended";
    // And it serves again.
    EXPECT_TRUE(call_service(client_, "/com/wqx/igd1/Config/DHCPServer", "org.freedesktop.DBus.Properties",
                             "Get", g_variant_new("(ss)", "com.wqx.igd1.DHCPServer", "LeaseTime"), nullptr,
                             kReplyTimeoutMs));
    // A fresh daemon for the next input: a loss within a minute of another
    // is counted rather than logged.
    if (call.drops_connection) start_daemon();
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace igd1::test
