// An emulated pair of radios: the 2.4 GHz and 5 GHz bands with their SSIDs
// (a backhaul and a guest network among them), the stations associated with
// each SSID and their signal levels, neighbouring networks, and channel scans
// whose results arrive some time after the scan was started.
//
// The configuration store serves the wireless objects from this state; other
// processes change it through events (a station joins, leaves or reports a
// new signal level; a scan finds a channel).  The radios keep their state
// across restarts in a state file, which a thread of their own writes after
// changes: never on the caller's thread nor under the radios' lock (readers
// on the main loop wait for neither the disk nor a write), and a burst of
// changes is written once.
// Callable from any thread; every accessor returns a copy.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "state_file.h"

namespace igd1::devices {

enum class ScanState : uint8_t { Idle = 0, Running = 1, Done = 2 };

struct RadioBand {
  uint32_t id = 0;               // 1: 2.4 GHz, 2: 5 GHz
  bool enabled = true;
  bool auto_channel = true;
  uint32_t channel = 0;          // configured channel (used without auto_channel)
  uint32_t channel_in_use = 0;
  Mac bssid{};
  int32_t noise = -90;           // background noise, dBm
  uint32_t utilization = 0;      // percent of air time in use
  std::string standard;          // e.g. "802.11b/g/n/ax"
  // Neighbouring networks as the survey reports them, one text each.
  std::vector<std::string> neighbours;
  // Channel scan: what the next scan will find ("channel:score" entries),
  // what the last finished scan found, and the state of the current one.
  std::vector<std::string> scan_plan;
  std::vector<std::string> scan_result;
  ScanState scan_state = ScanState::Idle;
  std::string scan_finish_time;  // local time the last scan finished
  // Vendor-specific elements the band adds to its beacons and to its probe
  // responses, "<ssid>:<element bytes in hex>" (SSID 0: every SSID of the band).
  std::vector<std::string> beacon_elements;
  std::vector<std::string> probe_response_elements;
};

// The frames a band adds vendor-specific elements to.
enum class ElementFrame : uint8_t { Beacon, ProbeResponse };

struct Ssid {
  uint32_t instance = 0;         // 1-based, as the bus paths number SSIDs
  uint32_t band = 1;
  std::string name;
  std::string password;
  bool enabled = true;
  bool hidden = false;
  bool guest = false;
  bool backhaul = false;
  uint32_t max_stations = 32;
  // ---- the SSID's configuration as the WLAN settings put it into effect ----
  std::string security = "11i";  // beacon type: None, Basic, WPA, 11i, WPAand11i, WPA3, 11iandWPA3
  std::string wep_level = "Disabled";  // with Basic: 40-bit or 104-bit keys
  uint32_t width = 0;            // channel width code (0 20M ... 6 160M)
};

struct Station {
  Mac mac{};
  uint32_t ssid = 0;             // instance of the SSID it is associated with
  int32_t rssi = -60;            // dBm
  bool bss_transition = false;   // understands transition requests
  bool beacon_report = false;    // answers beacon report requests
  uint32_t number = 0;           // 1-based, kept while associated (the bus numbers stations so)
};

// One signal level a radio measured: of a station, or of an access point as
// a station heard it.  `valid` is 1 for a measurement, 2 when the other side
// was not heard (the level is then 0).
struct SignalRecord {
  Mac mac{};
  int32_t rssi = 0;
  uint32_t valid = 0;
};

// Limits of the texts the radios keep: those of the records the store hands
// to the wireless objects.
inline constexpr size_t kSsidNameMax = 32;
inline constexpr size_t kPasswordMax = 63;
inline constexpr size_t kNeighbourMax = 127;
inline constexpr size_t kScanEntryMax = 15;
inline constexpr size_t kMaxScanEntries = 64;
// An element entry: an SSID number, ":", and at most 257 bytes in hex.
inline constexpr size_t kElementEntryMax = 3 + 2 * 257;
inline constexpr size_t kMaxElements = 16;

// How long a WPS enrolment takes until its device has joined.
inline constexpr uint32_t kEnrolmentMs = 2000;

class Radios {
 public:
  // `state_path` is the real path of the state file (under the root).
  explicit Radios(std::string state_path, Clock clock = monotonic_ms);
  ~Radios();
  Radios(const Radios &) = delete;
  Radios &operator=(const Radios &) = delete;

  // Reads the state file; a missing one is seeded with the default gateway
  // and written.  False (with why) when the file cannot be read or is
  // malformed: the radios then keep the defaults in memory only.
  bool open(std::string *why);
  // Waits until every change made so far is in the state file (the
  // destructor writes what is pending too); false with why when the last
  // write failed.  A failed write is tried again at the next change.
  bool flush(std::string *why);

  std::optional<RadioBand> band(uint32_t id);
  std::vector<Ssid> ssids();
  std::optional<Ssid> ssid(uint32_t instance);
  std::vector<Station> stations();
  std::optional<Station> station(const Mac &mac);

  // Starts a channel scan of a band.  Its results (the plan) become the
  // band's scan result once the scan delay has passed.
  bool start_scan(uint32_t band, std::string *message);
  // Milliseconds until the earliest running scan finishes, or -1 when none
  // runs: a caller that announces results arms a timer with it.
  int64_t next_scan_due_in();
  uint32_t scan_delay_ms();

  // Disconnects a station from an SSID.
  bool kick_station(const Mac &mac, uint32_t ssid, std::string *message);

  // ---- stations: who is told, steering and measurements ----
  // Told of every station that joins (true) or leaves (false), after the
  // change was made and outside the radios' lock, on the thread that made
  // it.  A station that moves to another SSID neither joins nor leaves.
  using StationListener = std::function<void(const Station &station, bool joined)>;
  void set_station_listener(StationListener listener);
  // Moves an associated station to the first enabled SSID of band `band`
  // (a BSS transition it accepted); false with why when it cannot go there.
  bool transition_station(const Mac &mac, uint32_t band, std::string *why);
  // The levels band `band` measures of these stations: a station associated
  // with the band is heard at its level, any other is not.
  std::vector<SignalRecord> station_levels(uint32_t band, const std::vector<Mac> &macs);
  // The levels a station hears these access points at: the band's own at the
  // station's level, a neighbour at the level of its survey entry, any other
  // not at all.  False when the station is not associated with the band.
  bool access_point_levels(uint32_t band, const Mac &station, const std::vector<Mac> &aps,
                           std::vector<SignalRecord> *records);
  // Forgets a finished scan of `band` (its result and time stay): its state
  // reads idle again.  False while a scan runs.
  bool clear_scan(uint32_t band, std::string *why);
  // Moves band `band` to the best-scoring channel of its last scan; false
  // with why when it has no result or does not choose its channel itself.
  bool switch_channel(uint32_t band, std::string *why);

  // Changes from outside.  Each returns false with a reason and changes
  // nothing when its arguments do not fit the radios.
  // A station joins or moves to another SSID; a new one gets the lowest free
  // number (station.number is not read), a moving one keeps its own.
  // *joined (when given) tells a new station from a moving one.
  bool add_station(const Station &station, std::string *why, bool *joined = nullptr);
  bool remove_station(const Mac &mac, std::string *why);
  bool set_station_rssi(const Mac &mac, int32_t rssi, std::string *why);
  bool add_scan_result(uint32_t band, uint32_t channel, uint32_t score, std::string *why);
  bool set_scan_delay(uint32_t ms, std::string *why);
  // Replaces the elements `frame` carries on band `band` (entries as in
  // RadioBand); false when an entry does not fit.
  bool set_elements(uint32_t band, ElementFrame frame, std::vector<std::string> entries,
                    std::string *why);

  // ---- SSID configuration ----
  // Puts a committed SSID configuration into effect: the SSID (created when
  // the radio has none of that number) and the channel of its band (0:
  // automatic).  The radio refuses a configuration it cannot run (a channel
  // the band or the width does not have, a key whose length does not suit
  // the security, a name of 0 or more than 32 bytes) and changes nothing.
  bool configure_ssid(const Ssid &wanted, uint32_t channel, std::string *why);
  // Takes an SSID off the air with the stations associated with it (the
  // station listener hears that they left) and its running enrolment.
  void remove_ssid(uint32_t instance);

  // ---- WPS ----
  // Told on the default main context when an enrolment has run its
  // kEnrolmentMs: the SSID and the address of the device that enrolled.
  using EnrolmentListener = std::function<void(uint32_t ssid, const Mac &device)>;
  void set_enrolment_listener(EnrolmentListener listener);
  // Starts an enrolment on an SSID by push button (mode 0) or with a PIN
  // (mode 1); false with why when the SSID is not on the air or already
  // enrols.  A timer of the default main context ends it.
  bool start_enrolment(uint32_t ssid, uint32_t mode, uint32_t pin, std::string *why);
  // Stops the running enrolment of an SSID (nothing when none runs).
  void cancel_enrolment(uint32_t ssid);

 private:
  RadioBand *find_band(uint32_t id);
  // Moves every scan whose time has come to its result.
  void complete_due_scans();
  void seed();
  bool read_state(std::string *why);

  // What the state file holds, copied under the lock for the writer.
  struct Snapshot {
    uint32_t scan_delay_ms;
    std::vector<RadioBand> bands;
    std::vector<Ssid> ssids;
    std::vector<Station> stations;
  };
  static void write_snapshot(const Snapshot &state, GKeyFile *keys);
  // Marks the state changed and wakes the writer (lock held).
  void changed();
  // The writer thread's loop.
  void write_changes();
  // Waits (lock held, released meanwhile) until the changes made so far
  // are written; false with why when that write failed.
  bool wait_written(std::unique_lock<std::mutex> &lock, std::string *why);

  // Tells the listener (outside the lock) of joined or left stations.
  void tell(const std::vector<std::pair<Station, bool>> &changes);
  // Arms the enrolment timer for the earliest running enrolment (lock held).
  void arm_enrolment_timer();
  static gboolean enrolments_due(gpointer self);

  struct Enrolment {
    uint32_t mode = 0;
    uint32_t pin = 0;
    int64_t due = 0;  // clock_ milliseconds
  };

  std::mutex mutex_;
  StationListener station_listener_;
  StateFile file_;
  Clock clock_;
  uint32_t scan_delay_ms_ = 3000;
  std::vector<RadioBand> bands_;
  std::vector<Ssid> ssids_;
  std::vector<Station> stations_;
  // Monotonic time at which each running scan finishes (by band index).
  std::vector<int64_t> scan_due_;
  // Running enrolments by SSID, their listener and timer.
  std::map<uint32_t, Enrolment> enrolments_;
  EnrolmentListener enrolment_listener_;
  guint enrolment_timer_ = 0;
  // The writer: changes made and written (a failed write counts as written,
  // with its reason kept until a write succeeds).
  uint64_t changes_ = 0;
  uint64_t written_ = 0;
  std::string write_error_;
  bool stopping_ = false;
  std::condition_variable wake_writer_;
  std::condition_variable written_cond_;
  std::thread writer_;
};

// A band's valid channels: 1 to 14 on 2.4 GHz, the 5 GHz channels 36 to 177.
bool valid_channel(uint32_t band, uint32_t channel);

// ---- SSID configuration ----
// Channel width codes, as the WLAN settings number them.
enum ChannelWidth : uint32_t {
  kWidth20 = 0, kWidth40 = 1, kWidthAuto40 = 2, kWidth80 = 3, kWidthAuto160 = 4,
  kWidth80Plus80 = 5, kWidth160 = 6,
};
// Whether a band runs `width` at all, and `channel` (1 or more) with it:
// 2.4 GHz runs 20 and 40 MHz (channel 14 at 20 MHz only); 5 GHz runs the
// channels of its 20 MHz grid (36-64, 100-144, 149-165) and wider blocks
// only where the whole block lies in the grid (165 is 20 MHz only).
bool width_on_band(uint32_t band, uint32_t width);
bool channel_fits(uint32_t band, uint32_t width, uint32_t channel);
// Why `key` cannot secure an SSID of `security` (and `wep_level` for
// Basic), or "" when it can: WEP keys are 5 or 13 characters (40-bit,
// 104-bit) or twice as many hex digits, WPA passphrases 8 to 63 printable
// characters; an open network takes any key.
std::string key_refusal(const std::string &security, const std::string &wep_level,
                        const std::string &key);
// Why a radio cannot run `wanted` on `channel` (0: chosen automatically),
// or "" when it can: the checks configure_ssid makes before it changes
// anything, for a caller that must know before it commits.
std::string ssid_refusal(const Ssid &wanted, uint32_t channel);

}  // namespace igd1::devices
