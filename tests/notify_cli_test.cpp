// igd1-notify's command line: options before the message, help and version
// without sending anything, and a clear answer when no daemon listens.

#include <future>

#include "local_socket.h"

namespace igd1::test {
namespace {

// igd1-notify with `args`, whatever root this process has.
ProgramRun run_notify(std::vector<std::string> args) {
  args.insert(args.begin(), IGD1_BUILD_DIR "/igd1-notify");
  return run_program(args, {{kRootEnv, ""}});
}

TEST(NotifyToolTest, HelpAndVersionAnswerWithoutADaemon) {
  TempRoot root;  // nothing listens below it
  for (const char *help : {"-h", "--help"}) {
    ProgramRun result = run_notify({"--root", root.dir(), help});
    EXPECT_EQ(result.status, 0) << help << ": " << result.err;
    EXPECT_THAT(result.out, HasSubstr("value-changed PATH INTERFACE PROPERTY VALUE"));
    EXPECT_THAT(result.out, HasSubstr("--root"));
  }
  ProgramRun version = run_notify({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "igd1-notify " IGD1_VERSION "\n");
  EXPECT_EQ(run_notify({"--root", root.dir()}).status, 2);
  EXPECT_EQ(run_notify({"--bogus", "debug-level"}).status, 2);
}

TEST(NotifyToolTest, NoDaemonNamesTheSocketAndWhatDecidesIt) {
  TempRoot root;
  ProgramRun result = run_notify({"--root", root.dir(), "debug-level"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("no igd1d listens on " + root.path(path::kNotifySocket)));
  EXPECT_THAT(result.err, HasSubstr("--root DIR, else $IGD1_ROOT"));
  EXPECT_THAT(result.err, HasSubstr("(here: " + root.dir() + ")"));
}

// Words after the first non-option, or after "--", are the message, even
// when they look like options.
TEST(NotifyToolTest, WordsAfterTheOptionsAreTheMessage) {
  TempRoot root;
  for (const std::vector<std::string> &words :
       {std::vector<std::string>{"value-changed", "/p", "i", "P", "-5"},
        std::vector<std::string>{"--", "--help", "-h"}}) {
    int listener = listen_local(path::kNotifySocket);
    ASSERT_GE(listener, 0);
    auto received = std::async(std::launch::async,
                               [listener] { return accept_message(listener, std::chrono::seconds(10), 4096, "OK\n"); });
    std::vector<std::string> args = {"--root", root.dir()};
    args.insert(args.end(), words.begin(), words.end());
    ProgramRun result = run_notify(args);
    std::string expected;
    for (const std::string &word : words)
      if (word != "--") expected += (expected.empty() ? "" : " ") + word;
    EXPECT_EQ(received.get(), expected + "\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "OK\n");
    close(listener);
  }
}

}  // namespace
}  // namespace igd1::test
