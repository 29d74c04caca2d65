#include "harness/supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

namespace igd1::test {
namespace {

// A time span as the service manager writes it: "100ms", "2s", "1min 30s";
// a bare number is seconds.
std::optional<std::chrono::milliseconds> parse_time_span(const std::string &text) {
  std::chrono::milliseconds total{0};
  size_t at = 0;
  bool any = false;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    size_t digits = at;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == at) return std::nullopt;
    const long number = std::stol(text.substr(at, digits - at));
    size_t unit_end = digits;
    while (unit_end < text.size() && std::isalpha(static_cast<unsigned char>(text[unit_end]))) ++unit_end;
    const std::string unit = text.substr(digits, unit_end - digits);
    if (unit == "ms" || unit == "msec") total += std::chrono::milliseconds(number);
    else if (unit.empty() || unit == "s" || unit == "sec") total += std::chrono::seconds(number);
    else if (unit == "min" || unit == "m") total += std::chrono::minutes(number);
    else return std::nullopt;
    any = true;
    at = unit_end;
  }
  if (!any) return std::nullopt;
  return total;
}

}  // namespace

bool RestartRule::restarts_after(int wait_status) const {
  // Clean: exit status 0 or one of the signals a normal stop uses.
  const bool signalled = WIFSIGNALED(wait_status);
  const int signal_number = signalled ? WTERMSIG(wait_status) : 0;
  const bool clean_signal = signal_number == SIGHUP || signal_number == SIGINT ||
                            signal_number == SIGTERM || signal_number == SIGPIPE;
  const bool clean = signalled ? clean_signal : WEXITSTATUS(wait_status) == 0;
  if (restart == "always") return true;
  if (restart == "on-success") return clean;
  if (restart == "on-failure") return !clean;
  if (restart == "on-abnormal" || restart == "on-abort") return signalled && !clean_signal;
  return false;
}

std::optional<RestartRule> read_restart_rule(const std::string &unit_file, std::string *problem) {
  std::ifstream in(unit_file);
  if (!in) {
    *problem = "cannot read " + unit_file;
    return std::nullopt;
  }
  RestartRule rule;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line;
      continue;
    }
    if (section != "[Service]") continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "Restart") {
      rule.restart = value;
    } else if (key == "RestartSec") {
      const auto delay = parse_time_span(value);
      if (!delay) {
        *problem = "RestartSec=" + value + " is no time span";
        return std::nullopt;
      }
      rule.delay = *delay;
    }
  }
  return rule;
}

Supervisor::Supervisor(RestartRule rule, std::vector<std::string> argv, std::string output_file)
    : rule_(std::move(rule)), argv_(std::move(argv)), output_file_(std::move(output_file)),
      thread_([this] { supervise(); }) {}

Supervisor::~Supervisor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (pid_ > 0) kill(pid_, SIGTERM);
    changed_.notify_all();
  }
  thread_.join();
}

void Supervisor::signal_running(int signal) {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) kill(pid_, signal);
}

void Supervisor::supervise() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::vector<char *> argv;
    for (const std::string &word : argv_) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const int fd = open(output_file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    GPid pid = 0;
    const bool spawned = g_spawn_async_with_fds(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                                nullptr, nullptr, &pid, -1, fd, fd, nullptr);
    close(fd);
    if (!spawned) return;
    pid_ = pid;
    runs_.push_back({std::chrono::steady_clock::now(), std::nullopt, {}});
    changed_.notify_all();
    lock.unlock();
    int status = 0;
    waitpid(pid, &status, 0);
    lock.lock();
    pid_ = 0;
    runs_.back().wait_status = status;
    runs_.back().ended = std::chrono::steady_clock::now();
    changed_.notify_all();
    if (stopping_ || !rule_.restarts_after(status)) return;
    changed_.wait_for(lock, rule_.delay, [this] { return stopping_; });
  }
}

bool Supervisor::wait_for_runs(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return runs_.size() >= count; });
}

std::vector<Supervisor::Run> Supervisor::runs() {
  std::lock_guard lock(mutex_);
  return runs_;
}

}  // namespace igd1::test
