// The engine's declarations proven over the bus through the test module
// library: method tables with service-type variants and calls answered
// later, documents chosen per service type at each request, an object
// beside every row, RemoveAllObjects only where declared, and announcing
// per property, before or after the commit.

#include <future>

#include "local_socket.h"

namespace igd1::test {
namespace {

constexpr char kProbeLibrary[] = IGD1_BUILD_DIR "/libigd1_probe_module.so";
constexpr char kRows[] = "/com/wqx/igd1/Test/Engine/Rows";
constexpr char kEarly[] = "/com/wqx/igd1/Test/Engine/Early";
constexpr char kRow[] = "com.wqx.igd1.Test.ProbeRow";
constexpr char kStats[] = "com.wqx.igd1.Test.ProbeRowStats";
constexpr char kProperties[] = "com.wqx.igd1.Properties";

constexpr char kSingle[] = "/com/wqx/igd1/Test/Engine/Single";
constexpr char kLedger[] = "/com/wqx/igd1/Test/Engine/Ledger";
constexpr char kLedgerInterface[] = "com.wqx.igd1.Test.ProbeLedger";
constexpr char kSingleInterface[] = "com.wqx.igd1.Test.ProbeSingle";
class EngineDeclarationTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    options.library = kProbeLibrary;
    // The switch comes first: the lamp's path then turns from a plain
    // registration into one that follows the service type.
    options.modules = {"ProbeRows", "ProbeEarly", "ProbePositions", "ProbeSingle", "ProbeSwitch",
                       "ProbeLamp", "ProbeRadios", "ProbeLedger", "ProbeShelf"};
    options.notify_socket = true;
  }
  void SetUp() override {
    BusTest::SetUp();
    if (HasFatalFailure()) return;
    loop_->run([&] { control<void (*)()>("probe_engine_reset")(); });
    ASSERT_TRUE(wait_for_notify_socket());
  }
  void TearDown() override {
    if (host_ != nullptr)
      loop_->run([&] {
        control<void (*)()>("probe_engine_reset")();
        control<void (*)(bool)>("probe_ignore_writes")(false);
      });
    host::settings().service_type = 0;
    BusTest::TearDown();
  }

  template <typename Fn>
  Fn control(const char *name) {
    auto fn = reinterpret_cast<Fn>(host_->library().symbol(name));
    EXPECT_NE(fn, nullptr) << name;
    return fn;
  }

  // A method's reply printed, or its error.
  std::string method(const std::string &path, const char *name, GVariant *args = nullptr,
                     const char *interface = kRow) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path.c_str(), interface, name, args, &error);
    if (reply == nullptr) {
      const Error failure = remote_error(error);
      return failure.first + ": " + failure.second;
    }
    return printed(reply.get());
  }
};

TEST_F(EngineDeclarationTest, MethodsServeTheirRowAndTheCurrentServiceType) {
  const std::string first = add_child(kRows);
  const std::string second = add_child(kRows);
  ASSERT_EQ(second, std::string(kRows) + "/2");
  // The handler learns the path, the row's number and position and the module's data.
  EXPECT_EQ(method(first, "Echo"), "('" + first + " 1 0 rows',)");
  EXPECT_EQ(method(second, "Echo"), "('" + second + " 2 1 rows',)");

  // The variant is chosen at each call.
  EXPECT_EQ(method(first, "Mode"), "('basic',)");
  host::settings().service_type = 1;
  EXPECT_EQ(method(first, "Mode"), "('extended',)");
  EXPECT_EQ(method(second, "Boost"), "(uint32 200,)");
  host::settings().service_type = 0;
  EXPECT_EQ(method(first, "Mode"), "('basic',)");
  EXPECT_THAT(method(second, "Boost"), HasSubstr("org.freedesktop.DBus.Error.UnknownMethod"));
  // A name the table does not write is refused with the table's own text.
  EXPECT_EQ(set_multi(second, kRow, dictionary({{"Seen", g_variant_new_boolean(true)}})),
            InvalidArgs("row 2 has no Seen to write"));

  // Exactly one answer: a second one is dropped, a missing one is an error.
  EXPECT_EQ(method(first, "Twice"), "(uint32 1,)");
  loop_->run([] {});  // the handler has returned after its first answer was sent
  EXPECT_EQ(control<int (*)()>("probe_engine_second_answers")(), 1);
  EXPECT_EQ(method(first, "Silent"),
            "org.freedesktop.DBus.Error.Failed: The method gave no answer");
}

// The single object declares that it starts after the radios: listed
// before them, it starts once they are published.
TEST_F(EngineDeclarationTest, ModulesStartInTheOrderTheyDeclare) {
  loop_->run([&] {
    EXPECT_THAT(control<std::vector<std::string> (*)()>("probe_started")(),
                ElementsAre("ProbeRadios", "ProbeSingle", "ProbeLedger"));
  });
}

// A single object's method table: the call's context, the declared log
// lines, and a kept call answered from a timer on the loop.
TEST_F(EngineDeclarationTest, ASingleObjectServesItsMethodTable) {
  EXPECT_EQ(method(kSingle, "Which", nullptr, kSingleInterface),
            "('" + std::string(kSingle) + "', 'single')");
  const std::string log = syslog();
  EXPECT_THAT(log, HasSubstr("]: method Which\r\n"));
  EXPECT_THAT(log, HasSubstr("]: out of func [described_method_call]\r\n"));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(method(kSingle, "Slow", g_variant_new("(u)", 200u), kSingleInterface), "('Slow',)");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
}

// A single object serves on each request the interface of the current
// service type: its two property sets, a property whose bus type changes,
// and what it announces; an object sharing its path keeps answering.
TEST_F(EngineDeclarationTest, ASingleObjectsInterfaceFollowsTheServiceType) {
  constexpr char kLamp[] = "/com/wqx/igd1/Test/Engine/Lamp";
  constexpr char kLampInterface[] = "com.wqx.igd1.Test.ProbeLamp";
  constexpr char kUnannounced[] =
      "<annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" value=\"false\"/>";
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", kLamp);
  std::string document = introspect(kLamp);
  EXPECT_THAT(document, HasSubstr("<property type=\"s\" name=\"Status\" access=\"readwrite\">\n"
                                  "    </property>"));
  EXPECT_THAT(document, HasSubstr("<property type=\"s\" name=\"Kind\""));
  EXPECT_THAT(document, Not(HasSubstr("LEDStatus")));
  EXPECT_THAT(document, HasSubstr("com.wqx.igd1.Test.ProbeSwitch"));
  EXPECT_EQ(printed(get_property(kLamp, kLampInterface, "Kind").get()), "'desk'");
  ASSERT_TRUE(set_property(kLamp, kLampInterface, "Status", g_variant_new_string("ON")));
  EXPECT_EQ(printed(changes.wait().body.get()), "('" + std::string(kLampInterface) + "', {'Status': <'ON'>}, @as [])");

  host::settings().service_type = 1;
  document = introspect(kLamp);
  EXPECT_THAT(document, HasSubstr("<property type=\"y\" name=\"LEDStatus\" access=\"readwrite\">\n"
                                  "      " + std::string(kUnannounced)));
  EXPECT_THAT(document, HasSubstr("<property type=\"y\" name=\"Kind\""));
  EXPECT_THAT(document, Not(HasSubstr("name=\"Status\"")));
  EXPECT_EQ(printed(get_property(kLamp, kLampInterface, "Kind").get()), "byte 0x07");
  EXPECT_EQ(get_all(kLamp, kLampInterface), "({'Kind': <byte 0x07>, 'LEDStatus': <byte 0x00>},)");
  ASSERT_TRUE(set_property(kLamp, kLampInterface, "LEDStatus", g_variant_new_byte(3)));
  EXPECT_FALSE(set_property(kLamp, kLampInterface, "Status", g_variant_new_string("OFF")));
  EXPECT_FALSE(set_property(kLamp, kLampInterface, "LEDStatus", g_variant_new_string("OFF")));
  EXPECT_EQ(printed(get_property(kLamp, kLampInterface, "LEDStatus").get()), "byte 0x03");
  // The path's multi-property write reaches both objects.
  for (const auto &[interface, entries] :
       {std::pair{kLampInterface, dictionary({{"LEDStatus", g_variant_new_byte(5)}})},
        std::pair{"com.wqx.igd1.Test.ProbeSwitch", dictionary({{"On", g_variant_new_boolean(TRUE)}})}})
    ASSERT_EQ(set_multi(kLamp, interface, entries), Error());
  EXPECT_EQ(printed(get_property(kLamp, kLampInterface, "LEDStatus").get()), "byte 0x05");
  EXPECT_EQ(printed(get_property(kLamp, "com.wqx.igd1.Test.ProbeSwitch", "On").get()), "true");
  // The lamp's writes on this service type were not announced; the switch's was.
  EXPECT_EQ(changes.next(), change_body("com.wqx.igd1.Test.ProbeSwitch", "{'On': <true>}"));

  host::settings().service_type = 0;
  EXPECT_THAT(introspect(kLamp), HasSubstr("name=\"Status\""));
  EXPECT_EQ(printed(get_property(kLamp, kLampInterface, "Status").get()), "'ON'");
}

// Notices of other processes reach every published path, also those whose
// interfaces are declared at each request, with the value's type declared
// there now; only a path nobody publishes is refused.
TEST_F(EngineDeclarationTest, NoticesReachPathsPublishedPerRequest) {
  const std::string row = add_child(kRows);
  const std::string notice = "value-changed " + row + " " + kRow + " ";
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", row.c_str());
  EXPECT_EQ(exchange(notice + "Name 'lit'"), "OK");
  EXPECT_EQ(printed(changes.wait().body.get()), "('" + std::string(kRow) + "', {'Name': <'lit'>}, @as [])");
  EXPECT_THAT(exchange(notice + "Rank 4"), StartsWith("ERR unknown property"));
  const std::string lamp = "value-changed /com/wqx/igd1/Test/Engine/Lamp ";
  EXPECT_THAT(exchange(lamp + "com.wqx.igd1.Test.ProbeLamp Kind 9"), StartsWith("ERR bad value"));
  EXPECT_EQ(exchange(lamp + "com.wqx.igd1.Test.ProbeSwitch On true"), "OK");

  host::settings().service_type = 1;
  EXPECT_EQ(exchange(notice + "Rank 4"), "OK");
  EXPECT_THAT(printed(changes.wait().body.get()), HasSubstr("{'Rank': <uint32 4>}"));
  EXPECT_EQ(exchange(lamp + "com.wqx.igd1.Test.ProbeLamp Kind 9"), "OK");
  EXPECT_EQ(exchange(lamp + "com.wqx.igd1.Test.ProbeLamp Status 'x'"),
            "ERR unknown property com.wqx.igd1.Test.ProbeLamp.Status");

  const std::string gone = std::string(kRows) + "/2";
  EXPECT_EQ(exchange("value-changed " + gone + " " + kRow + " Name 'x'"), "ERR no object at " + gone);
  EXPECT_EQ(exchange(lamp + "com.wqx.igd1.Test.ProbeRow Name 'x'"),
            "ERR com.wqx.igd1.Test.ProbeRow is not served at /com/wqx/igd1/Test/Engine/Lamp");
}

// A multi-write of an object applies ranked entries after the others,
// whatever the order of the request; the change signal lists them as they
// were applied.  A row's entries are applied in the request's order.
TEST_F(EngineDeclarationTest, MultiWritesApplyRankedEntriesLast) {
  const std::string early = add_child(kEarly);
  SignalWatcher row_changes(client(), kProperties, "PropertiesChanged", early.c_str());
  ASSERT_EQ(set_multi(early, kRow, dictionary({{"Name", g_variant_new_string("n")},
                                                {"Weight", g_variant_new_uint16(2)}})),
            Error());
  EXPECT_EQ(printed(row_changes.wait().body.get()),
            "('" + std::string(kRow) + "', {'Name': <'n'>, 'Weight': <uint16 2>}, @as [])");

  constexpr char kSwitch[] = "com.wqx.igd1.Test.ProbeSwitch";
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", "/com/wqx/igd1/Test/Engine/Lamp");
  ASSERT_EQ(set_multi("/com/wqx/igd1/Test/Engine/Lamp", kSwitch,
                      dictionary({{"Pin", g_variant_new_string("1234")},
                                  {"On", g_variant_new_boolean(FALSE)}})),
            Error());
  EXPECT_EQ(printed(changes.wait().body.get()),
            "('" + std::string(kSwitch) + "', {'On': <false>, 'Pin': <'1234'>}, @as [])");
}

TEST_F(EngineDeclarationTest, ACallAnsweredLaterLeavesTheLoopFreeAndIsAnsweredOnce) {
  const std::string row = add_child(kRows);
  // The answer comes from a worker once the test lets it; meanwhile the loop serves others.
  auto waited = std::async(std::launch::async, [&] { return method(row, "Wait"); });
  EXPECT_TRUE(eventually([&] { return control<int (*)()>("probe_waiting_calls")() == 1; }));
  EXPECT_EQ(method(row, "Echo"), "('" + row + " 1 0 rows',)");
  EXPECT_EQ(waited.wait_for(0s), std::future_status::timeout);
  control<void (*)()>("probe_release_waits")();
  EXPECT_EQ(waited.get(), "(uint32 1,)");

  // A kept call dropped without an answer is answered for it, not left to time out.
  EXPECT_EQ(method(row, "Forget"),
            "org.freedesktop.DBus.Error.Failed: Forget ended without an answer");
}

TEST_F(EngineDeclarationTest, TheDocumentFollowsTheServiceTypeAtEachRequest) {
  const std::string row = add_child(kRows);
  EXPECT_THAT(introspect(kRows), HasSubstr("<node name=\"1\"/>"));
  EXPECT_THAT(introspect(row.c_str()), Not(HasSubstr("Rank")));
  EXPECT_THAT(introspect(row.c_str()), HasSubstr("<method name=\"Echo\">"));
  EXPECT_EQ(get_property(row.c_str(), kRow, "Rank"), nullptr);
  EXPECT_THAT(managed(kRows), Not(HasSubstr("Rank")));

  host::settings().service_type = 1;
  EXPECT_THAT(introspect(row.c_str()), HasSubstr("<property type=\"u\" name=\"Rank\""));
  EXPECT_THAT(introspect(row.c_str()), HasSubstr("<method name=\"Boost\">"));
  Variant rank = get_property(row.c_str(), kRow, "Rank");
  ASSERT_NE(rank, nullptr);
  EXPECT_EQ(g_variant_get_uint32(rank.get()), 0u);
  EXPECT_THAT(get_all(row, kRow), HasSubstr("'Rank': <uint32 0>"));
  EXPECT_THAT(managed(kRows), HasSubstr("'Rank': <uint32 0>"));

  // Writes reach the same row whichever document is served.
  ASSERT_TRUE(set_property(row.c_str(), kRow, "Name", g_variant_new_string("wide")));
  host::settings().service_type = 0;
  ASSERT_EQ(set_multi(row, kRow, dictionary({{"Weight", g_variant_new_uint16(7)}})), Error());
  EXPECT_THAT(managed(kRows), HasSubstr("{'Name': <'wide'>, 'Weight': <uint16 7>, 'Note': <''>, 'Wake': <'0:0'>}"));
  EXPECT_THAT(introspect(row.c_str()), Not(HasSubstr("Rank")));
  EXPECT_FALSE(set_property(row.c_str(), kRow, "Rank", g_variant_new_uint32(1)));
  EXPECT_EQ(set_multi(row, "com.wqx.igd1.Test.Other", dictionary({{"Name", g_variant_new_string("x")}}))
                .first,
            "org.freedesktop.DBus.Error.InvalidArgs");

  // Deleted, the child leaves no node and no listing behind.
  ASSERT_EQ(remove(kRows, row), Error());
  EXPECT_THAT(introspect(kRows), Not(HasSubstr("<node name=\"1\"/>")));
  EXPECT_EQ(get_property(row.c_str(), kRow, "Name"), nullptr);
  EXPECT_EQ(managed(kRows), "(@a{oa{sa{sv}}} {},)");
}

// Deleted and added back fifty times, the row's object is registered
// afresh each time (a stale registration would stop the engine), its hooks
// told of both ends, and a row added back starts from its own values.
TEST_F(EngineDeclarationTest, AnObjectBesideEveryRowComesAndGoesWithIt) {
  auto journal = control<std::vector<std::string> (*)()>("probe_stats_journal");
  for (int round = 0; round < 50; ++round) {
    const std::string row = add_child(kRows);
    ASSERT_EQ(row, std::string(kRows) + "/1") << round;
    const std::string stats = row + "/Stats";
    Variant data = get_property(stats.c_str(), kStats, "data");
    ASSERT_NE(data, nullptr) << round;
    EXPECT_EQ(printed(data.get()), "['row 1', '" + stats + "']");
    EXPECT_EQ(shown(stats, kStats, "Limit"), "uint32 0") << round;
    ASSERT_EQ(write(stats, kStats, "Limit", g_variant_new_uint32(5)), Error()) << round;
    if (round == 0) {
      EXPECT_THAT(introspect(row.c_str()), HasSubstr("<node name=\"Stats\"/>"));
      EXPECT_THAT(introspect(stats.c_str()), HasSubstr(kStats));
      EXPECT_THAT(managed(kRows), Not(HasSubstr("Stats")));
    }
    ASSERT_EQ(remove(kRows, row), Error());
    EXPECT_EQ(get_property(stats.c_str(), kStats, "data"), nullptr) << round;
    loop_->run([&] {
      EXPECT_THAT(journal(), ElementsAre("export 1 at " + stats, "begin 1", "commit 1",
                                         "unexport 1"))
          << round;
    });
  }
  EXPECT_THAT(introspect(kRows), Not(HasSubstr("<node name=\"1\"/>")));
  EXPECT_THAT(introspect((std::string(kRows) + "/1").c_str()), Not(HasSubstr("Stats")));
}

// The object beside a row is a table of its own: each row's object reads
// and writes its own values, a write is one transaction (a multi-write
// whose second entry is refused keeps nothing and runs the abort), changes
// are announced on the object's path, a read-only value takes no write,
// and methods answer with the row's number.
TEST_F(EngineDeclarationTest, AnObjectBesideARowIsATableOfItsOwn) {
  auto journal = control<std::vector<std::string> (*)()>("probe_stats_journal");
  const std::string first = add_child(kRows) + "/Stats";
  const std::string second = add_child(kRows) + "/Stats";
  loop_->run([&] { journal(); });

  SignalWatcher changes(client(), kProperties, "PropertiesChanged", second.c_str());
  ASSERT_EQ(write(second, kStats, "Limit", g_variant_new_uint32(10)), Error());
  EXPECT_EQ(changes.next(), change_body(kStats, "{'Limit': <uint32 10>}"));
  EXPECT_EQ(shown(second, kStats, "Limit"), "uint32 10");
  EXPECT_EQ(shown(first, kStats, "Limit"), "uint32 0");

  EXPECT_EQ(set_multi(second, kStats,
                      dictionary({{"Label", g_variant_new_string("north")},
                                  {"Limit", g_variant_new_uint32(7)}})),
            InvalidArgs("7 is no limit of row 2"));
  EXPECT_EQ(text(second, kStats, "Label"), "");
  EXPECT_EQ(shown(second, kStats, "Limit"), "uint32 10");
  EXPECT_EQ(changes.next(200ms), "<null>");
  ASSERT_EQ(set_multi(second, kStats,
                      dictionary({{"Label", g_variant_new_string("north")},
                                  {"Limit", g_variant_new_uint32(1)}})),
            Error());
  EXPECT_EQ(changes.next(), change_body(kStats, "{'Label': <'north'>, 'Limit': <uint32 1>}"));
  EXPECT_EQ(text(second, kStats, "Label"), "north");
  EXPECT_EQ(text(first, kStats, "Label"), "");
  loop_->run([&] {
    EXPECT_THAT(journal(), ElementsAre("begin 2", "commit 2", "begin 2", "abort 2", "begin 2",
                                       "commit 2"));
  });

  EXPECT_EQ(write(first, kStats, "data", g_variant_new_strv(nullptr, 0)).first, kInvalidArgs);
  EXPECT_EQ(set_multi(first, kStats, dictionary({{"data", g_variant_new_strv(nullptr, 0)}})),
            InvalidArgs("data of row 1 takes no writes"));
  EXPECT_EQ(answer(first, kStats, "Owner", nullptr), "('" + first + "', uint32 1)");
  EXPECT_EQ(answer(second, kStats, "Owner", nullptr), "('" + second + "', uint32 2)");
  // A method its file declares but no row serves now answers the table's text.
  EXPECT_EQ(failure_of(first, kStats, "Reset", nullptr),
            Error("org.freedesktop.DBus.Error.UnknownMethod", "Unknown method Reset"));
  host::settings().service_type = 1;
  EXPECT_EQ(answer(first, kStats, "Reset", nullptr), "('" + first + "', uint32 1)");
}

TEST_F(EngineDeclarationTest, RemoveAllObjectsOnlyWhereTheCollectionHasIt) {
  EXPECT_THAT(introspect(kRows), HasSubstr("<method name=\"RemoveAllObjects\">"));
  EXPECT_THAT(introspect(kEarly), Not(HasSubstr("RemoveAllObjects")));
  EXPECT_EQ(failure_of(kEarly, kManagerInterface, "RemoveAllObjects", nullptr).first,
            "org.freedesktop.DBus.Error.UnknownMethod");
  add_child(kEarly);

  for (int i = 0; i < 3; ++i) add_child(kRows);
  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kRows);
  ASSERT_EQ(failure_of(kRows, kManagerInterface, "RemoveAllObjects", nullptr), Error());
  for (int i = 0; i < 3; ++i) EXPECT_NE(removed.wait().body, nullptr) << i;
  EXPECT_EQ(control<size_t (*)()>("probe_engine_rows")(), 0u);
  EXPECT_EQ(managed(kRows), "(@a{oa{sa{sv}}} {},)");
  // The other collection keeps its row.
  EXPECT_THAT(managed(kEarly), HasSubstr(std::string(kEarly) + "/1"));
}

TEST_F(EngineDeclarationTest, AnnouncedPerPropertyAfterTheCommit) {
  const std::string row = add_child(kRows);
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", row.c_str());
  // The module announces nothing; Name says it is always announced.
  ASSERT_EQ(set_multi(row, kRow,
                      dictionary({{"Weight", g_variant_new_uint16(3)},
                                  {"Name", g_variant_new_string("one")}})),
            Error());
  Variant body = std::move(changes.wait().body);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(printed(body.get()), "('" + std::string(kRow) + "', {'Name': <'one'>}, @as [])");
  ASSERT_TRUE(set_property(row.c_str(), kRow, "Weight", g_variant_new_uint16(4)));
  EXPECT_EQ(changes.wait(std::chrono::milliseconds(300)).body, nullptr);

  // A refused commit announces nothing, whichever property it wrote.
  control<void (*)(bool)>("probe_engine_refuse_commits")(true);
  EXPECT_FALSE(set_property(row.c_str(), kRow, "Name", g_variant_new_string("two")));
  EXPECT_EQ(changes.wait(std::chrono::milliseconds(300)).body, nullptr);
}

// The engine's writer of single objects keeps every numeric bus type's value
// as the accessor's byte or 32-bit number, and refuses what that form cannot
// hold instead of storing it cut down (or as 0).
TEST_F(EngineDeclarationTest, StoredNumbersKeepTheirValueOrAreRefused) {
  constexpr char kRefused[] = "Invalid parameter value";
  struct Case {
    const char *name;
    GVariant *value;
    const char *refused;  // nullptr: stored
    const char *reads;
  };
  const Case cases[] = {
      {"Level", g_variant_new_int32(7), nullptr, "7"},
      {"Level", g_variant_new_int32(-1), kRefused, "7"},
      {"Small", g_variant_new_int16(5), nullptr, "5"},
      {"Small", g_variant_new_int16(256), kRefused, "5"},
      {"Step", g_variant_new_uint16(200), nullptr, "200"},
      {"Step", g_variant_new_uint16(300), kRefused, "200"},
      {"Big", g_variant_new_uint64(4000000000u), nullptr, "4000000000"},
      {"Big", g_variant_new_uint64(5000000000u), kRefused, "4000000000"},
      {"Ratio", g_variant_new_double(3.0), nullptr, "3.0"},
      {"Ratio", g_variant_new_double(2.5), kRefused, "3.0"},
  };
  for (const Case &one : cases) {
    SCOPED_TRACE(std::string(one.name) + " = " + printed(one.value));
    const Error error = write(kSingle, kSingleInterface, one.name, one.value);
    EXPECT_EQ(error.second, one.refused != nullptr ? one.refused : "");
    EXPECT_THAT(shown(kSingle, kSingleInterface, one.name), HasSubstr(one.reads));
  }
}

// An item text larger than the engine's usual item buffer is compared with
// the stored one in a buffer of its own size.
TEST_F(EngineDeclarationTest, LargeItemTextsAreComparedInTheirOwnSize) {
  const std::string row = add_child(kRows);
  const std::string note(1500, 'n');
  ASSERT_EQ(write(row, kRow, "Note", g_variant_new_string(note.c_str())), Error());
  EXPECT_EQ(text(row, kRow, "Note"), note);
  const std::string longer = note + std::string(547, 'm');
  EXPECT_EQ(write(row, kRow, "Note", g_variant_new_string(longer.c_str())), Error());
  EXPECT_EQ(text(row, kRow, "Note"), longer);
  // One byte more than the field holds is refused.
  EXPECT_EQ(write(row, kRow, "Note", g_variant_new_string((longer + "x").c_str())).second,
            "Invalid parameter value");
  EXPECT_EQ(text(row, kRow, "Note"), longer);
}

// A manager nested under a row whose collection refuses AddObject refuses
// it, though its table could insert.
TEST_F(EngineDeclarationTest, ANestedCollectionDeclaredRefusingRefusesAddObject) {
  const std::string early = add_child(kEarly);
  const std::string parts = early + "/Part";
  const auto [path, error] = add(parts.c_str());
  EXPECT_EQ(path, "");
  EXPECT_EQ(error, Error("org.freedesktop.DBus.Error.InvalidArgs", "Add ProbeParts object fail !!"));
  EXPECT_EQ(control<int (*)()>("probe_engine_part_inserts")(), 0);
}

// A row of a table reached by position is found by reading the rows up to
// it, not the whole table.
TEST_F(EngineDeclarationTest, ARowReachedByPositionIsReadUpToItOnly) {
  constexpr char kPositions[] = "/com/wqx/igd1/Test/Engine/Positions";
  const std::string first = add_child(kPositions);
  add_child(kPositions);
  const std::string third = add_child(kPositions);
  auto reads = control<int (*)()>("probe_engine_row_reads");
  reads();
  EXPECT_EQ(text(first, kRow, "Name"), "");
  EXPECT_EQ(reads(), 1);
  EXPECT_EQ(text(third, kRow, "Name"), "");
  EXPECT_EQ(reads(), 3);
}

// A read hook learns its call (a listing reads as one GetAll), and an error
// it sets is the client's: a Get answers it as it is, a GetAll and the
// listing leave the property out.
TEST_F(EngineDeclarationTest, ReadHooksSeeTheirCallAndAnswerTheirOwnErrors) {
  add_child(kRows);
  const std::string second = add_child(kRows);
  host::settings().service_type = 1;
  EXPECT_EQ(text(second, kRow, "Seen"), "Get 2 1");
  const std::string all = get_all(second, kRow);
  EXPECT_THAT(all, HasSubstr("'Seen'"));
  EXPECT_THAT(all, Not(HasSubstr("Mood")));
  const std::string listing = managed(kRows);
  EXPECT_THAT(listing, HasSubstr("'Seen': <'GetAll 2 1'>"));
  EXPECT_THAT(listing, Not(HasSubstr("Mood")));
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(get_property(second.c_str(), kRow, "Mood", &error), nullptr);
  EXPECT_EQ(remote_error(error),
            Error("org.freedesktop.DBus.Error.AccessDenied", "mood of " + second + " is private"));
}

// A row property kept in a form no field says is written by its own hook,
// which sees its call and may refuse with its own error; a change is
// announced in the form the property's announce hook gives it.
TEST_F(EngineDeclarationTest, WriteHooksStoreWhatNoFieldSaysAndChangesAreAnnouncedTransformed) {
  const std::string row = add_child(kRows);
  // A refusal names what it received through its placeholders.
  EXPECT_EQ(write(row, kRow, "Weight", g_variant_new_uint16(2000)),
            Error("org.freedesktop.DBus.Error.InvalidArgs",
                  "2000 is no weight for Weight of row 1 at " + row));
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", row.c_str());
  ASSERT_TRUE(set_property(row.c_str(), kRow, "Wake", g_variant_new_string("7:5")));
  Variant body = std::move(changes.wait().body);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(printed(body.get()), "('" + std::string(kRow) + "', {'Wake': <'07:05'>}, @as [])");
  EXPECT_EQ(text(row, kRow, "Wake"), "7:5");
  EXPECT_EQ(write(row, kRow, "Wake", g_variant_new_string("24:00")),
            Error("org.freedesktop.DBus.Error.InvalidArgs", "no time of day for " + row));
  EXPECT_EQ(set_multi(row, kRow, dictionary({{"Wake", g_variant_new_string("7:65")}})),
            Error("org.freedesktop.DBus.Error.InvalidArgs", "no time of day for " + row));
  EXPECT_EQ(changes.wait(std::chrono::milliseconds(300)).body, nullptr);
  EXPECT_EQ(text(row, kRow, "Wake"), "7:5");
}

// One declaration registered at two paths: each registration's hooks are
// told their own instance and path, each keeps its own value, a change is
// announced on its own path in the announce hook's form, and a read hook's
// own error is answered as it is to a Get and leaves GetAll without it.
TEST_F(EngineDeclarationTest, ADeclarationAtTwoPathsAnswersEachWithItsOwnInstance) {
  constexpr char kRadio[] = "com.wqx.igd1.Test.ProbeRadio";
  const std::string first = "/com/wqx/igd1/Test/Engine/Radio/1";
  const std::string second = "/com/wqx/igd1/Test/Engine/Radio/2";
  loop_->run([&] { control<void (*)()>("probe_radios_reset")(); });
  EXPECT_EQ(text(first, kRadio, "Band"), "radio 1 at " + first);
  EXPECT_EQ(text(second, kRadio, "Band"), "radio 2 at " + second);

  SignalWatcher first_changes(client(), kProperties, "PropertiesChanged", first.c_str());
  SignalWatcher second_changes(client(), kProperties, "PropertiesChanged", second.c_str());
  ASSERT_TRUE(set_property(second.c_str(), kRadio, "Window", g_variant_new_string("7:5")));
  Variant body = std::move(second_changes.wait().body);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(printed(body.get()), "('" + std::string(kRadio) + "', {'Window': <'07:05'>}, @as [])");
  ASSERT_EQ(set_multi(first, kRadio, dictionary({{"Window", g_variant_new_string("23:59")}})),
            Error());
  body = std::move(first_changes.wait().body);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(printed(body.get()), "('" + std::string(kRadio) + "', {'Window': <'23:59'>}, @as [])");
  EXPECT_EQ(text(first, kRadio, "Window"), "23:59");
  EXPECT_EQ(text(second, kRadio, "Window"), "7:5");
  EXPECT_EQ(write(second, kRadio, "Window", g_variant_new_string("7:")),
            Error("org.freedesktop.DBus.Error.InvalidArgs", "no time of day for radio 2"));

  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(get_property(second.c_str(), kRadio, "Secret", &error), nullptr);
  EXPECT_EQ(remote_error(error),
            Error("org.freedesktop.DBus.Error.AccessDenied", "secret of " + second));
  const std::string all = get_all(second, kRadio);
  EXPECT_THAT(all, HasSubstr("'Band': <'radio 2 at " + second + "'>"));
  EXPECT_THAT(all, Not(HasSubstr("Secret")));
}

// A request is one transaction: a multi-write whose third entry is refused
// stores nothing of itself (the first two are rolled back with the store's
// transaction), reaches the object's abort and not its commit, and is not
// announced; the same entries taken are stored and committed together.
TEST_F(EngineDeclarationTest, AMultiWriteWhoseThirdEntryFailsStoresNothingOfIt) {
  auto ends = control<std::pair<int, int> (*)()>("probe_ledger_ends");
  ends();
  const std::string first = text(kLedger, kLedgerInterface, "First");
  const std::string last = text(kLedger, kLedgerInterface, "Last");
  const std::string lease = printed(get_property(kLedger, kLedgerInterface, "Lease").get());
  ASSERT_NE(first, "192.168.1.20");
  ASSERT_NE(last, "192.168.1.30");
  SignalWatcher changes(client(), kProperties, "PropertiesChanged", kLedger);
  auto entries = [](guint32 lease_time) {
    return dictionary({{"First", g_variant_new_string("192.168.1.20")},
                       {"Last", g_variant_new_string("192.168.1.30")},
                       {"Lease", g_variant_new_uint32(lease_time)}});
  };
  EXPECT_EQ(set_multi(kLedger, kLedgerInterface, entries(7)),
            Error("org.freedesktop.DBus.Error.InvalidArgs",
                  "7 is no lease for Lease at " + std::string(kLedger)));
  EXPECT_EQ(text(kLedger, kLedgerInterface, "First"), first);
  EXPECT_EQ(text(kLedger, kLedgerInterface, "Last"), last);
  EXPECT_EQ(printed(get_property(kLedger, kLedgerInterface, "Lease").get()), lease);
  EXPECT_EQ(ends(), std::make_pair(0, 1));
  EXPECT_EQ(changes.wait(std::chrono::milliseconds(300)).body, nullptr);

  ASSERT_EQ(set_multi(kLedger, kLedgerInterface, entries(3600)), Error());
  EXPECT_EQ(text(kLedger, kLedgerInterface, "First"), "192.168.1.20");
  EXPECT_EQ(text(kLedger, kLedgerInterface, "Last"), "192.168.1.30");
  EXPECT_EQ(ends(), std::make_pair(1, 0));
  Variant body = std::move(changes.wait().body);
  ASSERT_NE(body, nullptr);
  EXPECT_THAT(printed(body.get()), HasSubstr("'Lease': <uint32 3600>"));
}

// A begin that ignores requests (the rule of a gateway that takes its
// settings from elsewhere): they are answered as successes and change and
// announce nothing, on rows and single objects alike.
TEST_F(EngineDeclarationTest, AnIgnoringGuardAnswersSuccessAndChangesNothing) {
  const std::string row = add_child(kRows);
  ASSERT_TRUE(set_property(row.c_str(), kRow, "Name", g_variant_new_string("kept")));
  const std::string first = text(kLedger, kLedgerInterface, "First");
  auto ends = control<std::pair<int, int> (*)()>("probe_ledger_ends");
  ends();
  SignalWatcher row_changes(client(), kProperties, "PropertiesChanged", row.c_str());
  SignalWatcher ledger_changes(client(), kProperties, "PropertiesChanged", kLedger);
  loop_->run([&] { control<void (*)(bool)>("probe_ignore_writes")(true); });

  EXPECT_TRUE(set_property(row.c_str(), kRow, "Name", g_variant_new_string("lost")));
  EXPECT_EQ(set_multi(row, kRow, dictionary({{"Name", g_variant_new_string("lost")}})), Error());
  EXPECT_EQ(text(row, kRow, "Name"), "kept");
  EXPECT_TRUE(set_property(kLedger, kLedgerInterface, "First",
                           g_variant_new_string("192.168.1.21")));
  EXPECT_EQ(set_multi(kLedger, kLedgerInterface,
                      dictionary({{"Lease", g_variant_new_uint32(7)}})),
            Error());
  EXPECT_EQ(text(kLedger, kLedgerInterface, "First"), first);
  EXPECT_EQ(ends(), std::make_pair(0, 0));
  EXPECT_EQ(row_changes.wait(std::chrono::milliseconds(300)).body, nullptr);
  EXPECT_EQ(ledger_changes.wait(std::chrono::milliseconds(300)).body, nullptr);
}

// Manager operations as declared: the insert kind hands the table a zeroed
// new row and refuses one past its limit with its own text; a guard
// refuses per service type, and on an empty table with its own error before
// the path is looked at; a delete hook answers its pending call, told the
// path, instance and position, and here only takes the child off the bus.
TEST_F(EngineDeclarationTest, ManagerOperationsFollowTheirDeclaration) {
  constexpr char kShelf[] = "/com/wqx/igd1/Test/Engine/Shelf";
  constexpr char kShelfRow[] = "com.wqx.igd1.Test.ProbeShelf";
  const std::string shelf(kShelf);
  EXPECT_EQ(remove(kShelf, shelf + "/1"),
            Error("org.freedesktop.DBus.Error.NoReply", "no shelf instance"));
  const std::string first = add_child(kShelf);
  ASSERT_EQ(first, shelf + "/1");
  EXPECT_EQ(printed(get_property(first.c_str(), kShelfRow, "Mark").get()), "uint16 0");
  EXPECT_EQ(printed(get_property(first.c_str(), kShelfRow, "Status").get()), "byte 0x00");
  EXPECT_EQ(add_child(kShelf), shelf + "/2");
  EXPECT_EQ(add_child(kShelf), shelf + "/3");
  EXPECT_EQ(add(kShelf), std::make_pair(std::string(),
                                        Error(kManagerError, "Error! Table Full.")));

  host::settings().service_type = 1;
  EXPECT_EQ(remove(kShelf, first),
            Error("org.freedesktop.DBus.Error.Failed", "##########not support to DeleteObject yet"));
  EXPECT_EQ(add(kShelf).second,
            Error("org.freedesktop.DBus.Error.Failed", "##########not support to AddObject yet"));
  host::settings().service_type = 0;

  const std::string second = shelf + "/2";
  ASSERT_EQ(remove(kShelf, second), Error());
  EXPECT_EQ(control<std::string (*)()>("probe_shelf_deleted")(), second + " 2 1");
  EXPECT_THAT(managed(kShelf), Not(HasSubstr(second + "'")));
  EXPECT_THAT(managed(kShelf), HasSubstr(first + "'"));
  EXPECT_EQ(control<size_t (*)()>("probe_shelf_rows")(), 3u);
  EXPECT_EQ(remove(kShelf, shelf + "/9"),
            Error(kManagerError, "DeleteObject object path error"));
}

// A manager nested under each row carries an interface of its own, whose
// hooks learn the row it belongs to; it comes and goes with the row.
TEST_F(EngineDeclarationTest, ANestedManagerCarriesAnInterfaceOfItsOwn) {
  constexpr char kPartManager[] = "com.wqx.igd1.Test.ProbePartManager";
  add_child(kEarly);
  const std::string early = add_child(kEarly);
  const std::string parts = early + "/Part";
  EXPECT_EQ(text(parts, kPartManager, "Owner"), "row 2 at " + parts);
  EXPECT_THAT(introspect(parts.c_str()), HasSubstr("org.freedesktop.DBus.ObjectManager"));
  ASSERT_EQ(remove(kEarly, early), Error());
  EXPECT_EQ(get_property(parts.c_str(), kPartManager, "Owner"), nullptr);
}

// Started on service type 1, the shelf takes the manager path, document
// and error name it chooses for it, and the object its path and document;
// the choice holds when the service type changes later.
class EngineStartChoiceTest : public EngineDeclarationTest {
 protected:
  void configure(host::Options &options) override {
    EngineDeclarationTest::configure(options);
    options.modules.push_back("ProbeChosen");
    options.service_type = 1;
  }
};

TEST_F(EngineStartChoiceTest, ModulesTakeThePathsDocumentsAndErrorsTheyChoseAtTheStart) {
  constexpr char kUpperShelf[] = "/com/wqx/igd1/Test/Engine/SHELF";
  EXPECT_THAT(introspect(kUpperShelf), HasSubstr(kManagerInterface));
  EXPECT_THAT(introspect("/com/wqx/igd1/Test/Engine"), Not(HasSubstr("<node name=\"Shelf\"/>")));
  host::settings().service_type = 0;  // the shelf takes changes on 0 only
  const std::string row = add_child(kUpperShelf);
  ASSERT_EQ(row, std::string(kUpperShelf) + "/1");
  EXPECT_EQ(shown(row, "com.wqx.igd1.Test.PROBESHELF", "Mark"), "uint16 0");
  EXPECT_THAT(managed(kUpperShelf), HasSubstr("'com.wqx.igd1.Test.PROBESHELF': {'Mark'"));
  EXPECT_EQ(remove(kUpperShelf, std::string(kUpperShelf) + "/9"),
            Error("com.wqx.igd1.Test.SHELF.Error", "DeleteObject object path error"));

  EXPECT_EQ(text("/com/wqx/igd1/Test/Engine/CHOSEN", "com.wqx.igd1.Test.PROBECHOSEN", "Form"),
            "/com/wqx/igd1/Test/Engine/CHOSEN");
  EXPECT_EQ(get_property("/com/wqx/igd1/Test/Engine/Chosen", "com.wqx.igd1.Test.ProbeChosen",
                         "Form"),
            nullptr);
}

}  // namespace
}  // namespace igd1::test
