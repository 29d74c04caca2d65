// Who a commit wakes: the checkpoint thread once for a lone commit, and a
// thread of another process that sleeps on a commit counter.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "mib_api.h"
#include "store_fixture.h"

namespace igd1::mib::test {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

template <typename Predicate>
bool within_deadline(Predicate predicate) {
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The one-letter state of process `pid` ('S' while it sleeps in the kernel).
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

// Forks a process that runs `sleep` (which returns once woken) and then
// exits; the process shares the store's counters through their mapping.
template <typename Sleep>
pid_t sleeper(Sleep sleep) {
  const pid_t pid = fork();
  if (pid == 0) {
    sleep();
    _exit(0);
  }
  return pid;
}

// Waits for `pid` to end; kills it when the deadline passes first.
bool ended(pid_t pid) {
  int status = 0;
  if (within_deadline([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return false;
}

TEST_F(StoreTest, ALoneCommitWakesTheCheckpointThreadOnce) {
  ASSERT_TRUE(wait_for_checkpoints(kDeadline));
  // A commit that the thread has not yet served: one wake-up serves it, at
  // the end of the quiet time, whatever else the machine does meanwhile.
  for (int round = 0; round < 3; ++round) {
    const uint64_t before = checkpoint_wakeups();
    ASSERT_TRUE(set_setting("test.counter", std::to_string(round)));
    ASSERT_TRUE(wait_for_checkpoints(kDeadline));
    EXPECT_EQ(checkpoint_wakeups() - before, 1u) << "round " << round;
  }
}

TEST_F(StoreTest, ASleeperInAnotherProcessIsWokenByACommit) {
  // Settings: the child sleeps until the counter moves from what it saw.
  const uint64_t seen = settings_commit_count();
  const pid_t settings_child = sleeper([seen] { wait_settings_commit(seen); });
  ASSERT_GT(settings_child, 0);
  ASSERT_TRUE(within_deadline(
      [&] { return settings_sleepers() == 1 && process_state(settings_child) == 'S'; }));
  ASSERT_TRUE(set_setting("test.counter", "woken"));
  EXPECT_TRUE(ended(settings_child)) << "the sleeper on the settings was not woken";
  EXPECT_TRUE(within_deadline([] { return settings_sleepers() == 0; }));

  // A table among several counters, the settings' included.
  BridgeDataAcl_init();
  const TableDef *table = find_table("bridgedataacl");
  ASSERT_NE(table, nullptr);
  const std::vector<uint64_t> counts = commit_counts({table});
  const pid_t table_child = sleeper([table, counts] {
    std::atomic<uint32_t> stop{0};
    wait_for_commits({table}, counts, stop, 0);
  });
  ASSERT_GT(table_child, 0);
  ASSERT_TRUE(within_deadline([&] { return process_state(table_child) == 'S'; }));
  uint8_t row[BRIDGE_DATA_ACL_ROW_SIZE] = {};
  ASSERT_EQ(BridgeDataAcl_insert_entry(row), 1);
  EXPECT_TRUE(ended(table_child)) << "the sleeper on the table was not woken";
}

// Opening the store another way (here its read-only view) wakes whoever
// sleeps on the counters it leaves, so that they sleep on the new ones.
TEST_F(StoreTest, ASleeperFollowsTheStoreToItsReadOnlyView) {
  const uint64_t seen = settings_commit_count();
  std::thread waiter([seen] { wait_settings_commit(seen); });
  ASSERT_TRUE(within_deadline([] { return settings_sleepers() == 1; }));
  ASSERT_TRUE(open_store_read_only(dir_ + "/mib.db"));
  EXPECT_TRUE(within_deadline([] { return settings_sleepers() == 1; }))
      << "the sleeper stayed on the counters of the store it opened first";
  ASSERT_TRUE(reopen());
  ASSERT_TRUE(set_setting("test.counter", "woken"));
  waiter.join();
}

}  // namespace
}  // namespace igd1::mib::test
