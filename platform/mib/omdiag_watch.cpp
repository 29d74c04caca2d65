#include "omdiag_watch.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <unordered_map>

#include <glib.h>

#include "mib_diag.h"
#include "mib_store.h"

namespace igd1::mib {

namespace {

// The watch's round in seconds (0: off).
constexpr Item kInterval = {"omdiag.WatchInterval", ValueKind::U32, 4, "10"};
const Defaults kIntervalDefault({kInterval});
// While the watch is off and the kernel cannot wait for the store's commits,
// how often it asks again whether it is still off.
constexpr auto kOffRecheck = std::chrono::seconds(60);

void journal(int action, const std::string &text) {
  journal_append(MIB_JOURNAL_OMDIAG, action, text);
}

std::string pids_of(const std::vector<uint32_t> &pids) {
  std::string text;
  for (const uint32_t pid : pids) text += (text.empty() ? "" : ",") + std::to_string(pid);
  return text;
}

std::string percent_text(double percent) {
  char text[32];
  g_snprintf(text, sizeof text, "%.1f", percent);
  return text;
}

}  // namespace

void ServiceWatch::start() {
  stop();
  forget();
  thread_ = std::thread(&ServiceWatch::run, this);
}

void ServiceWatch::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  stops_.fetch_add(1);
  wake_commit_waiters(stops_);
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  stopping_ = false;
}

void ServiceWatch::forget() {
  std::lock_guard lock(round_mutex_);
  resources_.clear();
  processes_.clear();
  last_round_ms_ = -1;
}

namespace {

bool anything_watched() {
  if (!watched_processes().empty()) return true;
  const std::vector<WatchedResource> resources = watched_resources();
  return std::any_of(resources.begin(), resources.end(), [](const WatchedResource &resource) {
    return resource.cpu_limit != 0 || resource.memory_limit != 0;
  });
}

}  // namespace

// A round is skipped while no store is open; the next start replaces the
// thread (a start-up of the module after the store was opened again).
void ServiceWatch::run() {
  pthread_setname_np(pthread_self(), "omdiag_watch");
  const std::vector<const TableDef *> lists = watch_list_tables();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const uint32_t stops_seen = stops_.load();
    lock.unlock();
    // Counted before the lists are read: a change made meanwhile ends the
    // sleep below at once.
    const std::vector<uint64_t> counts = commit_counts(lists);
    uint32_t seconds = 0;
    const bool watching = store_is_open() && read_item(kInterval, &seconds) && seconds != 0 &&
                          anything_watched();
    if (watching) {
      round_now();
      lock.lock();
      wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_; });
      continue;
    }
    forget();
    const bool slept = wait_for_commits(lists, counts, stops_, stops_seen);
    lock.lock();
    if (!slept) wake_.wait_for(lock, kOffRecheck, [this] { return stopping_; });
  }
}

void ServiceWatch::round_now() {
  round(list_processes(""), g_get_monotonic_time() / 1000);
}

void ServiceWatch::round(const std::vector<ProcessInfo> &processes, int64_t now_ms) {
  const std::vector<WatchedResource> resources = watched_resources();
  const std::vector<std::string> watched = watched_processes();
  std::unordered_map<std::string_view, std::vector<const ProcessInfo *>> by_name;
  for (const ProcessInfo &process : processes) by_name[process.name].push_back(&process);
  auto running = [&](const std::string &service) {
    std::vector<Seen> seen;
    const auto found = by_name.find(std::string_view(service).substr(0, kCommMax));
    if (found != by_name.end())
      for (const ProcessInfo *p : found->second)
        seen.push_back({p->pid, p->start_ticks, p->cpu_ticks, p->rss_kb});
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  auto same = [](const std::vector<Seen> &seen, const Seen &process) -> const Seen * {
    const auto at = std::lower_bound(seen.begin(), seen.end(), process);
    return at != seen.end() && at->pid == process.pid && at->start_ticks == process.start_ticks
               ? &*at
               : nullptr;
  };

  std::lock_guard lock(round_mutex_);
  const double capacity = last_round_ms_ < 0 ? 0
                                             : double(now_ms - last_round_ms_) / 1000.0 *
                                                   double(ticks_per_second()) * cpu_count();
  const std::optional<uint64_t> memory = memory_total_kb();

  std::map<std::string, ServiceState> resources_now;
  for (const WatchedResource &resource : resources) {
    const auto before = resources_.find(resource.service);
    ServiceState now{.seen = running(resource.service)};
    uint64_t ticks = 0, rss = 0;
    std::vector<uint32_t> pids;
    for (const Seen &process : now.seen) {
      rss += process.rss_kb;
      pids.push_back(process.pid);
      if (before == resources_.end()) continue;
      if (const Seen *was = same(before->second.seen, process); was != nullptr && process.cpu_ticks >= was->cpu_ticks)
        ticks += process.cpu_ticks - was->cpu_ticks;
    }
    if (before != resources_.end() && capacity > 0) {
      const double cpu = double(ticks) * 100.0 / capacity;
      now.cpu_over = resource.cpu_limit != 0 && cpu > resource.cpu_limit;
      if (now.cpu_over && !before->second.cpu_over)
        journal(OMD_JOURNAL_CPU_OVER, resource.service + " cpu " + percent_text(cpu) + "% over " +
                                          std::to_string(resource.cpu_limit) + "% pids " + pids_of(pids));
    }
    if (memory && *memory != 0) {
      const double used = double(rss) * 100.0 / double(*memory);
      now.memory_over = resource.memory_limit != 0 && used > resource.memory_limit;
      const bool was_over = before != resources_.end() && before->second.memory_over;
      if (now.memory_over && !was_over)
        journal(OMD_JOURNAL_MEMORY_OVER, resource.service + " memory " + percent_text(used) +
                                             "% over " + std::to_string(resource.memory_limit) +
                                             "% rss " + std::to_string(rss) + " kB");
    }
    resources_now[resource.service] = std::move(now);
  }

  std::map<std::string, ServiceState> processes_now;
  for (const std::string &service : watched) {
    ServiceState now{.seen = running(service)};
    if (const auto before = processes_.find(service); before != processes_.end()) {
      for (const Seen &was : before->second.seen) {
        if (same(now.seen, was) != nullptr) continue;
        journal(OMD_JOURNAL_GONE,
                service + " pid " + std::to_string(was.pid) + " gone after " +
                    percent_text(double(was.cpu_ticks) / double(ticks_per_second())) +
                    " s cpu, rss " + std::to_string(was.rss_kb) + " kB");
      }
    }
    processes_now[service] = std::move(now);
  }
  resources_ = std::move(resources_now);
  processes_ = std::move(processes_now);
  last_round_ms_ = now_ms;
}

ServiceWatch &service_watch() {
  static ServiceWatch watch;
  return watch;
}

}  // namespace igd1::mib
