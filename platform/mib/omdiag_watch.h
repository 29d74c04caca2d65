// The live watch of the services the maintenance lists name: one walk of
// the process table per round, on a thread of its own, never on the bus
// main loop.  What it finds is journalled (MIB_JOURNAL_OMDIAG, mib_diag.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mib_store.h"
#include "system_view.h"

namespace igd1::mib {

struct WatchedResource {
  std::string service;
  uint32_t cpu_limit;     // percent of all cores; 0: not watched
  uint32_t memory_limit;  // percent of the machine's memory; 0: not watched
};
// The rows of the two lists and their tables (mib_omdiag.cpp).
std::vector<WatchedResource> watched_resources();
std::vector<std::string> watched_processes();
std::vector<const TableDef *> watch_list_tables();

class ServiceWatch {
 public:
  ServiceWatch() = default;
  ~ServiceWatch() { stop(); }
  ServiceWatch(const ServiceWatch &) = delete;
  ServiceWatch &operator=(const ServiceWatch &) = delete;

  // Starts the rounds, replacing a watch started before; the first round
  // only takes note of what runs.  While neither list watches anything (or
  // the interval is 0) the thread sleeps until a commit changes the lists
  // or the settings.
  void start();
  void stop();

  // One round over `processes` (the whole process table) at `now_ms`
  // (monotonic): compares with the round before and journals.
  void round(const std::vector<ProcessInfo> &processes, int64_t now_ms);
  // One round over the process table as it is now.
  void round_now();

 private:
  // A process is the pair (pid, start): a later process given the same
  // pid is another one.
  struct Seen {
    uint32_t pid;
    uint64_t start_ticks;
    uint64_t cpu_ticks;
    uint64_t rss_kb;
    bool operator<(const Seen &other) const {
      return pid != other.pid ? pid < other.pid : start_ticks < other.start_ticks;
    }
  };
  struct ServiceState {
    std::vector<Seen> seen;  // sorted
    bool cpu_over = false;
    bool memory_over = false;
  };
  void run();
  // Forgets what the rounds saw: the next round only takes note.
  void forget();

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  // Changed by each stop, for the sleep on the store's commits.
  std::atomic<uint32_t> stops_{0};
  std::thread thread_;
  // Guarded by round_mutex_: what the last round saw, by service.
  std::mutex round_mutex_;
  std::map<std::string, ServiceState> resources_;
  std::map<std::string, ServiceState> processes_;
  int64_t last_round_ms_ = -1;
};

ServiceWatch &service_watch();

}  // namespace igd1::mib
