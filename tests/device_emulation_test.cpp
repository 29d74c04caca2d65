// The emulated radios, USB storage, media server and voice line, each on its
// own under a temporary root, with a clock the tests move by hand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "harness/waiting.h"
#include "radios.h"
#include "sys_paths.h"
#include "usb_storage.h"
#include "voice_line.h"

namespace igd1::devices {
namespace {

namespace fs = std::filesystem;
using test::eventually;

class DeviceTest : public ::testing::Test {
 protected:
  DeviceTest() {
    g_autofree gchar *dir = g_dir_make_tmp("igd1-devices-XXXXXX", nullptr);
    root_ = dir;
    set_root_dir(root_);
  }
  ~DeviceTest() override {
    set_root_dir("");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string state(const char *name) const { return sys_path(path::kDeviceStateDir) + name; }
  void write(const std::string &file, const std::string &text) {
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << text;
  }
  Clock clock() {
    return [this] { return now_; };
  }

  std::string root_;
  int64_t now_ = 1000;
};

Mac mac(const char *text) {
  Mac m{};
  EXPECT_TRUE(parse_mac(text, &m)) << text;
  return m;
}

// ---- radios -------------------------------------------------------------------

TEST_F(DeviceTest, RadiosSeedTwoBandsWithGuestAndBackhaulAndKeepChangesAcrossRestarts) {
  std::string why;
  {
    Radios radios(state("radios.ini"), clock());
    ASSERT_TRUE(radios.open(&why)) << why;
    ASSERT_TRUE(radios.band(1) && radios.band(2));
    EXPECT_FALSE(radios.band(3));
    int guests = 0, backhauls = 0;
    for (const Ssid &s : radios.ssids()) {
      guests += s.guest;
      backhauls += s.backhaul;
    }
    EXPECT_EQ(guests, 1);
    EXPECT_EQ(backhauls, 1);
    Station phone{mac("aa:bb:cc:00:11:22"), 3, -71, true, false};
    ASSERT_TRUE(radios.add_station(phone, &why)) << why;
    ASSERT_TRUE(radios.set_station_rssi(phone.mac, -80, &why)) << why;
  }
  Radios again(state("radios.ini"), clock());
  ASSERT_TRUE(again.open(&why)) << why;
  auto phone = again.station(mac("AABBCC001122"));
  ASSERT_TRUE(phone);
  EXPECT_EQ(phone->ssid, 3u);
  EXPECT_EQ(phone->rssi, -80);
  EXPECT_TRUE(phone->bss_transition);
  EXPECT_EQ(again.ssids().size(), 8u);
}

TEST_F(DeviceTest, ScanResultsAppearOnlyOnceTheScanHasHadItsTime) {
  std::string why;
  Radios radios(state("radios.ini"), clock());
  ASSERT_TRUE(radios.open(&why)) << why;
  ASSERT_TRUE(radios.set_scan_delay(500, &why)) << why;
  ASSERT_TRUE(radios.add_scan_result(2, 149, 99, &why)) << why;  // replaces the seeded 149
  ASSERT_TRUE(radios.add_scan_result(2, 52, 40, &why)) << why;
  EXPECT_EQ(radios.next_scan_due_in(), -1);

  ASSERT_TRUE(radios.start_scan(2, &why)) << why;
  EXPECT_FALSE(radios.start_scan(2, &why)) << "a second scan of a band while one runs";
  now_ += 499;
  EXPECT_EQ(radios.next_scan_due_in(), 1);
  EXPECT_EQ(radios.band(2)->scan_state, ScanState::Running);
  EXPECT_TRUE(radios.band(2)->scan_result.empty());
  now_ += 1;
  auto band = radios.band(2);
  EXPECT_EQ(band->scan_state, ScanState::Done);
  EXPECT_EQ(band->scan_result, (std::vector<std::string>{"36:90", "44:77", "149:99", "52:40"}));
  EXPECT_FALSE(band->scan_finish_time.empty());
  EXPECT_EQ(radios.band(1)->scan_state, ScanState::Idle) << "the other band did not scan";
  EXPECT_EQ(radios.next_scan_due_in(), -1);
}

TEST_F(DeviceTest, RadioChangesThatDoNotFitAreRefusedAndChangeNothing) {
  std::string why;
  Radios radios(state("radios.ini"), clock());
  ASSERT_TRUE(radios.open(&why)) << why;
  const auto before = radios.stations();
  EXPECT_FALSE(radios.add_scan_result(1, 36, 50, &why)) << "36 is a 5 GHz channel";
  EXPECT_FALSE(radios.add_scan_result(2, 44, 101, &why));
  EXPECT_FALSE(radios.add_station({mac("02:00:00:00:00:09"), 9, -50}, &why)) << "no SSID 9";
  EXPECT_FALSE(radios.add_station({mac("02:00:00:00:00:09"), 1, 5}, &why)) << "a positive level";
  EXPECT_FALSE(radios.set_station_rssi(mac("02:00:00:00:00:09"), -50, &why)) << "unknown station";
  EXPECT_FALSE(radios.set_scan_delay(600001, &why));

  // The backhaul SSID takes four stations: the fifth is refused, a known one
  // may still move onto it.
  for (uint8_t i = 1; i <= 4; ++i)
    ASSERT_TRUE(radios.add_station({Mac{2, 0, 0, 0, 1, i}, 4, -60}, &why)) << why;
  EXPECT_FALSE(radios.add_station({Mac{2, 0, 0, 0, 1, 5}, 4, -60}, &why));
  EXPECT_TRUE(radios.add_station({Mac{2, 0, 0, 0, 1, 4}, 4, -40}, &why)) << why;

  std::string message;
  const Mac first = before.front().mac;
  EXPECT_FALSE(radios.kick_station(first, 3, &message)) << "not on that SSID";
  EXPECT_TRUE(radios.kick_station(first, before.front().ssid, &message)) << message;
  EXPECT_FALSE(radios.station(first));
}

TEST_F(DeviceTest, AMalformedRadioStateIsRefusedWithItsGroupAndKeyNamed) {
  std::string why;
  {
    Radios radios(state("radios.ini"), clock());
    ASSERT_TRUE(radios.open(&why)) << why;
  }
  std::ifstream in(state("radios.ini"));
  const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  struct Case {
    std::string from, to, named;
  } cases[] = {
      {"rssi=-48", "rssi=4294967248", "rssi"},           // a wrapped number
      {"rssi=-48", "rssi=-48dBm", "rssi"},               // trailing letters
      {"utilization=23", "utilization=+23", "utilization"},
      {"noise=-92", "noise=+0", "noise"},
      {"name=igd1-5G", "name=" + std::string(33, 'x'), "name"},  // never cut to 32
      {"ssid=3", "ssid=9", "SSID 9"},                    // a station on no SSID
  };
  for (const Case &c : cases) {
    std::string text = good;
    const size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    text.replace(at, c.from.size(), c.to);
    write(state("radios.ini"), text);
    Radios radios(state("radios.ini"), clock());
    EXPECT_FALSE(radios.open(&why)) << c.to;
    EXPECT_NE(why.find(c.named), std::string::npos) << why;
    EXPECT_EQ(radios.ssids().size(), 8u) << "the defaults stay in memory";
  }
}

std::string file_text(const std::string &file) {
  std::ifstream in(file);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The radios' own thread writes their state: a change made while a write is
// held (a FIFO in place of the file being written stops it until read) is
// neither refused nor kept waiting, and the next write holds it; flush
// waits for everything changed so far.
TEST_F(DeviceTest, RadioChangesDoNotWaitForTheStateFile) {
  std::string why;
  Radios radios(state("radios.ini"), clock());
  ASSERT_TRUE(radios.open(&why)) << why;
  const std::string partial = state("radios.ini") + ".tmp";
  ASSERT_EQ(mkfifo(partial.c_str(), 0600), 0);
  auto changes = std::async(std::launch::async, [&] {
    std::string refused;
    bool ok = radios.set_station_rssi(mac("3C:22:FB:10:00:01"), -70, &refused);
    for (uint8_t i = 1; i <= 20; ++i) ok = ok && radios.add_station({Mac{2, 0, 0, 0, 2, i}, 3, -60}, &refused);
    return ok && radios.station(Mac{2, 0, 0, 0, 2, 20}) && radios.band(2);
  });
  EXPECT_EQ(changes.wait_for(std::chrono::seconds(20)), std::future_status::ready)
      << "a change waited for the held write";
  const std::string held = file_text(partial);  // lets the held write go on
  EXPECT_NE(held.find("rssi=-70"), std::string::npos) << held;
  EXPECT_TRUE(changes.get());
  // The held write may have been renamed into place as the FIFO it wrote
  // through: one more change replaces it with a file.
  ASSERT_TRUE(radios.set_station_rssi(mac("3C:22:FB:10:00:02"), -71, &why)) << why;
  ASSERT_TRUE(radios.flush(&why)) << why;
  const std::string written = file_text(state("radios.ini"));
  EXPECT_NE(written.find("[station 02:00:00:00:02:14]\nnumber=23\nssid=3\n"), std::string::npos) << written;
  EXPECT_NE(written.find("rssi=-71"), std::string::npos);
}

// A state file that cannot be written: flush says why, the change stands in
// memory, and the first write that can be made holds it.
TEST_F(DeviceTest, AFailedRadioStateWriteIsReportedAndMadeAgainAtTheNextChange) {
  write(root_ + "/blocked", "a file where the state's folder should be");
  std::string why;
  Radios radios(root_ + "/blocked/radios.ini", clock());
  EXPECT_FALSE(radios.open(&why)) << "no folder to read or seed the state in";
  ASSERT_TRUE(radios.set_station_rssi(mac("3C:22:FB:10:00:01"), -70, &why)) << why;
  why.clear();
  EXPECT_FALSE(radios.flush(&why));
  EXPECT_NE(why.find("blocked"), std::string::npos) << why;
  EXPECT_EQ(radios.station(mac("3C:22:FB:10:00:01"))->rssi, -70);

  fs::remove(root_ + "/blocked");
  ASSERT_TRUE(radios.set_station_rssi(mac("3C:22:FB:10:00:02"), -71, &why)) << why;
  ASSERT_TRUE(radios.flush(&why)) << why;
  const std::string written = file_text(root_ + "/blocked/radios.ini");
  EXPECT_NE(written.find("rssi=-70"), std::string::npos) << written;
  EXPECT_NE(written.find("rssi=-71"), std::string::npos);
}

// ---- USB storage ------------------------------------------------------------------

TEST_F(DeviceTest, AFolderBackedDiskFillsUpAsFilesAreCopiedOntoIt) {
  std::string why;
  UsbStorage usb(state("usb.ini"));
  ASSERT_TRUE(usb.open(&why)) << why;
  ASSERT_EQ(usb.devices().size(), 2u);
  auto disk = usb.device(1);
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->type, kStorageDevice);
  EXPECT_EQ(disk->total, uint64_t(8) << 30);
  const uint64_t used = disk->used;
  EXPECT_EQ(disk->free, disk->total - used);

  write(sys_path(data_path(*disk)) + "/films/a.bin", std::string(64 * 1024, 'x'));
  auto after = usb.device(1);
  EXPECT_GE(after->used, used + 64 * 1024);
  EXPECT_EQ(after->free, after->total - after->used);
  EXPECT_EQ(usb.device(2)->total, 0u) << "a printer has no storage";
}

TEST_F(DeviceTest, DevicesArriveAndLeaveWithTheirRecordsCheckedAndKept) {
  std::string why;
  {
    UsbStorage usb(state("usb.ini"));
    ASSERT_TRUE(usb.open(&why)) << why;
    write(root_ + "/images/stick.img", std::string(4096, '\0'));
    UsbDevice stick;
    stick.vendor = "Acme";
    stick.model = "Stick";
    stick.device_name = "/dev/sdb1";
    stick.mount_point = "/mnt/usb2_1";
    stick.fs_type = kExfat;
    stick.backing = "/images/stick.img";
    int32_t index = 0;
    ASSERT_TRUE(usb.add_device(stick, &index, &why)) << why;
    EXPECT_EQ(index, 3) << "the lowest free number";
    EXPECT_EQ(usb.device(3)->total, 4096u);

    UsbDevice bad = stick;
    bad.backing = "/images/../..";
    EXPECT_FALSE(usb.add_device(bad, &index, &why)) << "a backing that leaves the root";
    bad = stick;
    bad.backing = "/images/missing.img";
    EXPECT_FALSE(usb.add_device(bad, &index, &why));
    bad = stick;
    bad.fs_type = 3;
    EXPECT_FALSE(usb.add_device(bad, &index, &why));
    bad = stick;
    bad.index = 1;
    EXPECT_FALSE(usb.add_device(bad, &index, &why)) << "device 1 is present";
    EXPECT_FALSE(usb.set_label(3, std::string(kLabelMax + 1, 'L'), &why));
    ASSERT_TRUE(usb.set_label(3, std::string(kLabelMax, 'L'), &why)) << why;
    ASSERT_TRUE(usb.set_mounted(3, false, &why)) << why;
    ASSERT_TRUE(usb.remove_device(1, &why)) << why;
    EXPECT_FALSE(usb.remove_device(1, &why));
    EXPECT_EQ(usb.devices().size(), 2u);
  }
  UsbStorage again(state("usb.ini"));
  ASSERT_TRUE(again.open(&why)) << why;
  EXPECT_FALSE(again.device(1));
  auto stick = again.device(3);
  ASSERT_TRUE(stick);
  EXPECT_EQ(stick->label, std::string(kLabelMax, 'L'));
  EXPECT_FALSE(stick->mounted);
  EXPECT_EQ(stick->fs_type, kExfat);
}

TEST_F(DeviceTest, TheMediaServerKeepsItsPidFileUntilItHasTakenItsTimeToStop) {
  fs::create_directories(root_ + "/usr/sbin");
  fs::create_directories(root_ + "/var/run");
  fs::copy_file(std::string(IGD1_BUILD_DIR) + "/igd1-media-server", root_ + "/usr/sbin/media-server");
  EXPECT_EQ(MediaServer::read_pid(), 0);
  std::string why;
  ASSERT_TRUE(MediaServer::start(300, &why)) << why;
  ASSERT_TRUE(eventually([] { return MediaServer::read_pid() > 0; }));
  ASSERT_TRUE(MediaServer::stop());
  const auto asked = std::chrono::steady_clock::now();
  eventually([] { return MediaServer::read_pid() == 0; });
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(300));
  EXPECT_EQ(MediaServer::read_pid(), 0);
  EXPECT_FALSE(fs::exists(sys_path(path::kMediaServerPid)));

  // A pid file that names no live process is no server.
  write(sys_path(path::kMediaServerPid), "999999999\n");
  EXPECT_EQ(MediaServer::read_pid(), 0);
  write(sys_path(path::kMediaServerPid), "12abc\n");
  EXPECT_EQ(MediaServer::read_pid(), 0);
}

// ---- voice line --------------------------------------------------------------------

TEST_F(DeviceTest, VoiceTestsReportTheLineAsItIsWhenTheyFinish) {
  std::string why, message;
  VoiceService voice(state("voice.ini"), clock());
  ASSERT_TRUE(voice.open(&why)) << why;
  ASSERT_TRUE(voice.set_test_delay(100, &why)) << why;
  EXPECT_FALSE(voice.start_registration_test(0, &message));
  EXPECT_FALSE(voice.start_registration_test(3, &message));
  EXPECT_FALSE(voice.start_call_test(3, "123", &message));
  EXPECT_FALSE(voice.start_call_test(0, std::string(33, '1'), &message));

  ASSERT_TRUE(voice.start_registration_test(1, &message));
  ASSERT_TRUE(voice.start_call_test(0, "10086", &message));
  ASSERT_TRUE(voice.start_connectivity_test(&message));
  EXPECT_EQ(voice.registration_test().state, TestState::Running);
  EXPECT_EQ(voice.call_test().status, "Testing");
  // The line drops while the tests run.
  VoiceLine down = *voice.line(1);
  down.status = "Error";
  down.phone_connected = false;
  ASSERT_TRUE(voice.set_line(1, down, &why)) << why;
  now_ += 100;
  EXPECT_EQ(voice.registration_test().result, 1u);
  EXPECT_EQ(voice.registration_test().reason, 2u);
  EXPECT_EQ(voice.call_test().conclusion, 1);
  EXPECT_EQ(voice.call_test().status, "Complete");
  EXPECT_FALSE(voice.connectivity_test().connected);

  down.status = "Up";
  ASSERT_TRUE(voice.set_line(1, down, &why)) << why;
  ASSERT_TRUE(voice.start_registration_test(2, &message));
  now_ += 100;
  EXPECT_EQ(voice.registration_test().result, 0u);
}

TEST_F(DeviceTest, CallRecordsAreBoundedAndKeptAcrossRestarts) {
  std::string why;
  {
    VoiceService voice(state("voice.ini"), clock());
    ASSERT_TRUE(voice.open(&why)) << why;
    CallRecord r = voice.call_records().front();
    r.mos = 51;
    EXPECT_FALSE(voice.add_call_record(r, &why));
    for (size_t i = 0; i < kMaxCallRecords; ++i) {
      r.mos = 40;
      r.stat_time = "2026-02-01 10:00:" + std::to_string(10 + i % 50);
      r.tx_packets = i;
      ASSERT_TRUE(voice.add_call_record(r, &why)) << why;
    }
    EXPECT_EQ(voice.call_records().size(), kMaxCallRecords);
  }
  VoiceService again(state("voice.ini"), clock());
  ASSERT_TRUE(again.open(&why)) << why;
  const auto records = again.call_records();
  ASSERT_EQ(records.size(), kMaxCallRecords);
  EXPECT_EQ(records.front().tx_packets, 0u) << "the seeded record made room, the order is kept";
  EXPECT_EQ(records.back().tx_packets, kMaxCallRecords - 1);
}

}  // namespace
}  // namespace igd1::devices
