// What feeds the LAN host table from the outside: a discovery that reports
// the devices it sees now (the host daemon's neighbour source, or a test).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace igd1::mib {

// One device seen on the LAN side.
struct Sighting {
  uint8_t mac[6] = {};
  uint32_t ipv4 = 0;          // network order; 0: none known
  std::string ipv6;           // "" when none
  std::string host_name;      // "" when none (at most 63 bytes are kept)
  bool wireless = false;
  std::string interface;      // the LAN interface it was seen on
};

// Brings the table in line with the devices seen at `now`: a new MAC gets a
// row (its child appears through the row callbacks), a known one becomes
// active with its current addresses, an active row not seen becomes
// inactive, and a row inactive for more than `max_age` seconds of
// observation is removed.  Returns whether any row changed.
bool lanhost_observe(const std::vector<Sighting> &seen, time_t now, time_t max_age);

// Forgets when rows were last seen (a new discovery starts).
void lanhost_forget_sightings();

// Called by lan_host_update_info_immediately, from the caller's thread; it
// must not block (the discovery polls soon).  nullptr: none.
void set_lanhost_refresher(void (*refresher)());

// Stores the speed-up flag of the device with `mac`; false when none has it.
bool lanhost_set_speedup(const uint8_t mac[6], uint8_t flag);

// The device with `mac` left (a station de-associated): its row becomes
// inactive now rather than at the next look of a discovery.  False when no
// row has the MAC or the row cannot be stored.
bool lanhost_set_inactive(const uint8_t mac[6]);

}  // namespace igd1::mib
