// NAS file access over the bus, on real files below the test's storage root:
// listing, creating, renaming, moving, removing and copying with progress;
// names kept in GBK on the storage; and paths that try to leave the storage
// (.., absolute paths, links inside it), which are refused without touching
// anything outside it.
#include <glib/gstdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <tuple>

#include "harness/bus_fixture.h"
#include "mib_usb.h"

namespace igd1::test {
namespace {

namespace fs = std::filesystem;

constexpr char kNas[] = "/com/wqx/igd1/Storage/NAS";
constexpr char kNasInterface[] = "com.wqx.igd1.NASAccess";

class NasTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    disk_ = root().path("/mnt/usb1_1");
    fs::create_directories(disk_ + "/docs");
    write_text_file(disk_ + "/docs/a.txt", "alpha");
    // Outside the storage: must never be touched or named.
    fs::create_directories(root().path("/secret"));
    write_text_file(root().path("/secret/key"), "k");
  }
  std::string nas(const char *method, GVariant *args) { return answer(kNas, kNasInterface, method, args); }
  std::string one(const char *method, const char *path) { return nas(method, g_variant_new("(s)", path)); }
  std::string two(const char *method, const char *a, const char *b) {
    return nas(method, g_variant_new("(ss)", a, b));
  }
  std::string list(const char *folder) { return nas("ListFolder", g_variant_new("(suu)", folder, 0u, 0u)); }
  std::string disk_;
};

TEST_F(NasTest, FoldersAreListedCountedCreatedRenamedMovedAndRemoved) {
  EXPECT_EQ(one("GetFileNum", "usb1_1/docs"), "(uint32 0, '', uint32 1)");
  EXPECT_THAT(list("usb1_1/docs"), HasSubstr("[('a.txt', false, uint64 5, int64 "));
  EXPECT_THAT(list(""), HasSubstr("('usb1_1', true, "));
  EXPECT_EQ(one("CreateFolder", "usb1_1/docs/new"), "(uint32 0, '')");
  EXPECT_EQ(one("CreateFolder", "usb1_1/docs/new"), "(uint32 1, 'File exists')");
  EXPECT_TRUE(fs::is_directory(disk_ + "/docs/new"));
  EXPECT_EQ(two("Rename", "usb1_1/docs/a.txt", "b.txt"), "(uint32 0, '')");
  EXPECT_EQ(two("Rename", "usb1_1/docs/b.txt", "../b.txt"), "(uint32 1, 'Invalid name')");
  EXPECT_EQ(two("Move", "usb1_1/docs/b.txt", "usb1_1/docs/new"), "(uint32 0, '')");
  EXPECT_EQ(read_text_file(disk_ + "/docs/new/b.txt"), "alpha");
  EXPECT_EQ(two("Move", "usb1_1/docs", "usb1_1/docs/new"), "(uint32 1, 'A folder cannot go into itself')");
  EXPECT_EQ(one("Remove", "usb1_1/docs"), "(uint32 0, '')");
  EXPECT_FALSE(fs::exists(disk_ + "/docs"));
  EXPECT_EQ(one("Remove", "usb1_1"), "(uint32 1, \"A device's folder cannot be removed\")");
  EXPECT_EQ(one("GetFileNum", "usb1_1/docs"), "(uint32 1, 'No such file or directory', uint32 0)");
  EXPECT_THAT(one("GetDiscInfo", "usb1_1"), StartsWith("(uint32 0, '', uint64 "));
  // Paging.
  for (int i = 0; i < 5; ++i) write_text_file(disk_ + "/f" + std::to_string(i), "");
  const std::string page = nas("ListFolder", g_variant_new("(suu)", "usb1_1", 2u, 2u));
  EXPECT_EQ(std::count(page.begin(), page.end(), '('), 3) << page;
}

// The store writes a listing's serialized form itself: whatever the lengths
// of the names and however many entries (which widens the framing offsets
// of the entries and of the array), GLib reads back what the folder holds,
// and the value is in normal form, as the bus needs it.
TEST_F(NasTest, AListingReadsBackAsTheFolderHoldsItWhateverItsShape) {
  using Entry = std::tuple<bool, uint64_t, int64_t>;
  const std::string folder = disk_ + "/shapes";
  std::map<std::string, Entry> expected;
  auto add_file = [&](const std::string &name, size_t size) {
    write_text_file(folder + "/" + name, std::string(size, 'x'));
    struct stat st;
    ASSERT_EQ(stat((folder + "/" + name).c_str(), &st), 0);
    expected[name] = {false, size, st.st_mtim.tv_sec};
  };
  auto listed = [&] {
    std::map<std::string, Entry> entries;
    GVariant *reply = nullptr;
    g_autoptr(GVariant) args = g_variant_ref_sink(g_variant_new("(suu)", "usb1_1/shapes", 0u, 0u));
    EXPECT_EQ(homeNAS_handle_action(1, args, &reply), 1);
    if (reply == nullptr) return entries;
    g_autoptr(GVariant) array = g_variant_get_child_value(reply, 2);
    g_variant_unref(reply);
    EXPECT_TRUE(g_variant_is_normal_form(array));
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const gchar *name = nullptr;
    gboolean is_folder = FALSE;
    guint64 size = 0;
    gint64 mtime = 0;
    while (g_variant_iter_next(&iter, "(&sbtx)", &name, &is_folder, &size, &mtime))
      entries[name] = {is_folder != FALSE, size, mtime};
    return entries;
  };
  fs::create_directories(folder);
  EXPECT_TRUE(listed().empty());
  for (size_t length : {1, 5, 6, 7, 8, 9, 15, 16, 200, 240, 247, 248, 255}) add_file(std::string(length, 'n'), length);
  fs::create_directories(folder + "/\xd5\xd5\xc6\xac");
  struct stat st;
  ASSERT_EQ(stat((folder + "/\xd5\xd5\xc6\xac").c_str(), &st), 0);
  expected["照片"] = {true, uint64_t(st.st_size), st.st_mtim.tv_sec};
  EXPECT_EQ(listed(), expected);
  // Past 64 KiB the array's offsets take four bytes.
  for (int i = 0; i < 3000; ++i) add_file("file" + std::to_string(i), size_t(i % 3));
  EXPECT_EQ(listed(), expected);
}

TEST_F(NasTest, NamesAreGbkOnTheStorageAndUtf8OnTheBus) {
  EXPECT_EQ(one("CreateFolder", "usb1_1/照片"), "(uint32 0, '')");
  EXPECT_TRUE(fs::is_directory(disk_ + "/\xd5\xd5\xc6\xac")) << "stored in GBK";
  EXPECT_THAT(list("usb1_1"), HasSubstr("('照片', true"));
  EXPECT_EQ(one("CreateFolder", "usb1_1/smile\xf0\x9f\x98\x80"), "(uint32 1, 'Name not valid in GBK')");
  // A stored name that is not GBK is left out.
  write_text_file(disk_ + "/\x81", "");
  // docs, README.txt (the emulated disk's own), the new folder and the unreadable name.
  EXPECT_EQ(one("GetFileNum", "usb1_1"), "(uint32 0, '', uint32 4)");
  const std::string listing = list("usb1_1");
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '('), 4) << listing;
}

TEST_F(NasTest, PathsThatLeaveTheStorageAreRefusedAndNothingOutsideIsTouched) {
  ASSERT_EQ(symlink("/", (disk_ + "/root").c_str()), 0);
  ASSERT_EQ(symlink("../../secret", (disk_ + "/up").c_str()), 0);
  for (const char *path : {"../secret", "usb1_1/../../secret", "/etc", "usb1_1/root/etc", "usb1_1/up",
                           "usb1_1/up/key", "../../etc/passwd"}) {
    EXPECT_EQ(one("GetFileNum", path).find("(uint32 1, 'Path outside the storage'"), 0u) << path;
    EXPECT_EQ(one("CreateFolder", (std::string(path) + "/x").c_str()), "(uint32 1, 'Path outside the storage')")
        << path;
    EXPECT_THAT(list(path), Not(HasSubstr("key"))) << path;
    EXPECT_THAT(two("Copy", path, "usb1_1"), StartsWith("(uint32 1, 'Path outside the storage'")) << path;
    EXPECT_EQ(two("Move", "usb1_1/docs/a.txt", path), "(uint32 1, 'Path outside the storage')") << path;
  }
  EXPECT_EQ(one("Remove", "usb1_1/up"), "(uint32 0, '')") << "a link is removed, not followed";
  EXPECT_EQ(read_text_file(root().path("/secret/key")), "k");
  EXPECT_EQ(one("GetDiscInfo", "/"), "(uint32 1, 'Path outside the storage', uint64 0, uint64 0, uint64 0)");
  // A method the library answers without a reply.
  EXPECT_EQ(failure_of(kNas, kNasInterface, "GetCopyProgress", g_variant_new("(u)", 0u)).first, "");
  mib::fail_accessor("homeNAS_handle_action");
  EXPECT_EQ(failure_of(kNas, kNasInterface, "GetFileNum", g_variant_new("(s)", "usb1_1")),
            Error(kNasInterface, "Invalid parameter value"));
}

// The file work runs beside the main loop: while a listing is held inside
// the configuration library, a Get of another object is answered.  Were the
// file work done on the loop, the Get would wait for the listing, which is
// released only after a long time so that the test fails instead of hanging.
TEST_F(NasTest, FileWorkDoesNotHoldTheOtherObjects) {
  mib::hold_accessor("homeNAS_handle_action");
  std::promise<void> got_model;
  std::atomic<bool> released{false};
  std::thread releaser([&released, done = got_model.get_future()] {
    done.wait_for(15s);
    released = true;
    mib::release_accessors();
  });
  std::string listing;
  GMainContext *context = g_main_context_new();
  g_main_context_push_thread_default(context);
  g_dbus_connection_call(
      client(), "com.wqx.igd1", kNas, kNasInterface, "ListFolder", g_variant_new("(suu)", "usb1_1/docs", 0u, 0u),
      nullptr, G_DBUS_CALL_FLAGS_NONE, 60000, nullptr,
      [](GObject *source, GAsyncResult *result, gpointer data) {
        g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        *static_cast<std::string *>(data) = reply != nullptr ? printed(reply) : "no reply";
      },
      &listing);
  const std::string model = text("/com/wqx/igd1/Storage/usb/devices/2", "com.wqx.igd1.usb.Device", "Model");
  const bool answered_while_held = !released;
  got_model.set_value();
  releaser.join();
  while (listing.empty()) g_main_context_iteration(context, TRUE);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  EXPECT_EQ(model, "Line Printer");
  EXPECT_TRUE(answered_while_held);
  EXPECT_THAT(listing, HasSubstr("a.txt"));
}

class NasCopyTest : public NasTest {
 protected:
  // Waits for the copy to end; its last progress reply.
  std::string finished(uint32_t id) {
    std::string progress;
    for (int i = 0; i < 500; ++i) {
      progress = nas("GetCopyProgress", g_variant_new("(u)", id));
      if (progress.find("'running'") == std::string::npos) break;
      std::this_thread::sleep_for(10ms);
    }
    return progress;
  }
  uint32_t copy(const char *from, const char *to) {
    Variant reply = call(kNas, kNasInterface, "Copy", g_variant_new("(ss)", from, to), nullptr);
    if (reply == nullptr) return 0;
    guint32 result = 0, id = 0;
    const gchar *message = nullptr;
    g_variant_get(reply.get(), "(u&su)", &result, &message, &id);
    EXPECT_EQ(result, 0u) << message;
    return id;
  }
};

TEST_F(NasCopyTest, AFolderIsCopiedInTheBackgroundButNeverOntoItselfOrIntoItself) {
  fs::create_directories(disk_ + "/docs/inner");
  write_text_file(disk_ + "/docs/inner/c.txt", std::string(100000, 'c'));
  fs::create_directories(disk_ + "/backup");
  const uint32_t id = copy("usb1_1/docs", "usb1_1/backup");
  ASSERT_NE(id, 0u);
  EXPECT_EQ(finished(id), "(uint32 0, '', 'done', uint64 100005, uint64 100005)");
  EXPECT_EQ(read_text_file(disk_ + "/backup/docs/inner/c.txt").size(), 100000u);
  EXPECT_EQ(two("Copy", "usb1_1/docs", "usb1_1/docs/inner"),
            "(uint32 1, 'A folder cannot go into itself', uint32 0)");
  EXPECT_EQ(two("Copy", "usb1_1/docs/a.txt", "usb1_1/docs"), "(uint32 1, 'The target exists', uint32 0)");
  EXPECT_EQ(nas("GetCopyProgress", g_variant_new("(u)", id + 100)),
            "(uint32 1, 'No such copy', '', uint64 0, uint64 0)");
}

// A copy of many files is under way when its disk is pulled out: it ends
// failed with what it had copied, the disk's object goes, the part copied
// is removed, and nothing outside the storage is written.
TEST_F(NasCopyTest, ADeviceRemovedInTheMiddleOfACopyEndsItFailed) {
  fs::create_directories(disk_ + "/many");
  fs::create_directories(disk_ + "/to");
  const std::string block(8192, 'b');
  for (int i = 0; i < 3000; ++i) write_text_file(disk_ + "/many/f" + std::to_string(i), block);
  const uint32_t id = copy("usb1_1/many", "usb1_1/to");
  ASSERT_NE(id, 0u);
  std::string progress;
  for (int i = 0; i < 2000; ++i) {
    progress = nas("GetCopyProgress", g_variant_new("(u)", id));
    if (progress.find(", uint64 0, ") == std::string::npos) break;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_THAT(progress, StartsWith("(uint32 0, '', 'running', ")) << "the copy ended before the disk could go";
  ASSERT_TRUE(mib::table_remove(*mib::find_table("usbinfo"), 1));
  const std::string last = finished(id);
  EXPECT_THAT(last, StartsWith("(uint32 1, 'device removed', 'failed', uint64 "));
  EXPECT_THAT(last, EndsWith(", uint64 24576000)"));
  EXPECT_THAT(last, Not(HasSubstr("uint64 24576000, uint64 24576000"))) << "not copied whole";
  EXPECT_THAT(text("/com/wqx/igd1/Storage/usb/devices/1", "com.wqx.igd1.usb.Device", "DeviceName"),
              StartsWith("error: "));
  EXPECT_FALSE(fs::exists(disk_ + "/to/many"));
  EXPECT_EQ(read_text_file(root().path("/secret/key")), "k");
  EXPECT_EQ(std::distance(fs::directory_iterator(root().path("/secret")), fs::directory_iterator()), 1);
}

// A disk that takes no more: the process may write files of 4 MiB at most
// (the kernel refuses a write past that with EFBIG, as a full disk refuses
// one with ENOSPC), so a copy of 6 MiB fails with the file system's reason
// and leaves no part behind; one that fits is copied whole.
TEST_F(NasCopyTest, ACopyTheDiskCannotHoldFailsWithItsReasonAndLeavesNoPart) {
  constexpr rlim_t kLimit = rlim_t(4) << 20;
  write_text_file(disk_ + "/big.bin", std::string(6 << 20, 'z'));
  write_text_file(disk_ + "/small.bin", std::string(1 << 20, 's'));
  fs::create_directories(disk_ + "/to");
  struct rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = {kLimit, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const uint32_t big = copy("usb1_1/big.bin", "usb1_1/to");
  const std::string big_end = finished(big);
  const uint32_t small = copy("usb1_1/small.bin", "usb1_1/to");
  const std::string small_end = finished(small);
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previous);
  EXPECT_THAT(big_end, StartsWith("(uint32 1, 'File too large', 'failed', uint64 "));
  EXPECT_THAT(big_end, EndsWith(", uint64 6291456)"));
  EXPECT_FALSE(fs::exists(disk_ + "/to/big.bin"));
  EXPECT_EQ(small_end, "(uint32 0, '', 'done', uint64 1048576, uint64 1048576)");
  EXPECT_EQ(fs::file_size(disk_ + "/to/small.bin"), 1u << 20);
}

TEST_F(NasCopyTest, ACopyOntoADeviceThatWasRemovedFailsAndLeavesNothing) {
  fs::create_directories(disk_ + "/to");
  ASSERT_TRUE(mib::table_remove(*mib::find_table("usbinfo"), 1));
  const uint32_t id = copy("usb1_1/docs/a.txt", "usb1_1/to");
  EXPECT_EQ(finished(id), "(uint32 1, 'device removed', 'failed', uint64 0, uint64 5)");
  EXPECT_FALSE(fs::exists(disk_ + "/to/a.txt"));
}

}  // namespace
}  // namespace igd1::test
