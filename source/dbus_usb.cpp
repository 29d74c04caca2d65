// USB devices: one child per attached device under the manager whose path,
// document and file-system error name follow the service type the module
// started with.  Every device carries the device interface; storage devices
// (type 8) the file-system interface too, whose commands run the mount,
// unmount and format programs as checked argument vectors (usb_commands.h).
//
// A mount or an unmount waits for its programs and then for the media server
// to stop and start again (up to 24 s) without holding the main loop: the
// caller is answered once the server is back, every other call is served
// meanwhile, and mounts and unmounts run one at a time in the order they
// came.  A format is handed to the host's background formatter.
#include "usb.h"

#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_api.h"
#include "igd1_assert.h"
#include "sys_paths.h"
#include "sys_run.h"
#include "usb_commands.h"

char g_my_mnt[USB_MY_MNT_SIZE] = {};

namespace {

using igd1::CallContext;
using igd1::Field;
using igd1::PendingCall;
using igd1::RowProperty;
using igd1::usb::Command;
using igd1::usb::Refusal;
using igd1::usb::Verb;
using Record = usb_info_record;

constexpr unsigned kMediaServerPollMs = 600;
constexpr unsigned kMediaServerPolls = 40;
// A server just started writes its pid file within milliseconds.
constexpr unsigned kStartPollMs = 10;
constexpr unsigned kStartPolls = 100;

// ---- properties ----

// A text that is not UTF-8 fails a Get; GetAll and the manager's listing
// give it as "".
GVariant *read_text(const CallContext &call, const RowProperty &property, const uint8_t *row) {
  const char *text = reinterpret_cast<const char *>(row + property.offset);
  const size_t length = strnlen(text, property.size);
  if (g_utf8_validate(text, gssize(length), nullptr)) return g_variant_new_string(std::string(text, length).c_str());
  DBUS_LOG(LOG_LEVEL_WARN, "%s error", property.name);
  if (call.kind == igd1::CallKind::GetAll) return g_variant_new_string("");
  igd1::set_invalid_args(call.error, "invalid UTF-8 sting value of %s", property.name);
  return nullptr;
}

// A label that is not UTF-8 reads as "" everywhere.
GVariant *read_label(const CallContext &, const RowProperty &property, const uint8_t *row) {
  const char *text = reinterpret_cast<const char *>(row + property.offset);
  const size_t length = strnlen(text, property.size);
  if (g_utf8_validate(text, gssize(length), nullptr)) return g_variant_new_string(std::string(text, length).c_str());
  DBUS_LOG(LOG_LEVEL_WARN, "Label error");
  return g_variant_new_string("");
}

// Write-protected exactly when the writable flag is 0.
GVariant *read_protection(const CallContext &, const RowProperty &property, const uint8_t *row) {
  return g_variant_new_boolean(row[property.offset] == 0);
}

#define AT(member) .offset = uint32_t(offsetof(Record, member)), .size = uint32_t(sizeof(Record::member))
#define TEXT(prop, member) {.name = prop, .field = Field::Text, AT(member), .read = read_text}
#define SIZE(prop, member) {.name = prop, .type = "t", .field = Field::Number, AT(member)}
constexpr RowProperty kProperties[] = {
    {.name = "DeviceType", .type = "q", .field = Field::Number, AT(type)},
    {.name = "DeviceId", .type = "i", .field = Field::Number, AT(id)},
    TEXT("DeviceName", device_name),
    TEXT("Vendor", vendor),
    TEXT("Model", model),
    {.name = "WriteProtection", .type = "b", .field = Field::Flag, AT(writable), .read = read_protection},
    TEXT("MountPoint", mount_point),
    SIZE("TotalSize", total_size),
    SIZE("UsedSize", used_size),
    SIZE("FreeSize", free_size),
    {.name = "Label", .field = Field::Text, AT(label), .read = read_label},
};
#undef AT
#undef TEXT
#undef SIZE

// ---- which devices are storage ----

// What usb_device_add_interface was told of each device, main loop only; a
// device published by the start-up walk is storage when its record says so.
std::map<uint32_t, bool> g_storage;

bool is_file_system(const char *interface_name) {
  return g_str_has_suffix(interface_name, ".FileSystem");
}

bool carries(uint32_t index, const char *interface_name) {
  if (!is_file_system(interface_name)) return true;
  if (auto found = g_storage.find(index); found != g_storage.end()) return found->second;
  Record record;
  return usb_getinfoindex(int(index), &record) != 0 && record.type == USB_STORAGE_DEVICE;
}

// ---- names by service type ----

constexpr igd1::StartChoice kUpper = {.path = "/com/wqx/igd1/Storage/USB/Devices",
                                      .xml_file = "USB.Device.xml",
                                      .error_name = "com.wqx.igd1.USB.FileSystem"};
constexpr igd1::StartChoice kLower = {.path = "/com/wqx/igd1/Storage/usb/devices",
                                      .xml_file = "usb.Device.xml",
                                      .error_name = "com.wqx.igd1.usb.FileSystem"};
const igd1::StartChoice *names_by_service_type() {
  return dbus_proxy_get_service_type() == 1 ? &kUpper : &kLower;
}

extern const igd1::RowModule kModule;

const char *file_system_error() { return igd1::chosen(kModule).error_name; }

// ---- the media server ----

bool on_main_loop() { return g_main_context_is_owner(g_main_context_default()) != FALSE; }

bool media_server_gone() { return read_pid(MINIDLNAPID) <= 0; }

void forget_media_server() {
  const std::string pid_file = igd1::sys_path(MINIDLNAPID);
  unlink(pid_file.c_str());
}

// Stops the media server and starts it again once it is gone (or its time
// is up), then `done` once the new one has written its pid file, so that
// the next restart finds it; nothing waits on the main loop.
void restart_media_server(std::function<void()> done) {
  stopMiniDLNA();
  auto start = [done](bool stopped) {
    if (!stopped) forget_media_server();
    if (startMiniDLNA() == 0) return done();
    igd1::poll_until(kStartPollMs, kStartPolls, [] { return !media_server_gone(); }, nullptr,
                     [done](bool) { done(); });
  };
  if (media_server_gone()) return start(true);
  igd1::poll_until(kMediaServerPollMs, kMediaServerPolls, media_server_gone, nullptr, start);
}

// ---- running a command ----

void save_mount_point(const std::string &mount_point) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  g_strlcpy(g_my_mnt, mount_point.c_str(), sizeof g_my_mnt);
}

// What an unmount's program said: nothing is success; a line of output,
// or a program that could not start, is the reason it failed.
bool unmounted(const igd1::RunResult &result, std::string *text) {
  if (!result.started) {
    *text = "execute command failed";
    return false;
  }
  *text = igd1::usb::first_line(result.output);
  return text->empty();
}

// The steps of a command after the hot-plug mounter was told, each run
// whatever the one before did; `done` gets the last one's result.
std::vector<igd1::ChainStep> all_steps(const Command &command) {
  std::vector<igd1::ChainStep> steps;
  if (!command.hotplug.argv.empty()) steps.push_back(command.hotplug);
  steps.insert(steps.end(), command.steps.begin(), command.steps.end());
  return steps;
}

void run_each(std::shared_ptr<std::vector<igd1::ChainStep>> steps, size_t at,
              std::function<void(const igd1::RunResult &)> done) {
  const igd1::ChainStep &step = (*steps)[at];
  igd1::run_async(step.argv, step.options, [steps, at, done](const igd1::RunResult &result) {
    if (at + 1 == steps->size())
      done(result);
    else
      run_each(steps, at + 1, done);
  });
}

// Mounts and unmounts of every device, one at a time.
igd1::JobQueue &jobs() {
  static auto *queue = new igd1::JobQueue;  // main loop only, for the process's life
  return *queue;
}

// ---- file-system methods ----

bool find_record(const PendingCall &call, Record *record) {
  if (usb_getinfoindex(int(call.context().instance), record) != 0) return true;
  call.fail_named(file_system_error(), "not fount path");
  return false;
}

// The command a method's options ask for, or false once answered.
bool command_of(const PendingCall &call, GVariant *parameters, Verb verb, const Record &record,
                Command *command) {
  g_autoptr(GVariant) options = g_variant_get_child_value(parameters, 0);
  std::vector<std::string> words;
  if (!igd1::usb::dictionary_words(options, &words)) {
    call.fail_named(file_system_error(), "Invalid parameter value");
    return false;
  }
  // No options (or only absent ones): the device's own command.
  const bool defaults = words.empty();
  if (defaults && !igd1::usb::default_words(verb, record, &words)) {
    DBUS_LOG(LOG_LEVEL_WARN, "usb_format is not support!");
    call.fail_named(file_system_error(), "usb_format is not support!");
    return false;
  }
  for (const std::string &word : words) DBUS_LOG(LOG_LEVEL_DEBUG, "  %s", word.c_str());
  Refusal refusal;
  const bool add_target = !defaults && dbus_proxy_get_service_type() != 1;
  if (igd1::usb::read_words(verb, words, record, add_target, command, &refusal)) return true;
  DBUS_LOG(LOG_LEVEL_WARN, "%s", refusal.text.c_str());
  if (!refusal.as_result)
    call.fail_named(file_system_error(), refusal.text.c_str());
  else if (verb == Verb::Mount)
    call.reply(g_variant_new("(sus)", record.mount_point, 1u, refusal.text.c_str()));
  else
    call.reply(g_variant_new("(us)", 1u, refusal.text.c_str()));
  return false;
}

// What a mount or unmount answers: failed (`failure` set) once its programs
// ran, or succeeded once the media server is back.
using Outcome = std::function<bool(const igd1::RunResult &last, std::string *failure)>;
using Answer = std::function<void(uint32_t result, const std::string &text)>;

constexpr char kDeviceRemoved[] = "device removed";

// A mount or unmount queued or running, answered exactly once: with its
// outcome, or with (1, "device removed") as soon as its device leaves.
struct Running {
  Answer answer;
  bool answered = false;
  void settle(uint32_t result, const std::string &text) {
    if (answered) return;
    answered = true;
    answer(result, text);
  }
};

// The mounts and unmounts under way, by device (main loop only).
std::multimap<int, std::shared_ptr<Running>> g_running;

void forget_running(int index, const std::shared_ptr<Running> &running) {
  auto [first, last] = g_running.equal_range(index);
  for (auto at = first; at != last; ++at)
    if (at->second == running) return void(g_running.erase(at));
}

// A device that leaves ends its callers' waits at once; the programs it
// started finish and the queue moves on behind them as usual.
void device_left(int index) {
  auto [first, last] = g_running.equal_range(index);
  for (auto at = first; at != last; ++at) at->second->settle(1, kDeviceRemoved);
  g_running.erase(first, last);
}

// Runs a checked mount or unmount of device `index` after those queued
// before it: its programs, then, unless `outcome` says it failed or the
// device left meanwhile, the media server's restart; `answer` gets the
// result at the end, or as soon as the device leaves.
void run_queued(int index, const Command &command, Outcome outcome, Answer answer) {
  auto running = std::make_shared<Running>(Running{.answer = std::move(answer)});
  g_running.emplace(index, running);
  jobs().push([index, command, outcome, running](std::function<void()> finished) {
    auto done = [index, running, finished](uint32_t result, const std::string &text) {
      forget_running(index, running);
      running->settle(result, text);
      finished();
    };
    if (running->answered) return done(1, kDeviceRemoved);
    auto steps = std::make_shared<std::vector<igd1::ChainStep>>(all_steps(command));
    run_each(steps, 0, [outcome, running, done](const igd1::RunResult &last) {
      std::string failure;
      if (running->answered) return done(1, kDeviceRemoved);
      if (!outcome(last, &failure)) return done(1, failure);
      restart_media_server([done] { done(0, ""); });
    });
  });
}

// A device whose record went while the programs ran was pulled out, though
// its row callback may not have reached the module yet.
void mount(const PendingCall &call, GVariant *parameters) {
  Record record;
  Command command;
  if (!find_record(call, &record) || !command_of(call, parameters, Verb::Mount, record, &command))
    return;
  DBUS_LOG(LOG_LEVEL_INFO, "mount mount_path:[%s]", command.mount_point.c_str());
  const std::string replied = record.mount_point;
  const int index = record.index;
  const std::string mounted_at = command.mount_point;
  run_queued(
      index, command,
      [index, mounted_at](const igd1::RunResult &, std::string *failure) {
        Record now;
        if (usb_getinfoindex(index, &now) == 0) {
          *failure = kDeviceRemoved;
          return false;
        }
        save_mount_point(mounted_at);
        return true;
      },
      [call, replied](uint32_t result, const std::string &text) {
        call.reply(g_variant_new("(sus)", replied.c_str(), result, text.c_str()));
      });
}

void unmount(const PendingCall &call, GVariant *parameters) {
  Record record;
  Command command;
  if (!find_record(call, &record) || !command_of(call, parameters, Verb::Unmount, record, &command))
    return;
  DBUS_LOG(LOG_LEVEL_INFO, "umount mount_path:[%s]", command.mount_point.c_str());
  run_queued(record.index, command, unmounted, [call](uint32_t result, const std::string &text) {
    call.reply(g_variant_new("(us)", result, text.c_str()));
  });
}

void format(const PendingCall &call, GVariant *parameters) {
  Record record;
  Command command;
  if (!find_record(call, &record) || !command_of(call, parameters, Verb::Format, record, &command))
    return;
  DBUS_LOG(LOG_LEVEL_INFO, "mount_path:%s", command.mount_point.c_str());
  std::vector<const char *> argv;
  for (const std::string &word : command.steps.front().argv) argv.push_back(word.c_str());
  argv.push_back(nullptr);
  if (dbus_proxy_usbformat_thread_create_func(argv.data()) == 0) {
    call.reply(g_variant_new("(us)", 1u, "usbformat failed"));
    return;
  }
  call.reply(g_variant_new("(us)", 0u, "usbformat sucess"));
}

void set_label(const PendingCall &call, GVariant *parameters) {
  const gchar *label = nullptr;
  g_variant_get(parameters, "(&s)", &label);
  if (*label == '\0' || std::strlen(label) >= USB_LABEL_SIZE) {
    call.fail_named(file_system_error(), "Invalid parameter value");
    return;
  }
  if (call.context().instance == 0) {
    call.fail_named(file_system_error(), "invalid list num");
    return;
  }
  if (usbinfo_update_label(int(call.context().instance), label) != 0)
    call.reply(g_variant_new("(us)", 0u, "SetLabel sucess"));
  else
    call.reply(g_variant_new("(us)", 1u, "SetLabel failed"));
}

// ---- the manager ----

// Devices come and go with the hardware: the manager takes no changes.  On
// service type 0 a conformance run gets no answer to AddObject and
// DeleteObject, and RemoveAllObjects never one: the caller is told so at
// once with the bus's NoReply error rather than left to its time-out.
void refuse_change(const PendingCall &call, GVariant *) {
  const bool silent = std::strcmp(call.method(), "RemoveAllObjects") == 0 || call.context().test_run();
  g_autofree gchar *text = g_strdup_printf("##########not support to %s yet", call.method());
  call.fail(dbus_proxy_get_service_type() == 0 && silent ? G_DBUS_ERROR_NO_REPLY : G_DBUS_ERROR_FAILED, text);
}

// A device's methods, then the manager's.
constexpr igd1::Method kMethods[] = {
    {.name = "Mount", .handler = mount, .answer = igd1::Answer::Later},
    {.name = "Unmount", .handler = unmount, .answer = igd1::Answer::Later},
    {.name = "Format", .handler = format},
    {.name = "SetLabel", .handler = set_label},
    {.name = "AddObject", .handler = refuse_change},
    {.name = "DeleteObject", .handler = refuse_change},
    {.name = "RemoveAllObjects", .handler = refuse_change},
};

// A device's child is exported without a log line of its own.
bool quiet_export(const CallContext &, igd1::RowEvent event, const char *) {
  return event == igd1::RowEvent::Exported;
}

// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetInvalidPath: return "invalid object path %s";
    case GetNoRow: return "invalid object path %s";
    case SetInvalidPath: return "not fount path";
    default: return nullptr;
  }
}

constexpr igd1::RowModule kModule = {
    .manager_path = "/com/wqx/igd1/Storage/usb/devices",
    .properties = kProperties,
    .table = {.store = &usbinfo_table,
              .refresh_row = usbinfo_measure},
    .texts = {.wording = wording, .log = quiet_export},
    .max_instance = USB_MAX_DEVICES,
    .xml = "usb.Device.xml",
    .carries = carries,
    .choose = names_by_service_type,
    .methods = kMethods,
};

}  // namespace

IGD1_ROW_COLLECTION(usb_device, usb_introspection_data, "usb_device",
                    usb_device_handle_get_property, usb_device_handle_set_property,
                    usb_device_handle_set_multi_properties, usb_device_handle_object_mng_call,
                    kModule)

void usb_device_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_INDEX_FLAG;
  callbacks.add_flagged = usb_device_add_interface;
  callbacks.del_index = usb_device_del_interface;
  callbacks.flag_offset = offsetof(Record, type);
  callbacks.flag_value = USB_STORAGE_DEVICE;
  IGD1_ASSERT(dbus_proxy_row_callbacks_reg("usb_device", &callbacks) != 0);
  g_storage.clear();
  igd1::row_collection_start(kusb_deviceRows, connection, &kusb_deviceManagerVTable);
  IGD1_ASSERT(usb_introspection_data != nullptr);
}

namespace {

const char *device_interface() { return usb_introspection_data->interfaces[0]->name; }

bool valid_index(int index) { return index >= 1 && index <= USB_MAX_DEVICES; }

}  // namespace

int usb_device_add_interface(int index, int with_file_system) {
  DBUS_LOG(LOG_LEVEL_INFO, "index: %d", index);
  if (!valid_index(index)) return 0;
  const auto instance = uint32_t(index);
  DBUS_LOG(LOG_LEVEL_INFO, "Add %s, object_path: %s", device_interface(),
           igd1::collection_child_path(kusb_deviceRows.collection, instance).c_str());
  // A device that arrives again may have changed kind: its object is made anew.
  if (igd1::row_exported(kusb_deviceRows, instance)) igd1::row_unexport(kusb_deviceRows, instance);
  g_storage[instance] = with_file_system != 0;
  igd1::row_export(kusb_deviceRows, instance);
  return 1;
}

int usb_device_del_interface(int index) {
  DBUS_LOG(LOG_LEVEL_INFO, "index: %d", index);
  if (!valid_index(index)) return 0;
  const auto instance = uint32_t(index);
  DBUS_LOG(LOG_LEVEL_INFO, "Delete %s, object_path: %s", device_interface(),
           igd1::collection_child_path(kusb_deviceRows.collection, instance).c_str());
  igd1::row_unexport(kusb_deviceRows, instance);
  g_storage.erase(instance);
  device_left(index);
  return 1;
}

// ---- for callers outside the bus handlers ----

namespace {

// The record whose block device is `device`.
bool record_of_device(const std::string &device, Record *record) {
  for (mib_list_node *node = usbinfo_get_list(0); node != nullptr; node = node->next) {
    const auto *row = static_cast<const Record *>(node->data);
    if (device == row->device_name) return usb_getinfoindex(row->index, record) != 0;
  }
  return false;
}

int failed(char *text, const std::string &why) {
  g_strlcpy(text, why.c_str(), USB_CMD_TEXT_SIZE);
  return -1;
}

void restart_media_server_now() {
  stopDLNA_wait();
  if (startMiniDLNA() == 0) return;
  for (unsigned poll = 0; poll < kStartPolls && media_server_gone(); ++poll) g_usleep(kStartPollMs * 1000);
}

}  // namespace

void stopDLNA_wait(void) {
  if (on_main_loop()) {
    DBUS_LOG(LOG_LEVEL_WARN, "stopDLNA_wait is not for the main loop");
    return;
  }
  stopMiniDLNA();
  for (unsigned poll = 0; poll < kMediaServerPolls && !media_server_gone(); ++poll)
    g_usleep(kMediaServerPollMs * 1000);
  if (!media_server_gone()) forget_media_server();
}

int usb_get_cmd_return(const char *command, char *text) {
  if (command == nullptr || text == nullptr) return -1;
  if (on_main_loop()) return failed(text, "not for the main loop");
  std::vector<std::string> words;
  if (!igd1::usb::command_line_words(command, &words)) return failed(text, "Invalid parameter value");
  const bool mounting = !words.empty() && words[0] == "mount";
  if (mounting || (!words.empty() && words[0] == "umount")) {
    std::string device;
    for (const std::string &word : words)
      if (device.empty() && word.rfind("/dev/sd", 0) == 0) device = word;
    Record record;
    if (device.empty() || !record_of_device(device, &record)) return failed(text, "no dev name");
    Command checked;
    Refusal refusal;
    words.erase(words.begin());
    if (!igd1::usb::read_words(mounting ? Verb::Mount : Verb::Unmount, words, record, false,
                               &checked, &refusal))
      return failed(text, refusal.text);
    igd1::RunResult last;
    for (const igd1::ChainStep &step : all_steps(checked)) last = igd1::run_command(step.argv, step.options);
    std::string why;
    if (mounting)
      save_mount_point(checked.mount_point);
    else if (!unmounted(last, &why))
      return failed(text, why);
  }
  restart_media_server_now();
  DBUS_LOG(LOG_LEVEL_INFO, "usb_get_cmd_return 0");
  return 0;
}
