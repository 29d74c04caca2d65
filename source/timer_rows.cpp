// The timer collections' rows: read and written through the configuration
// library's row handles, renumbered at start-up, and the instance list of
// the host side's wrappers.
#include "timer_rows.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "single_object.h"
#include "tool.h"

namespace igd1::timers {

Begin refuse_missing_row(const CallContext &call, RowStep step, GVariant *parameters,
                         uint32_t highest) {
  if (step != RowStep::DeleteObject || call.instance != 0) return Begin::Apply;
  const char *path = nullptr;
  g_variant_get(parameters, "(&o)", &path);
  if (child_instance_of(call.object_path, path, highest) == 0) return Begin::Apply;
  g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "this entry not exist");
  return Begin::Refuse;
}

namespace {

// Reads every value of the row behind `handle` into `record`.
bool read_values(const Family &family, TIMER_ROW **handle, TimerRecord &record) {
  uint8_t days = 0;
  const bool read = family.get(kDays, &days, handle) != 0 &&
                    family.get(kTime, record.time, handle) != 0 &&
                    family.get(kActive, &record.active, handle) != 0 &&
                    family.get(kEnable, &record.enable, handle) != 0 &&
                    (!family.has_ssid_mask || family.get(kSsidMask, &record.ssid_mask, handle) != 0);
  record.days = days;
  record.time[kTimeBuffer - 1] = '\0';
  return read;
}

}  // namespace

int row_count(const Family &family) { return family.total(); }

int find_instance(const Family &family, uint32_t instance, uint32_t *position, void *row) {
  TimerRecord &record = *static_cast<TimerRecord *>(row);
  TIMER_ROW *handle = nullptr;
  if (family.check_instnum(instance, position, &handle) == 0) return 0;
  record.instance = instance;
  const bool read = read_values(family, &handle, record);
  family.release(&handle);
  return read ? 1 : 0;
}

int row_at(const Family &family, uint32_t position, void *row) {
  int instance = 0;
  if (family.check_entry(position, &instance) == 0 || instance <= 0) return 0;
  const std::vector<uint32_t> &left_out = family.state->unrenumbered;
  if (std::find(left_out.begin(), left_out.end(), uint32_t(instance)) != left_out.end()) return 0;
  return find_instance(family, uint32_t(instance), nullptr, row);
}

void *open_working(const Family &family, const void *row) {
  auto *working = new (std::nothrow) TimerRecord(*static_cast<const TimerRecord *>(row));
  if (working == nullptr) return nullptr;
  working->handle = nullptr;
  if (family.check_instnum(working->instance, nullptr, &working->handle) == 0) {
    delete working;
    return nullptr;
  }
  return working;
}

void close_working(const Family &family, void *copy) {
  auto *working = static_cast<TimerRecord *>(copy);
  family.release(&working->handle);
  delete working;
}

int commit_working(const Family &family, const void *copy, uint32_t index) {
  auto *working = static_cast<TimerRecord *>(const_cast<void *>(copy));
  if (family.update(&working->handle, index) == 0) return 0;
  DBUS_LOG(LOG_LEVEL_INFO, "%s", family.commit_done);
  return 1;
}

int insert(const Family &family, void *row) {
  const uint32_t instance = static_cast<const TimerRecord *>(row)->instance;
  // AddObject gives numbers up to the family's highest; children reach
  // higher only for rows another process numbered so.
  if (instance > family.highest) return 0;
  DBUS_LOG(LOG_LEVEL_INFO, "AddObject the idle index %d", int(instance));
  return family.add(instance) >= 1 ? 1 : 0;
}

int remove(const Family &family, uint32_t position) {
  int instance = 0;
  if (family.check_entry(position, &instance) != 0 && instance > 0 &&
      family.remove(position, uint32_t(instance)) == 1) {
    forget_row(family, uint32_t(instance));
    return 1;
  }
  DBUS_LOG(LOG_LEVEL_WARN, "Delete chain %d record error!", int(position));
  return 0;
}

// Rows are kept in number order, so giving the row at position i the
// number i + 1 never meets a number still in use.
int renumber_all(const Family &family) {
  const int total = family.total();
  DBUS_LOG(LOG_LEVEL_INFO, family.total_log, total);
  std::vector<uint32_t> &left_out = family.state->unrenumbered;
  left_out.clear();
  bool renumbered = false;
  for (int position = 0; position < total; ++position) {
    int before = 0;
    const bool numbered = family.check_entry(uint32_t(position), &before) != 0 && before > 0;
    if (family.renumber(uint32_t(position), uint32_t(position + 1)) == 0) {
      DBUS_LOG(LOG_LEVEL_WARN, "%s", family.renumber_failed);
      if (numbered) left_out.push_back(uint32_t(before));
      continue;
    }
    DBUS_LOG(LOG_LEVEL_INFO, "%s", family.renumbered);
    DBUS_LOG(LOG_LEVEL_INFO, family.export_log, position + 1);
    renumbered = true;
  }
  if (renumbered) family.apply();
  return 1;
}

void forget_row(const Family &family, uint32_t instance) {
  std::erase(family.state->unrenumbered, instance);
}

// ---- property hooks ----------------------------------------------------------------

bool store(const CallContext &call, const RowProperty &property, TimerRecord &record, int number,
           const void *value, bool *changed) {
  int differs = 0;
  if (family_of(call).set(number, value, &record.handle, &differs) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "func [%s], line [%d],set %s failed!", __func__, __LINE__,
             property.name);
    set_invalid_args(call.error, "set %s failed!", property.name);
    return false;
  }
  *changed = differs != 0;
  return true;
}

GVariant *read_days(const CallContext &call, const RowProperty &, const uint8_t *row) {
  const uint8_t mask = record_of(row).days;
  GVariantBuilder days;
  g_variant_builder_init(&days, G_VARIANT_TYPE("as"));
  if (family_of(call).every_day && mask == 1) {
    g_variant_builder_add(&days, "s", "0");
  } else {
    for (int day = 1; day <= 7; ++day) {
      if ((mask >> day) & 1) {
        const char text[2] = {char('0' + day), '\0'};
        g_variant_builder_add(&days, "s", text);
      }
    }
  }
  return g_variant_builder_end(&days);
}

bool write_days(const CallContext &call, const RowProperty &property, GVariant *value,
                uint8_t *row, bool *changed) {
  const bool every_day = family_of(call).every_day;
  uint8_t mask = 0;
  GVariantIter days;
  DBUS_LOG(LOG_LEVEL_INFO, "value len:%d", int(g_variant_iter_init(&days, value)));
  const char *day = nullptr;
  for (int n = 0; g_variant_iter_next(&days, "&s", &day); ++n) {
    DBUS_LOG(LOG_LEVEL_DEBUG, "value names[%d]:%s\n", n, day);
    char *end = nullptr;
    errno = 0;
    const long number = std::strtol(day, &end, 10);
    if (every_day && (end == day || (number == 0 && errno == 0))) {
      mask = 1;
      break;
    }
    if (end != day && errno == 0 && number >= 1 && number <= 7) mask |= uint8_t(1u << number);
  }
  TimerRecord &record = record_of(row);
  if (!store(call, property, record, kDays, &mask, changed)) return false;
  record.days = mask;
  return true;
}

TimeFault time_fault(const char *text, int max_hour) {
  const char *colon = std::strchr(text, ':');
  if (colon == nullptr || strnlen(text, 6) > 5) return TimeFault::Shape;
  if (colon == text || colon[1] == '\0') return TimeFault::MissingPart;
  return parse_clock_time(text, max_hour, nullptr, nullptr) ? TimeFault::None
                                                            : TimeFault::OutOfRange;
}

bool store_time(const CallContext &call, const RowProperty &property, const char *text,
                uint8_t *row, bool *changed) {
  TimerRecord &record = record_of(row);
  if (!store(call, property, record, kTime, text, changed)) return false;
  g_strlcpy(record.time, text, sizeof record.time);
  return true;
}

GVariant *read_enable(const CallContext &, const RowProperty &, const uint8_t *row) {
  return g_variant_new_boolean(record_of(row).enable == 1);
}

bool write_enable(const CallContext &call, const RowProperty &, GVariant *value, uint8_t *row,
                  bool *changed) {
  TimerRecord &record = record_of(row);
  const uint8_t enable = g_variant_get_boolean(value) ? 1 : 0;
  int differs = 0;
  if (family_of(call).set(kEnable, &enable, &record.handle, &differs) == 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    set_invalid_args(call.error, "Invalid parameter value, object path %s", call.object_path);
    return false;
  }
  record.enable = enable;
  *changed = differs != 0;
  return true;
}

bool write_active(const CallContext &call, const RowProperty &property, GVariant *value,
                  uint8_t *row, bool *changed) {
  const char *text = g_variant_get_string(value, nullptr);
  if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    set_invalid_args(call.error, "Invalid parameter value ,path %s", call.object_path);
    return false;
  }
  TimerRecord &record = record_of(row);
  const int32_t active = text[0] - '0';
  if (!store(call, property, record, kActive, &active, changed)) return false;
  record.active = active;
  return true;
}

bool write_ssid_mask(const CallContext &call, const RowProperty &property, GVariant *value,
                     uint8_t *row, bool *changed) {
  TimerRecord &record = record_of(row);
  const uint32_t mask = g_variant_get_uint32(value);
  if (!store(call, property, record, kSsidMask, &mask, changed)) return false;
  record.ssid_mask = mask;
  return true;
}

// ---- the host side's wrappers --------------------------------------------------------

int list_append(const Family &family, const void *record, int length) {
  return dbus_proxy_list_improve(&family.state->instances, record, length) != nullptr ? 1 : 0;
}

void list_update(const Family &family, const void *record, int recordnum, int length) {
  dbus_proxy_list_node_update(&family.state->instances, recordnum, record, length);
}

void list_delete(const Family &family, int recordnum) {
  dbus_proxy_list_delete(&family.state->instances, recordnum);
}

int list_record(const Family &family, int recordnum, void **record) {
  dbus_proxy_list_node *node = dbus_proxy_get_node_by_recordnum(family.state->instances, recordnum);
  if (node == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, "invalid recordnum %d while delete action ", recordnum);
    return 0;
  }
  if (node->data == nullptr) {
    DBUS_LOG(LOG_LEVEL_WARN, "invalid entry info with recordnum %d while delete action ",
             recordnum);
    return 0;
  }
  if (record != nullptr) *record = node->data;
  return 1;
}

int idle_instance(const Family &family, uint32_t *instance) {
  std::vector<bool> taken(family.highest + 1, false);
  const int total = family.total();
  for (int position = 0; position < total; ++position) {
    int number = 0;
    if (family.check_entry(uint32_t(position), &number) != 0 && number > 0 &&
        uint32_t(number) <= family.highest)
      taken[size_t(number)] = true;
  }
  for (uint32_t number = 1; number <= family.highest; ++number) {
    if (!taken[number]) {
      if (instance != nullptr) *instance = number;
      return 1;
    }
  }
  return 0;
}

}  // namespace igd1::timers
