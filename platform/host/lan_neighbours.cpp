#include "lan_neighbours.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <glib.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "host.h"
#include "sys_paths.h"

namespace igd1::host {
namespace {

constexpr unsigned kSeenStates = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;

int neighbour_attribute(const nlattr *attribute, void *data) {
  auto **table = static_cast<const nlattr **>(data);
  const int type = mnl_attr_get_type(attribute);
  if (mnl_attr_type_valid(attribute, NDA_MAX) < 0) return MNL_CB_OK;
  table[type] = attribute;
  return MNL_CB_OK;
}

mib::Sighting &entry_for(const uint8_t mac[6], std::vector<mib::Sighting> *seen) {
  for (mib::Sighting &sighting : *seen)
    if (std::memcmp(sighting.mac, mac, 6) == 0) return sighting;
  seen->emplace_back();
  std::memcpy(seen->back().mac, mac, 6);
  return seen->back();
}

bool parse_mac_text(const std::string &text, uint8_t mac[6]) {
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    const int high = g_ascii_xdigit_value(text[3 * i]);
    const int low = g_ascii_xdigit_value(text[3 * i + 1]);
    if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':')) return false;
    mac[i] = uint8_t(high << 4 | low);
  }
  return true;
}

int collect_neighbour(const nlmsghdr *message, void *data) {
  add_neighbour(message, static_cast<std::vector<mib::Sighting> *>(data));
  return MNL_CB_OK;
}

}  // namespace

bool add_neighbour(const nlmsghdr *message, std::vector<mib::Sighting> *seen) {
  if (message->nlmsg_type != RTM_NEWNEIGH ||
      message->nlmsg_len < mnl_nlmsg_size(sizeof(ndmsg)))
    return false;
  const auto *neighbour = static_cast<const ndmsg *>(mnl_nlmsg_get_payload(message));
  if ((neighbour->ndm_state & kSeenStates) == 0) return false;
  if (neighbour->ndm_family != AF_INET && neighbour->ndm_family != AF_INET6) return false;
  const nlattr *table[NDA_MAX + 1] = {};
  if (mnl_attr_parse(message, sizeof(ndmsg), neighbour_attribute, table) < 0) return false;
  const nlattr *link = table[NDA_LLADDR];
  const nlattr *address = table[NDA_DST];
  if (link == nullptr || mnl_attr_get_payload_len(link) != 6 || address == nullptr) return false;
  char interface[IF_NAMESIZE] = "";
  if (if_indextoname(unsigned(neighbour->ndm_ifindex), interface) == nullptr) interface[0] = '\0';
  if (std::strcmp(interface, "lo") == 0) return false;
  const auto *mac = static_cast<const uint8_t *>(mnl_attr_get_payload(link));
  mib::Sighting &sighting = entry_for(mac, seen);
  sighting.interface = interface;
  // Wireless LAN interfaces are named wl*.
  sighting.wireless = g_str_has_prefix(interface, "wl");
  if (neighbour->ndm_family == AF_INET && mnl_attr_get_payload_len(address) == 4) {
    std::memcpy(&sighting.ipv4, mnl_attr_get_payload(address), 4);
  } else if (neighbour->ndm_family == AF_INET6 && mnl_attr_get_payload_len(address) == 16) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, mnl_attr_get_payload(address), text, sizeof text);
    // A global address is worth more than a link-local one.
    if (sighting.ipv6.empty() || g_str_has_prefix(sighting.ipv6.c_str(), "fe80:"))
      sighting.ipv6 = text;
  }
  return true;
}

void apply_leases(const std::string &text, std::vector<mib::Sighting> *seen) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string expiry, mac_text, address, name;
    if (!(words >> expiry >> mac_text >> address >> name) || name == "*") continue;
    uint8_t mac[6];
    if (!parse_mac_text(mac_text, mac)) continue;
    for (mib::Sighting &sighting : *seen)
      if (std::memcmp(sighting.mac, mac, 6) == 0) sighting.host_name = name.substr(0, 63);
  }
}

bool read_system_neighbours(std::vector<mib::Sighting> *seen, std::string *error) {
  mnl_socket *socket = mnl_socket_open(NETLINK_ROUTE);
  if (socket == nullptr) {
    *error = std::string("netlink socket: ") + std::strerror(errno);
    return false;
  }
  bool ok = false;
  std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
    *error = std::string("netlink bind: ") + std::strerror(errno);
  } else {
    // A dump that stops answering must not hold the feed for ever.
    const timeval timeout{2, 0};
    setsockopt(mnl_socket_get_fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    nlmsghdr *request = mnl_nlmsg_put_header(buffer.data());
    request->nlmsg_type = RTM_GETNEIGH;
    request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    const unsigned sequence = unsigned(time(nullptr));
    request->nlmsg_seq = sequence;
    auto *header = static_cast<ndmsg *>(mnl_nlmsg_put_extra_header(request, sizeof(ndmsg)));
    header->ndm_family = 0;  // every address family
    if (mnl_socket_sendto(socket, request, request->nlmsg_len) < 0) {
      *error = std::string("netlink send: ") + std::strerror(errno);
    } else {
      const unsigned port = mnl_socket_get_portid(socket);
      ssize_t received = 0;
      int result = MNL_CB_OK;
      while (result > MNL_CB_STOP &&
             (received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size())) > 0)
        result = mnl_cb_run(buffer.data(), size_t(received), sequence, port, collect_neighbour, seen);
      ok = result >= MNL_CB_STOP && received >= 0;
      if (!ok) *error = std::string("netlink dump: ") + std::strerror(errno);
    }
  }
  mnl_socket_close(socket);
  std::ifstream leases(sys_path(path::kDhcpLeases));
  if (ok && leases) {
    std::stringstream text;
    text << leases.rdbuf();
    apply_leases(text.str(), seen);
  }
  return ok;
}

LanHostFeed::LanHostFeed(Poll poll, Timing timing, std::function<void()> changed)
    : poll_(std::move(poll)), timing_(timing), changed_(std::move(changed)) {
  mib::lanhost_forget_sightings();
  thread_ = std::thread([this] { run(); });
}

LanHostFeed::~LanHostFeed() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wakeup_.notify_all();
  thread_.join();
}

void LanHostFeed::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wakeup_.notify_all();
}

unsigned LanHostFeed::polls() const {
  std::lock_guard lock(mutex_);
  return polls_;
}

void LanHostFeed::run() {
  pthread_setname_np(pthread_self(), "lanhost_feed");
  for (;;) {
    std::vector<mib::Sighting> seen;
    if (poll_(&seen) && mib::lanhost_observe(seen, time(nullptr), timing_.max_age) && changed_)
      changed_();
    std::unique_lock lock(mutex_);
    ++polls_;
    wakeup_.wait_for(lock, timing_.interval, [this] { return stop_ || woken_; });
    if (stop_) return;
    woken_ = false;
  }
}

namespace {

std::mutex g_system_feed_mutex;
std::unique_ptr<LanHostFeed> g_system_feed;

void wake_system_feed() {
  std::lock_guard lock(g_system_feed_mutex);
  if (g_system_feed != nullptr) g_system_feed->wake();
}

}  // namespace

void start_system_lan_hosts(const ModuleLibrary &library) {
  using Refresh = GVariant *(*)(uint8_t);
  auto refresh = reinterpret_cast<Refresh>(library.symbol("update_lan_host_send_cache"));
  std::lock_guard lock(g_system_feed_mutex);
  g_system_feed = std::make_unique<LanHostFeed>(
      [](std::vector<mib::Sighting> *seen) {
        std::string error;
        if (read_system_neighbours(seen, &error)) return true;
        host_log(4, "LAN hosts: %s", error.c_str());
        return false;
      },
      LanHostFeed::Timing{}, [refresh] {
        if (refresh == nullptr) return;
        if (GVariant *kept = refresh(0)) g_variant_unref(kept);
      });
  mib::set_lanhost_refresher(wake_system_feed);
  host_log(5, "LAN hosts follow this machine's neighbour table");
}

void stop_system_lan_hosts() {
  std::lock_guard lock(g_system_feed_mutex);
  mib::set_lanhost_refresher(nullptr);
  g_system_feed.reset();
}

}  // namespace igd1::host
