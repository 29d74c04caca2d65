// USB devices over the bus: names by service type, the two interfaces of a
// storage device, devices the store adds and removes, texts that are not
// UTF-8, the manager that takes no changes; and the file-system commands,
// which start programs only with words they recognise, answer a mount once
// the media server is back, and queue one behind the other.
#include <glib/gstdio.h>

#include <cstring>
#include <filesystem>
#include <future>

#include "harness/bus_fixture.h"
#include "harness/standin.h"
#include "local_socket.h"
#include "mib_usb.h"
#include "usb.h"
#include "usb_commands.h"

namespace igd1::test {
namespace {

constexpr char kLowerDevices[] = "/com/wqx/igd1/Storage/usb/devices";
constexpr char kUpperDevices[] = "/com/wqx/igd1/Storage/USB/Devices";
constexpr char kLowerDevice[] = "com.wqx.igd1.usb.Device";
constexpr char kLowerFs[] = "com.wqx.igd1.usb.FileSystem";
constexpr char kUpperFs[] = "com.wqx.igd1.USB.FileSystem";

usb_info_record stored(int index) {
  usb_info_record record{};
  const auto row = mib::table_row(*mib::find_table("usbinfo"), uint64_t(index));
  if (row) std::memcpy(&record, row->data(), sizeof record);
  return record;
}

GVariant *options(std::initializer_list<std::pair<const char *, const char *>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  for (const auto &[key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, g_variant_new_string(value));
  return g_variant_new("(a{sv})", &builder);
}

class UsbTest : public BusTest {
 protected:
  void configure(host::Options &options) override {
    options.service_type = service_type();
    // The media server of the root, quick to stop.
    const std::string sbin = root().path("/usr/sbin");
    g_mkdir_with_parents(sbin.c_str(), 0755);
    std::filesystem::copy_file(IGD1_BUILD_DIR "/root/usr/sbin/media-server", sbin + "/media-server");
    write_text_file(root().path(std::string(path::kDeviceStateDir) + "usb.ini"),
                    "[usb]\nmedia_server_stop_ms=50\n");
  }
  void TearDown() override {
    stopMiniDLNA();
    BusTest::TearDown();
  }
  virtual int service_type() const { return 0; }

  std::string devices() const { return service_type() == 1 ? kUpperDevices : kLowerDevices; }
  std::string device(int n) const { return devices() + "/" + std::to_string(n); }
  const char *fs() const { return service_type() == 1 ? kUpperFs : kLowerFs; }
  std::string standin_log() const { return test::standin_log(root()); }
  std::string standin_env() const { return read_text_file(root().path(path::kStandinEnvLog)); }
  std::string run(int n, const char *method, GVariant *args) { return answer(device(n), fs(), method, args); }
  // The device's record with one text field overwritten by raw bytes.
  void put_raw(int index, size_t offset, const std::string &bytes) {
    usb_info_record record = stored(index);
    std::memcpy(reinterpret_cast<char *>(&record) + offset, bytes.c_str(), bytes.size() + 1);
    ASSERT_TRUE(mib::table_update(*mib::find_table("usbinfo"), reinterpret_cast<uint8_t *>(&record)));
  }
};

class UsbServiceType1Test : public UsbTest {
  int service_type() const override { return 1; }
};

TEST_F(UsbTest, StorageCarriesBothInterfacesOtherDevicesOnlyTheDeviceOne) {
  const std::string listing = managed(kLowerDevices);
  EXPECT_THAT(listing, HasSubstr("objectpath '/com/wqx/igd1/Storage/usb/devices/1': {'com.wqx.igd1.usb.Device'"));
  EXPECT_THAT(listing, HasSubstr("'com.wqx.igd1.usb.FileSystem': {'MountPoint': <'/mnt/usb1_1'>"));
  EXPECT_THAT(listing, HasSubstr("'Label': <'USBDISK'>"));
  EXPECT_THAT(introspect(device(2).c_str()), Not(HasSubstr("FileSystem")));
  EXPECT_EQ(shown(device(1), kLowerDevice, "DeviceType"), "uint16 8");
  EXPECT_EQ(shown(device(2), kLowerDevice, "DeviceType"), "uint16 7");
  EXPECT_EQ(text(device(1), kLowerDevice, "DeviceName"), "/dev/sda1");
  EXPECT_EQ(shown(device(1), kLowerDevice, "WriteProtection"), "false");
  EXPECT_EQ(answer(kUpperDevices, kFreedesktopManager, "GetManagedObjects", nullptr).rfind("error: ", 0), 0u);

  // Only a writable flag of 0 is write-protection.
  for (const auto &[flag, protection] : {std::pair{"0", "true"}, {"1", "false"}, {"7", "false"}}) {
    ASSERT_TRUE(mib::set_cell("usbinfo", 1, "Writable", flag));
    EXPECT_EQ(shown(device(1), kLowerDevice, "WriteProtection"), protection) << flag;
  }
}

TEST_F(UsbTest, TextsThatAreNotUtf8FailAGetAndReadEmptyInGetAllALabelReadsEmptyAlways) {
  put_raw(1, offsetof(usb_info_record, vendor), "Bad\xff");
  put_raw(1, offsetof(usb_info_record, label), "L\xc3");
  put_raw(1, offsetof(usb_info_record, mount_point), "/mnt/\xfe");
  EXPECT_EQ(shown(device(1), kLowerDevice, "Vendor"), "error: invalid UTF-8 sting value of Vendor");
  EXPECT_EQ(text(device(1), kLowerFs, "Label"), "");
  EXPECT_THAT(get_all(device(1), kLowerDevice), HasSubstr("'Vendor': <''>, 'Model': <'Flash Disk 3.0'>"));
  EXPECT_THAT(get_all(device(1), kLowerFs), HasSubstr("'MountPoint': <''>"));
  EXPECT_THAT(get_all(device(1), kLowerFs), HasSubstr("'Label': <''>"));
  EXPECT_THAT(managed(kLowerDevices), HasSubstr("'Vendor': <''>"));
  EXPECT_EQ(text(device(1), kLowerDevice, "Model"), "Flash Disk 3.0");
}

TEST_F(UsbTest, DevicesTheStoreAddsOrRemovesComeAndGoAndAnAddedAgainDeviceIsMadeAnew) {
  usb_info_record disk = stored(1);
  disk.index = 5;
  g_strlcpy(disk.device_name, "/dev/sdc1", sizeof disk.device_name);
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kLowerDevices);
  ASSERT_TRUE(mib::table_insert_at(*mib::find_table("usbinfo"), reinterpret_cast<uint8_t *>(&disk)));
  EXPECT_THAT(added.next(), HasSubstr("/com/wqx/igd1/Storage/usb/devices/5"));
  EXPECT_EQ(text(device(5), kLowerDevice, "DeviceName"), "/dev/sdc1");
  EXPECT_THAT(introspect(device(5).c_str()), HasSubstr(kLowerFs));

  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kLowerDevices);
  ASSERT_TRUE(mib::table_remove(*mib::find_table("usbinfo"), 5));
  EXPECT_THAT(removed.next(), HasSubstr("/com/wqx/igd1/Storage/usb/devices/5"));
  EXPECT_THAT(text(device(5), kLowerDevice, "DeviceName"), StartsWith("error: "));

  // Published again with the other kind: the object is replaced, not kept.
  loop_->run([] { usb_device_add_interface(2, 1); });
  EXPECT_THAT(introspect(device(2).c_str()), HasSubstr(kLowerFs));
  loop_->run([] { usb_device_add_interface(2, 0); });
  EXPECT_THAT(introspect(device(2).c_str()), Not(HasSubstr(kLowerFs)));
  int refused = -1;
  loop_->run([&] { refused = usb_device_add_interface(33, 1) + usb_device_del_interface(0); });
  EXPECT_EQ(refused, 0);
}

TEST_F(UsbTest, TheManagerTakesNoChangesAndAConformanceRunGetsNoReply) {
  EXPECT_EQ(add(kLowerDevices).second, Error(kFailed, "##########not support to AddObject yet"));
  EXPECT_EQ(remove(kLowerDevices, device(1)), Error(kFailed, "##########not support to DeleteObject yet"));
  constexpr char kNoReply[] = "org.freedesktop.DBus.Error.NoReply";
  EXPECT_EQ(failure_of(kLowerDevices, kManagerInterface, "RemoveAllObjects", nullptr).first, kNoReply);
  write_text_file(root().path(path::kCtsMarker), "");
  EXPECT_EQ(add(kLowerDevices).second.first, kNoReply);
  EXPECT_EQ(remove(kLowerDevices, device(1)).first, kNoReply);
  EXPECT_EQ(text(device(1), kLowerDevice, "DeviceName"), "/dev/sda1");
}

TEST_F(UsbServiceType1Test, UpperCaseNamesAndEveryManagerMethodRefusedWithAText) {
  EXPECT_EQ(text(device(1), "com.wqx.igd1.USB.Device", "DeviceName"), "/dev/sda1");
  EXPECT_EQ(answer(kLowerDevices, kFreedesktopManager, "GetManagedObjects", nullptr).rfind("error: ", 0), 0u);
  EXPECT_EQ(failure_of(kUpperDevices, kManagerInterface, "RemoveAllObjects", nullptr),
            Error(kFailed, "##########not support to RemoveAllObjects yet"));
  EXPECT_EQ(failure_of(device(1), fs(), "SetLabel", g_variant_new("(s)", "")),
            Error(kUpperFs, "Invalid parameter value"));
  // Service type 1 runs the words as given: without a device there is no mount.
  EXPECT_EQ(run(1, "Mount", options({{"-t", "vfat"}})), "('/mnt/usb1_1', uint32 1, 'no dev name')");
  EXPECT_EQ(run(1, "Mount", options({{"-w", "/dev/sda1"}})), "('/mnt/usb1_1', uint32 1, 'err mnt name')");
  EXPECT_EQ(standin_log(), "");
}

TEST_F(UsbTest, SetLabelStoresTheLabelOrSaysWhyNot) {
  EXPECT_EQ(run(1, "SetLabel", g_variant_new("(s)", "Photos")), "(uint32 0, 'SetLabel sucess')");
  EXPECT_EQ(text(device(1), kLowerFs, "Label"), "Photos");
  EXPECT_EQ(failure_of(device(1), kLowerFs, "SetLabel", g_variant_new("(s)", "")),
            Error(kLowerFs, "Invalid parameter value"));
  EXPECT_EQ(failure_of(device(1), kLowerFs, "SetLabel", g_variant_new("(s)", std::string(264, 'x').c_str())),
            Error(kLowerFs, "Invalid parameter value"));
  mib::fail_accessor("usbinfo_update_label");
  EXPECT_EQ(run(1, "SetLabel", g_variant_new("(s)", "Other")), "(uint32 1, 'SetLabel failed')");
  EXPECT_EQ(text(device(1), kLowerFs, "Label"), "Photos");
}

TEST_F(UsbTest, AMountRunsTheCheckedWordsTellsTheHotplugMounterAndAnswersAfterTheMediaServer) {
  EXPECT_EQ(run(1, "Mount", options({{"-t", "vfat"}})), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_EQ(standin_log(), "usbmount\nmkdir /mnt/usb1_1\nmount -o umask=0 -t vfat -w /dev/sda1 /mnt/usb1_1\n");
  EXPECT_THAT(standin_env(), ContainsRegex("usbmount\t.*DEVPATH=/dev/sda1"));
  EXPECT_THAT(standin_env(), ContainsRegex("usbmount\t.*ACTION=remove"));
  EXPECT_GT(read_pid(MINIDLNAPID), 0) << "answered once the media server runs again";

  // No options: the device's own mount; {"NULL": "NULL"} adds nothing.
  g_unlink(root().path(path::kStandinLog).c_str());
  EXPECT_EQ(run(1, "Mount", options({})), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_EQ(run(1, "Mount", options({{"NULL", "NULL"}, {"-o", "noatime,utf8"}})), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_EQ(standin_log(), "usbmount\nmkdir /mnt/usb1_1\nmount -o umask=0 -t auto -w /dev/sda1 /mnt/usb1_1\n"
                           "usbmount\nmkdir /mnt/usb1_1\nmount -o umask=0,noatime,utf8 -w /dev/sda1 /mnt/usb1_1\n");

  // Another folder below /mnt/ may be the mount point.
  g_unlink(root().path(path::kStandinLog).c_str());
  EXPECT_EQ(run(1, "Mount", options({{"NULL", "/mnt/photos"}})), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_THAT(standin_log(), HasSubstr("mount -o umask=0 -w /dev/sda1 /mnt/photos\n"));
}

TEST_F(UsbTest, HostileOrUnknownOptionsAreRefusedAndNoProgramStarts) {
  const std::string overlong(300, 'a');
  const std::pair<const char *, std::string> hostile[] = {
      {"-t", "vfat;reboot"},         {"-t", "$(reboot)"},
      {"-t", "`reboot`"},            {"-o", "umask=0\nreboot"},
      {"-o", "remount,exec"},        {"NULL", "/mnt/../etc"},
      {"NULL", "/mnt/usb1_1/../../etc"}, {"NULL", "/dev/sda2"},
      {"NULL", "/etc/passwd"},       {"--bind", "/"},
      {"NULL", ("/mnt/" + overlong).c_str()}, {"-t", overlong.c_str()},
      {"NULL", "/mnt/a b"},          {"-w", "/dev/sda1;id"},
  };
  for (const auto &[key, value] : hostile) {
    EXPECT_EQ(failure_of(device(1), kLowerFs, "Mount", options({{key, value.c_str()}})),
              Error(kLowerFs, "Invalid parameter value"))
        << key << " " << value;
    EXPECT_EQ(failure_of(device(1), kLowerFs, "Format", options({{key, value.c_str()}})).first, kLowerFs)
        << key << " " << value;
  }
  EXPECT_EQ(failure_of(device(1), kLowerFs, "Unmount", options({{"NULL", "/dev/sda1; reboot"}})),
            Error(kLowerFs, "Invalid parameter value"));
  // A value that is not a text.
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&builder, "{sv}", "-t", g_variant_new_uint32(1));
  EXPECT_EQ(failure_of(device(1), kLowerFs, "Mount", g_variant_new("(a{sv})", &builder)),
            Error(kLowerFs, "Invalid parameter value"));

  // A link below /mnt/ is no way out of it.
  g_mkdir_with_parents(root().path("/mnt").c_str(), 0755);
  ASSERT_EQ(symlink("/etc", root().path("/mnt/out").c_str()), 0);
  EXPECT_EQ(failure_of(device(1), kLowerFs, "Mount", options({{"NULL", "/mnt/out/x"}})),
            Error(kLowerFs, "Invalid parameter value"));
  EXPECT_EQ(standin_log(), "") << "no program ran";
  EXPECT_FALSE(std::filesystem::exists(root().path("/etc/x")));
}

TEST_F(UsbTest, AnUnmountPassesOnWhatUmountSaysAndFormatIsHandedToTheFormatter) {
  EXPECT_EQ(run(1, "Unmount", options({})), "(uint32 0, '')");
  EXPECT_THAT(standin_log(), EndsWith("usbmount\numount /dev/sda1\n"));
  EXPECT_THAT(standin_env(), ContainsRegex("usbmount\t.*ACTION=add"));
  control_standin(root(), "umount", "out", "umount: /mnt/usb1_1: target is busy, the device holds open files now\n");
  EXPECT_EQ(run(1, "Unmount", options({{"-l", "/dev/sda1"}})),
            "(uint32 1, 'umount: /mnt/usb1_1: target is busy, the device holds open f')");
  EXPECT_THAT(standin_log(), EndsWith("umount -l /dev/sda1\n"));

  g_unlink(root().path(path::kStandinLog).c_str());
  EXPECT_EQ(run(1, "Format", options({{"NULL", "NULL"}})), "(uint32 0, 'usbformat sucess')");
  EXPECT_EQ(run(1, "Format", options({{"NULL", "exfat"}})), "(uint32 0, 'usbformat sucess')");
  wait_for_text(root().path(path::kStandinLog), "exfat");
  EXPECT_EQ(standin_log(), "usbformat /dev/sda1 /mnt/usb1_1 fat\nusbformat /dev/sda1 /mnt/usb1_1 exfat\n");
}

TEST_F(UsbTest, AFormatOfAnUnknownFileSystemIsRefused) {
  usb_info_record record = stored(1);
  record.fs_type = 3;
  record.type = 9;  // not storage, so that the store takes the type
  ASSERT_TRUE(mib::table_update(*mib::find_table("usbinfo"), reinterpret_cast<uint8_t *>(&record)));
  loop_->run([] { usb_device_add_interface(1, 1); });
  EXPECT_EQ(failure_of(device(1), kLowerFs, "Format", options({})), Error(kLowerFs, "usb_format is not support!"));
}

TEST_F(UsbTest, OutsideCallersGetTheSameChecksAndNeverTheMainLoop) {
  char text[USB_CMD_TEXT_SIZE] = {};
  EXPECT_EQ(usb_get_cmd_return("mount -o umask=0 -t vfat -w /dev/sda1 /mnt/usb1_1", text), 0) << text;
  EXPECT_STREQ(g_my_mnt, "/mnt/usb1_1");
  EXPECT_THAT(standin_log(), EndsWith("mount -o umask=0 -t vfat -w /dev/sda1 /mnt/usb1_1\n"));
  for (const char *refused : {"mount -t vfat /dev/sda1 /mnt/x;reboot", "mount -t vfat /dev/sdz1 /mnt/x",
                              "umount /mnt/usb1_1", "mount -o exec /dev/sda1 /mnt/usb1_1"}) {
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(usb_get_cmd_return(refused, text), -1) << refused;
    EXPECT_STRNE(text, "") << refused;
  }
  control_standin(root(), "umount", "out", "umount: not mounted\n");
  EXPECT_EQ(usb_get_cmd_return("umount /dev/sda1", text), -1);
  EXPECT_STREQ(text, "umount: not mounted");
  int on_loop = 0;
  loop_->run([&] { on_loop = usb_get_cmd_return("umount /dev/sda1", text); });
  EXPECT_EQ(on_loop, -1);
  EXPECT_STREQ(text, "not for the main loop");
}

// The media server's stop is held until the test lets it go, so that what
// happens while a mount waits for it does not depend on how long it takes.
class UsbHeldServerTest : public UsbTest {
 protected:
  void TearDown() override {
    release_media_server();
    UsbTest::TearDown();
  }
  void hold_media_server() { write_text_file(hold_file(), ""); }
  void release_media_server() { g_unlink(hold_file().c_str()); }
  std::string hold_file() const { return root().path(std::string(MINIDLNAPID) + ".hold"); }
  // Waits for a call started with std::async; "" when it was not answered.
  static std::string answered(std::future<std::string> &call) {
    return call.wait_for(kPatience) == std::future_status::ready ? call.get() : "";
  }
};

TEST_F(UsbHeldServerTest, MountsQueueWhileTheServerStopsAndOtherCallsAreServedMeanwhile) {
  ASSERT_EQ(run(1, "Mount", options({})), "('/mnt/usb1_1', uint32 0, '')");
  ASSERT_GT(read_pid(MINIDLNAPID), 0);
  g_unlink(root().path(path::kStandinLog).c_str());
  hold_media_server();
  auto first = std::async(std::launch::async, [&] { return run(1, "Mount", options({{"-t", "vfat"}})); });
  wait_for_text(root().path(path::kStandinLog), "/dev/sda1 /mnt/usb1_1\n");
  auto second = std::async(std::launch::async, [&] { return run(1, "Unmount", options({})); });
  EXPECT_EQ(text(device(2), kLowerDevice, "Model"), "Line Printer");
  std::this_thread::sleep_for(150ms);  // room for an unmount that would not wait
  EXPECT_THAT(standin_log(), Not(HasSubstr("umount"))) << "the unmount waits for the mount";
  EXPECT_EQ(first.wait_for(0s), std::future_status::timeout) << "answered after the server is back";
  release_media_server();
  EXPECT_EQ(answered(first), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_EQ(answered(second), "(uint32 0, '')");
  EXPECT_EQ(standin_log(), "usbmount\nmkdir /mnt/usb1_1\nmount -o umask=0 -t vfat -w /dev/sda1 /mnt/usb1_1\n"
                           "usbmount\numount /dev/sda1\n");
}

// The first mount waits for the media server to stop when its device is
// pulled out: its caller hears while the server still stops, and the mount
// queued behind it, of another disk, runs as usual once the server is back.
TEST_F(UsbHeldServerTest, ADeviceRemovedWhileItsMountWaitsForTheMediaServerIsAnsweredAtOnce) {
  ASSERT_EQ(run(1, "Mount", options({})), "('/mnt/usb1_1', uint32 0, '')");
  usb_info_record other = stored(1);
  other.index = 5;
  g_strlcpy(other.device_name, "/dev/sdc1", sizeof other.device_name);
  g_strlcpy(other.mount_point, "/mnt/usb5", sizeof other.mount_point);
  ASSERT_TRUE(mib::table_insert_at(*mib::find_table("usbinfo"), reinterpret_cast<uint8_t *>(&other)));
  g_unlink(root().path(path::kStandinLog).c_str());
  const int stopping = read_pid(MINIDLNAPID);
  ASSERT_GT(stopping, 0);
  hold_media_server();

  auto first = std::async(std::launch::async, [&] { return run(1, "Mount", options({})); });
  wait_for_text(root().path(path::kStandinLog), "/dev/sda1 /mnt/usb1_1\n");
  auto second = std::async(std::launch::async, [&] { return run(5, "Mount", options({})); });
  std::this_thread::sleep_for(150ms);  // room for a mount that would not wait
  EXPECT_THAT(standin_log(), Not(HasSubstr("/dev/sdc1"))) << "the second waits for the first";
  ASSERT_TRUE(mib::table_remove(*mib::find_table("usbinfo"), 1));
  EXPECT_EQ(answered(first), "('/mnt/usb1_1', uint32 1, 'device removed')");
  EXPECT_EQ(read_pid(MINIDLNAPID), stopping) << "answered before the server stopped";
  release_media_server();
  EXPECT_EQ(answered(second), "('/mnt/usb5', uint32 0, '')");
  EXPECT_THAT(standin_log(), EndsWith("mount -o umask=0 -t auto -w /dev/sdc1 /mnt/usb5\n"));
  EXPECT_GT(read_pid(MINIDLNAPID), 0);
  EXPECT_THAT(text(device(1), kLowerDevice, "DeviceName"), StartsWith("error: "));
}

TEST_F(UsbTest, ADeviceRemovedWhileItMountsEndsTheMountWithAnError) {
  control_standin(root(), "mkdir", "hold");
  auto mounting = std::async(std::launch::async, [&] { return run(1, "Mount", options({})); });
  wait_for_text(root().path(path::kStandinLog), "mkdir");
  ASSERT_TRUE(mib::table_remove(*mib::find_table("usbinfo"), 1));
  release_standin(root(), "mkdir");
  EXPECT_EQ(mounting.get(), "('/mnt/usb1_1', uint32 1, 'device removed')");
  EXPECT_THAT(text(device(1), kLowerDevice, "DeviceName"), StartsWith("error: "));
}


// The emulated storage as igd1d serves it: the seeded disk's folder is at its
// mount point while it is mounted, the storage programs' stand-ins move it
// there and back and format it, and disks plugged in and pulled out from
// outside come and go on the bus with their files.
class UsbEmulationTest : public UsbTest {
 protected:
  void configure(host::Options &options) override {
    options.notify_socket = true;
    const std::string sbin = root().path("/usr/sbin");
    g_mkdir_with_parents(sbin.c_str(), 0755);
    std::filesystem::copy_file(IGD1_BUILD_DIR "/root/usr/sbin/media-server", sbin + "/media-server");
  }
  bool on_disk(const std::string &fixed) const { return std::filesystem::exists(root().path(fixed)); }
};

TEST_F(UsbEmulationTest, TheStandInsMoveADisksFilesAndDisksComeAndGoFromOutside) {
  ASSERT_TRUE(on_disk("/mnt/usb1_1/README.txt")) << "the seeded disk is mounted";
  EXPECT_EQ(run(1, "Unmount", options({})), "(uint32 0, '')");
  EXPECT_FALSE(on_disk("/mnt/usb1_1/README.txt"));
  EXPECT_TRUE(on_disk("/var/lib/igd1-devices/usb1/README.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(root().path("/mnt/usb1_1"))) << "an empty mount point stays";
  EXPECT_EQ(run(1, "Mount", options({{"NULL", "/mnt/photos"}})), "('/mnt/usb1_1', uint32 0, '')");
  EXPECT_TRUE(on_disk("/mnt/photos/README.txt"));
  EXPECT_EQ(run(1, "Format", options({})), "(uint32 0, 'usbformat sucess')");
  EXPECT_TRUE(eventually([&] { return !on_disk("/mnt/photos/README.txt"); })) << "formatted";
  EXPECT_TRUE(std::filesystem::is_directory(root().path("/mnt/photos")));

  // A disk from outside: published with both interfaces, mounted with its
  // files, and gone with them when pulled out.
  ASSERT_TRUE(wait_for_notify_socket());
  g_mkdir_with_parents(root().path("/var/lib/igd1-devices/stick").c_str(), 0755);
  write_text_file(root().path("/var/lib/igd1-devices/stick/song.mp3"), "la");
  SignalWatcher added(client(), kFreedesktopManager, "InterfacesAdded", kLowerDevices);
  EXPECT_EQ(exchange("event usb plug /var/lib/igd1-devices/stick Stick"), "OK");
  EXPECT_THAT(added.next(), HasSubstr("/com/wqx/igd1/Storage/usb/devices/3"));
  EXPECT_EQ(text(device(3), kLowerFs, "MountPoint"), "/mnt/usb3");
  EXPECT_EQ(text(device(3), kLowerFs, "Label"), "Stick");
  EXPECT_TRUE(on_disk("/mnt/usb3/song.mp3"));
  SignalWatcher removed(client(), kFreedesktopManager, "InterfacesRemoved", kLowerDevices);
  EXPECT_EQ(exchange("event usb unplug 3"), "OK");
  EXPECT_THAT(removed.next(), HasSubstr("/com/wqx/igd1/Storage/usb/devices/3"));
  EXPECT_FALSE(on_disk("/mnt/usb3/song.mp3"));
  EXPECT_TRUE(on_disk("/var/lib/igd1-devices/stick/song.mp3"));
}


// What umount prints is cut to 60 bytes at a character boundary; mount points
// are plain names below /mnt/.
TEST(UsbCommandTest, OutputLinesAreCutWholeAndMountPointsStayPlainNames) {
  using usb::first_line;
  EXPECT_EQ(first_line("busy\nsecond line"), "busy");
  EXPECT_EQ(first_line(std::string(59, 'a') + "\xc3\xa9tail"), std::string(59, 'a'));
  EXPECT_EQ(first_line(std::string(58, 'a') + "\xc3\xa9tail"), std::string(58, 'a') + "\xc3\xa9");
  EXPECT_EQ(first_line(""), "");
  TempRoot root;
  for (const char *good : {"/mnt/usb1_1", "/mnt/a/b-c.d_e"}) EXPECT_TRUE(usb::valid_mount_point(good)) << good;
  for (const char *bad : {"/mnt/", "/mnt//x", "/mnt/x/", "/mnt/./x", "/mnt/x/..", "/mnt/a b", "/mnt/x;y",
                          "/mnt/$(id)", "/mntx", "/etc/x", "mnt/x"})
    EXPECT_FALSE(usb::valid_mount_point(bad)) << bad;
  EXPECT_FALSE(usb::valid_mount_point("/mnt/" + std::string(251, 'x')));
  EXPECT_TRUE(usb::valid_mount_point("/mnt/" + std::string(250, 'x')));
  // A file, or a link anywhere on the way, is no folder to mount on.
  g_mkdir_with_parents(root.path("/mnt/dir").c_str(), 0755);
  write_text_file(root.path("/mnt/file"), "");
  ASSERT_EQ(symlink("dir", root.path("/mnt/link").c_str()), 0);
  EXPECT_TRUE(usb::valid_mount_point("/mnt/dir/new"));
  EXPECT_FALSE(usb::valid_mount_point("/mnt/file"));
  EXPECT_FALSE(usb::valid_mount_point("/mnt/link/new"));
}

}  // namespace
}  // namespace igd1::test
