// Where the LAN host table's devices come from when igd1d runs with
// --lan-hosts=system: this machine's neighbour table, read through
// rtnetlink, with the host names of the DHCP lease file when there is one.
// A feed thread polls the source off the main loop and hands what it saw to
// the store, whose row callbacks publish new and removed devices; it then
// tells the library that the LAN host listing changed.
#pragma once

#include <linux/netlink.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mib_lanhost_feed.h"

namespace igd1::host {

// The neighbour of one RTM_NEWNEIGH message merged into `seen` (one entry
// per MAC).  False when the message names no usable LAN device: no
// link-layer address of 6 bytes, a state that is not reachable or recent,
// or the loopback interface.
bool add_neighbour(const nlmsghdr *message, std::vector<mib::Sighting> *seen);
// Host names of a lease file's text given to the devices of `seen` by MAC.
void apply_leases(const std::string &text, std::vector<mib::Sighting> *seen);
// The devices in this machine's neighbour table (and leases); false with a
// reason when the table cannot be read.
bool read_system_neighbours(std::vector<mib::Sighting> *seen, std::string *error);

class LanHostFeed {
 public:
  // Fills the devices seen now; false when nothing could be read (the table
  // is then left as it is).
  using Poll = std::function<bool(std::vector<mib::Sighting> *seen)>;
  struct Timing {
    std::chrono::milliseconds interval{5000};
    time_t max_age = 600;  // seconds a device stays after it was last seen
  };
  // Starts polling at once; `changed` runs on the feed thread after a poll
  // that changed the table.
  LanHostFeed(Poll poll, Timing timing, std::function<void()> changed);
  ~LanHostFeed();
  LanHostFeed(const LanHostFeed &) = delete;
  LanHostFeed &operator=(const LanHostFeed &) = delete;

  // Polls again soon (from any thread, never waits).
  void wake();
  // Polls completed so far.
  unsigned polls() const;

 private:
  void run();

  Poll poll_;
  Timing timing_;
  std::function<void()> changed_;
  mutable std::mutex mutex_;
  std::condition_variable wakeup_;
  bool stop_ = false;
  bool woken_ = false;
  unsigned polls_ = 0;
  std::thread thread_;
};

class ModuleLibrary;

// The feed of igd1d --lan-hosts=system: this machine's neighbours every 5
// seconds (and at once when the store is asked for fresh figures); after a
// change the library's update_lan_host_send_cache(0) runs on the feed thread.
void start_system_lan_hosts(const ModuleLibrary &library);
void stop_system_lan_hosts();

}  // namespace igd1::host
