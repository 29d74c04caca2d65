// igd1d's checks before any module starts: introspection files and the
// store's folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "harness/bus_fixture.h"
#include "sys_paths.h"

extern "C" const char *const igd1_introspection_files;

namespace igd1::test {
namespace {

using testing::HasSubstr;
using testing::Not;

struct DaemonRun {
  int status = -1;
  std::string output;
};

DaemonRun run_daemon(std::vector<std::string> args) {
  args.insert(args.begin(), {IGD1_BUILD_DIR "/igd1d", "--address", PrivateBus::address()});
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  g_autofree gchar *out = nullptr, *err = nullptr;
  gint wait_status = 0;
  EXPECT_TRUE(g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                           &err, &wait_status, nullptr));
  return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status),
          std::string(out != nullptr ? out : "") + (err != nullptr ? err : "")};
}

// The library names exactly the files that ship with it.
TEST(StartupCheckTest, TheLibraryNamesEveryShippedIntrospectionFile) {
  std::set<std::string> named;
  std::istringstream words(igd1_introspection_files);
  for (std::string word; words >> word;) named.insert(word);
  std::set<std::string> shipped;
  for (const auto &entry : std::filesystem::directory_iterator(IGD1_SOURCE_XML_DIR))
    if (entry.path().extension() == ".xml") shipped.insert(entry.path().filename());
  EXPECT_EQ(named, shipped);
}

// A missing, empty or malformed file ends igd1d with status 1 before any
// module starts, naming the file and what the parser said; no abort.
TEST(StartupCheckTest, ABrokenIntrospectionFileStopsTheStartWithItsName) {
  struct Case {
    const char *file;
    const char *text;  // nullptr: the file is removed
    const char *said;
  } cases[] = {
      {"DHCPServer.xml", "<node><interface name='com.wqx.igd1.DHCPServer'>", "Document ended unexpectedly"},
      {"FTPAccount.xml", nullptr, "No such file or directory"},
      {"PortMapping.xml", "", "Document was empty"},
      {"SysCmd.xml", "<node/>", "declares no interface"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    TempRoot root;
    const std::string file = root.path(std::string(path::kDbusXmlDir) + c.file);
    if (c.text != nullptr) write_text_file(file, c.text);
    else std::filesystem::remove(file);
    DaemonRun run = run_daemon({"--root", root.dir()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_THAT(run.output, HasSubstr(file));
    EXPECT_THAT(run.output, HasSubstr(c.said));
    // Stopped before the store was opened and any module started.
    EXPECT_FALSE(std::filesystem::exists(root.path(path::kStoreFile)));
    EXPECT_THAT(run.output, Not(HasSubstr("loaded")));
  }
}

TEST(StartupCheckTest, AStoreInAMissingFolderIsRefusedAndNothingCreated) {
  TempRoot root;
  const std::string folder = root.dir() + "/no/such";
  DaemonRun run = run_daemon({"--root", root.dir(), "--store", folder + "/mib.db"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output, HasSubstr("the folder " + folder + " does not exist"));
  EXPECT_FALSE(std::filesystem::exists(root.dir() + "/no"));

  DaemonRun version = run_daemon({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "igd1d " IGD1_VERSION "\n");
}

}  // namespace
}  // namespace igd1::test
