// The timer collections (sleep timers, extended WiFi timers): tables that
// the configuration library hands out through row handles, published by the
// collection engine with instance numbers the module chooses.
//
// The engine sees a row as a TimerRecord read through a handle of its own.
// A write request works on a working record that holds a handle for the
// whole request: each accepted value goes into the handle's copy at once
// (the library says whether it changed), the request's commit stores the
// copy, and the handle is released with the working record.  At start-up the
// rows are renumbered 1..n in table order before their children are
// published.  Each collection also keeps an instance list of record copies
// for the host side's wrappers; the module itself never reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "collection.h"
#include "dbus_proxy_list.h"
#include "mib_api.h"

namespace igd1::timers {

// A stored time of day is read into a buffer of this size.
inline constexpr size_t kTimeBuffer = 256;

struct TimerRecord {
  uint32_t instance;
  TIMER_ROW *handle;  // working records only
  uint8_t days;       // weekday mask as stored
  int32_t active;
  int32_t enable;
  uint32_t ssid_mask;
  char time[kTimeBuffer];
};

inline const TimerRecord &record_of(const uint8_t *row) {
  return *reinterpret_cast<const TimerRecord *>(row);
}
inline TimerRecord &record_of(uint8_t *row) { return *reinterpret_cast<TimerRecord *>(row); }

// Store property numbers shared by both families.
enum : int { kDays = 0, kTime = 1, kActive = 2, kEnable = 3, kSsidMask = 4 };

// What a family keeps at run time.
struct FamilyState {
  // The instance list of the host side's wrappers.
  dbus_proxy_list_node *instances = nullptr;
  // Numbers of the rows the last start could not renumber: they keep their
  // number but get no child (see renumber_all).
  std::vector<uint32_t> unrenumbered;
};

// One family of the configuration library's timer calls, with the texts the
// collection logs around them.  A collection hands its family to its hooks
// as the module's user data.
struct Family {
  int (*total)();
  int (*check_entry)(uint32_t position, int *instance);
  int (*check_instnum)(uint32_t instance, uint32_t *index, TIMER_ROW **row);
  int (*get)(int number, void *output, TIMER_ROW **row);
  // Stores into the handle's copy; *changed says whether the copy changed.
  int (*set)(int number, const void *value, TIMER_ROW **row, int *changed);
  int (*update)(TIMER_ROW **row, uint32_t index);
  void (*release)(TIMER_ROW **row);
  int (*add)(uint32_t instance);
  int (*remove)(uint32_t position, uint32_t instance);
  int (*renumber)(uint32_t position, uint32_t instance);
  int (*apply)();
  bool has_ssid_mask;
  // Whether ["0"] (bit 0 alone) is every day; otherwise 0 is no day.
  bool every_day;
  uint32_t highest;  // the highest number AddObject gives
  FamilyState *state;
  // Log texts: the row count at start-up (%d), a renumbered row stored or
  // not, a renumbered row exported (%d), the store's commit of a write.
  const char *total_log;
  const char *renumbered;
  const char *renumber_failed;
  const char *export_log;
  const char *commit_done;
};

inline const Family &family_of(const CallContext &call) {
  return *static_cast<const Family *>(call.user_data);
}

// ---- the table as the engine reaches it --------------------------------------------

int row_count(const Family &family);
int row_at(const Family &family, uint32_t position, void *row);
int find_instance(const Family &family, uint32_t instance, uint32_t *position, void *row);
void *open_working(const Family &family, const void *row);
void close_working(const Family &family, void *copy);
int commit_working(const Family &family, const void *copy, uint32_t index);
int insert(const Family &family, void *row);
int remove(const Family &family, uint32_t position);
// Gives the row at position i the number i + 1, in table order.  A row the
// store does not renumber keeps its number and is left out when the rows
// are walked (row_at), so it is not published; it is still found by its
// number, which stays taken, and can be deleted.
int renumber_all(const Family &family);
// A row that is gone no longer counts as left out.
void forget_row(const Family &family, uint32_t instance);

// The rows of the family `family` as a table.
template <const Family &family>
constexpr mib_table_ops kTableOps = {
    .row_size = sizeof(TimerRecord),
    .update_all = [] { return renumber_all(family); },
    .insert_entry = [](void *row) { return insert(family, row); },
    .remove_entry = [](uint32_t position, mib_list_node *) { return remove(family, position); },
    .instance_offset = offsetof(TimerRecord, instance),
    .instance_size = 4,
    .row_count = [] { return row_count(family); },
    .row_at = [](uint32_t position, void *row) { return row_at(family, position, row); },
    .find_instance = [](uint32_t instance, uint32_t *position, void *row) {
      return find_instance(family, instance, position, row);
    },
    .instance_at = [](uint32_t position, uint32_t *instance) {
      int number = 0;
      if (family.check_entry(position, &number) == 0 || number <= 0) return 0;
      *instance = uint32_t(number);
      return 1;
    },
    .backup_entry = [](const void *row) { return open_working(family, row); },
    .free_backup_entry = [](void *copy) { close_working(family, copy); },
    .update_entry = [](const void *copy, uint32_t index, const char **, int) {
      return commit_working(family, copy, index);
    },
};

// A timer collection over `family` at `manager_path`: rows behind the
// family's handles, numbered by the module, each accepted write request
// stored in its commit whether or not it changed the row (the store's
// refusal answers), every change announced, a row another process added or
// removed put into effect.  `texts` names the family's table; its wording
// leaves the texts both families share to shared_wording.  Children exist
// for 1 to `max_instance`.
template <const Family &family>
constexpr RowModule module(const char *manager_path, std::span<const RowProperty> properties,
                           RowTexts texts, uint32_t max_instance) {
  return {
      .manager_path = manager_path,
      .properties = properties,
      .table = {.store = &kTableOps<family>},
      .texts = texts,
      .announce = Announce::Always,
      .add = Adding::self_numbered(),
      .max_instance = max_instance,
      .writes = RowWrites::CommitUnchanged,
      .commit_error = "org.freedesktop.DBus.Error.InvalidArgs",
      .user_data = const_cast<Family *>(&family),
  };
}

// The texts both families word alike.
inline const char *shared_wording(RowText text) {
  switch (text) {
    case RowText::GetNoRow:
    case RowText::SetNoRow: return "invalid object path %s";
    case RowText::DeleteFailed: return "Delete chain record error";
    default: return nullptr;
  }
}

// The part of the `on` hook both families share: DeleteObject of a child
// path (numbers 1 to `highest`) that no row has is refused with Failed
// "this entry not exist".
Begin refuse_missing_row(const CallContext &call, RowStep step, GVariant *parameters,
                         uint32_t highest);

// ---- property hooks ----------------------------------------------------------------

// Stores `value` under `number` into the working record's handle; a refusal
// answers "set <name> failed!".
bool store(const CallContext &call, const RowProperty &property, TimerRecord &record, int number,
           const void *value, bool *changed);
// Weekdays 1 to 7 of the mask, ascending; with the family's every-day
// value, a mask of exactly bit 0 reads ["0"].
GVariant *read_days(const CallContext &call, const RowProperty &property, const uint8_t *row);
// Each entry in order: 1 to 7 add that weekday.  With the every-day value,
// 0 (or a text that does not start with a number) is every day and ends the
// list; every other entry is ignored.
bool write_days(const CallContext &call, const RowProperty &property, GVariant *value,
                uint8_t *row, bool *changed);
// What is wrong with a time of day as a client wrote it ("H:MM" or "HH:MM",
// hour 0 to `max_hour`, minute 0-59).
enum class TimeFault : uint8_t {
  None,
  Shape,        // no colon, or more than 5 characters
  MissingPart,  // no hour or no minute
  OutOfRange,   // not a number, or out of range
};
TimeFault time_fault(const char *text, int max_hour);
// Stores a checked time as written.
bool store_time(const CallContext &call, const RowProperty &property, const char *text,
                uint8_t *row, bool *changed);

GVariant *read_enable(const CallContext &call, const RowProperty &property, const uint8_t *row);
bool write_enable(const CallContext &call, const RowProperty &property, GVariant *value,
                  uint8_t *row, bool *changed);
// "0" or "1" exactly.
bool write_active(const CallContext &call, const RowProperty &property, GVariant *value,
                  uint8_t *row, bool *changed);
bool write_ssid_mask(const CallContext &call, const RowProperty &property, GVariant *value,
                     uint8_t *row, bool *changed);

// ---- the host side's wrappers --------------------------------------------------------

int list_append(const Family &family, const void *record, int length);
void list_update(const Family &family, const void *record, int recordnum, int length);
void list_delete(const Family &family, int recordnum);
// 1 and the record of node `recordnum`, else 0 with the reason logged.
int list_record(const Family &family, int recordnum, void **record);
// 1 and the lowest number from 1 to the family's highest that no row
// carries, else 0.
int idle_instance(const Family &family, uint32_t *instance);

}  // namespace igd1::timers

// The entry points of the collection `Name` (an IGD1_ROW_COLLECTION line
// without an entry) over `family`: `Name`_on_bus_acquired, and the row
// callbacks `Name`_add_interface and _del_interface, after whose child the
// family puts a row another process added or removed into effect.  The
// host side's exported wrappers: `prefix`_export_new_object(instance)
// and _unexport_object(instance) publish and withdraw a child;
// _dbus_proxy_list_improve(record, length) (1 on success),
// _dbus_proxy_list_node_update(record, recordnum, length),
// _dbus_proxy_list_delete(recordnum) and _get_dbus_proxy_list_index(recordnum,
// &record) (1 and the record, else 0) keep the instance list; _get_idle_idx(
// &instance) gives the lowest free number (1 on success, 0 when every number
// AddObject gives is taken).
#define IGD1_TIMER_WRAPPERS(prefix, Name, family)                                                  \
  IGD1_API int Name##_add_interface(uint32_t instance) {                                           \
    igd1::row_reported(k##Name##Rows, instance, true);                                             \
    (family).apply();                                                                              \
    return 1;                                                                                      \
  }                                                                                                \
  IGD1_API int Name##_del_interface(uint32_t instance) {                                           \
    igd1::row_reported(k##Name##Rows, instance, false);                                            \
    igd1::timers::forget_row(family, instance);                                                    \
    (family).apply();                                                                              \
    return 1;                                                                                      \
  }                                                                                                \
  IGD1_API void Name##_on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {     \
    DBUS_LOG(LOG_LEVEL_INFO, "func [%s], line [%d]", __func__, __LINE__);                          \
    igd1::use_row_instances(#Name, Name##_add_interface, Name##_del_interface);                    \
    igd1::row_collection_start(k##Name##Rows, connection, &k##Name##ManagerVTable);                \
  }                                                                                                \
  IGD1_API void prefix##_export_new_object(uint32_t instance) { Name##_add_interface(instance); }  \
  IGD1_API void prefix##_unexport_object(uint32_t instance) { Name##_del_interface(instance); }    \
  IGD1_API int prefix##_dbus_proxy_list_improve(const void *record, int length) {                  \
    return igd1::timers::list_append(family, record, length);                                      \
  }                                                                                                \
  IGD1_API void prefix##_dbus_proxy_list_node_update(const void *record, int recordnum,            \
                                                     int length) {                                 \
    igd1::timers::list_update(family, record, recordnum, length);                                  \
  }                                                                                                \
  IGD1_API void prefix##_dbus_proxy_list_delete(int recordnum) {                                   \
    igd1::timers::list_delete(family, recordnum);                                                  \
  }                                                                                                \
  IGD1_API int prefix##_get_dbus_proxy_list_index(int recordnum, void **record) {                  \
    return igd1::timers::list_record(family, recordnum, record);                                   \
  }                                                                                                \
  IGD1_API int prefix##_get_idle_idx(uint32_t *instance) {                                         \
    return igd1::timers::idle_instance(family, instance);                                          \
  }
