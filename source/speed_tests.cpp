// What the five speed-test objects share: their writers, the reads of long
// texts and the StartTest flow.
#include "speed_tests.h"

#include <string>
#include <vector>

namespace igd1::speed_tests {
namespace {

constexpr uint32_t kMaxDuration = 30;
constexpr uint32_t kFixedDuration = 10;
constexpr size_t kDescriptionBuffer = 64;

// The value as the texts show it: a text as it is, a number in decimal, a
// boolean as 0 or 1.
std::string value_text(GVariant *value) {
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_STRING: return g_variant_get_string(value, nullptr);
    case G_VARIANT_CLASS_BYTE: return std::to_string(g_variant_get_byte(value));
    case G_VARIANT_CLASS_UINT32: return std::to_string(g_variant_get_uint32(value));
    default: return g_variant_get_boolean(value) ? "1" : "0";
  }
}

}  // namespace

bool write_checked(const SingleObject &object, const Property &property, const char *name,
                   GVariant *value, bool valid, GError **error) {
  if (!valid) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    set_invalid_args(error, "%s Invalid parameter value %s", name, value_text(value).c_str());
    return false;
  }
  uint8_t byte = 0;
  uint32_t number = 0;
  int32_t flag = 0;
  void *stored = nullptr;
  switch (g_variant_classify(value)) {
    case G_VARIANT_CLASS_STRING:
      stored = const_cast<char *>(g_variant_get_string(value, nullptr));
      break;
    case G_VARIANT_CLASS_BYTE:
      byte = g_variant_get_byte(value);
      stored = &byte;
      break;
    case G_VARIANT_CLASS_UINT32:
      number = g_variant_get_uint32(value);
      stored = &number;
      break;
    default:
      flag = g_variant_get_boolean(value) ? 1 : 0;
      stored = &flag;
      break;
  }
  if (object.set(property.index, stored) == 0) {
    set_invalid_args(error, "set %s failed %s", name, value_text(value).c_str());
    return false;
  }
  return true;
}

bool write_flag(const CallContext &call, const SingleObject &object, const Property &property,
                const char *name, GVariant *value, WriteFlags *flags) {
  flags->changed = write_checked(object, property, name, value, true, call.error);
  return flags->changed != 0;
}

GVariant *read_long_text(const CallContext &call, const SingleObject &object,
                         const Property &property) {
  std::vector<char> buffer(property.buffer, '\0');
  if (object.get(property.index, buffer.data()) == 0)
    return g_variant_new_string(property.fallback_text != nullptr ? property.fallback_text : "");
  return text_value(buffer.data(), buffer.size(), property.name, call.error);
}

GVariant *read_nothing(const CallContext &, const SingleObject &, const Property &) {
  return g_variant_new_string("");
}

void start_test(const PendingCall &call, GVariant *parameters) {
  const Start &start = *static_cast<const Start *>(call.context().user_data);
  uint32_t duration = kFixedDuration;
  if (start.reads_duration) g_variant_get(parameters, "(u)", &duration);
  DBUS_LOG(LOG_LEVEL_INFO, "time [%d].", int(duration));
  if (duration > kMaxDuration) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], Invalid parameter value.", __func__, __LINE__);
    call.fail_named(start.error_name, "Invalid parameter value");
    return;
  }
  uint32_t result = 0;
  const int started = start.start(duration, &result);
  if (start.plain) {
    if (started != 0) {
      DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d], call msg_proc_handle failed.", __func__,
               __LINE__);
      call.fail_named(start.error_name, "msg_proc_handle return failed");
      return;
    }
    char text[kDescriptionBuffer] = {};
    geterrdesc(int(result), text);
    call.reply(g_variant_new("(us)", result, text));
    return;
  }
  call.reply(g_variant_new("(us)", result, started == 0 ? "Invalid parameter value!" : ""));
}

}  // namespace igd1::speed_tests
