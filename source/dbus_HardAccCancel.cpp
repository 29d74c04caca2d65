// Hardware-acceleration cancel.  Two objects:
//   * /com/wqx/igd1/HardAccCancel (the path its file names), the feature's
//     switch `Enable`, the rule count and limit, and the flushes of
//     accelerated flows;
//   * the object manager /com/wqx/igd1/Config/HardAccCancel, whose rules are
//     published below the feature's object, at /com/wqx/igd1/HardAccCancel/N.
// Every call of this part of the configuration library returns 0 on success
// (a new rule's number excepted); the adapters below turn that round for the
// engine.  A changed rule is stored, announced and saved; so is a changed
// switch or limit.
#include "hardacc.h"

#include "mib_filters.h"

namespace {

using igd1::Field;

// ---- the feature's object --------------------------------------------------------

int width_of(int item) { return item == 1 ? 1 : 4; }

int read_setting(int item, void *buffer) {
  return HardAccCancelManager_get_mib_property(item, buffer, width_of(item)) == 0 ? 1 : 0;
}

int write_setting(int item, void *value) {
  return HardAccCancelManager_set_mib_property(item, value, width_of(item)) == 0 ? 1 : 0;
}

// The stored switch and limit take effect, then the table is saved.
bool commit_settings(const igd1::CallContext &call, const igd1::SingleObject &, const igd1::WriteFlags &flags) {
  if (!flags.changed) return true;
  if (HardAccCancelManager_update_entry() != 0) {
    g_set_error_literal(call.error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                        "HardAccCancelManager_update_entry fail");
    return false;
  }
  HardAccCancel_save_mib();
  return true;
}

void flush_entry(const igd1::PendingCall &call, GVariant *parameters) {
  const gchar *src = nullptr, *dest = nullptr, *protocol = nullptr;
  guint32 src_port = 0, dest_port = 0;
  g_variant_get(parameters, "(&su&su&s)", &src, &src_port, &dest, &dest_port, &protocol);
  const int result = HardAccCancel_handle_flush_flow(src, src_port, dest, dest_port, protocol);
  call.reply(g_variant_new("(us)", guint32(result), ""));
}

void flush_all(const igd1::PendingCall &call, GVariant *) {
  call.reply(g_variant_new("(us)", guint32(HardAccCancel_handle_flush_all_flow()), ""));
}

constexpr igd1::Method kFlushes[] = {
    {.name = "FlushHardAccEntry", .handler = flush_entry},
    {.name = "FlushHardAccAll", .handler = flush_all},
};

constexpr igd1::Property setting(const char *name, const char *type, int index, igd1::Raw raw,
                                 bool writable, igd1::Stored stored = igd1::Stored::Byte) {
  return {.name = name, .type = type, .index = index, .raw = raw,
          .on_failure = igd1::OnFailure::Error, .failure_log = "invalid value of %s",
          .failure_error = "invalid value of %s",
          .write = writable ? igd1::store_value : nullptr, .stored = stored,
          .write_log = writable ? "set value %d" : nullptr};
}

constexpr igd1::Property kSettings[] = {
    setting("Enable", "b", 1, igd1::Raw::U8, true),
    setting("HACancelListNumber", "u", 2, igd1::Raw::U32, false),
    setting("HACancelMaxNumber", "u", 3, igd1::Raw::U32, true, igd1::Stored::U32),
};

constexpr igd1::SingleObject kFeature = {
    .path = nullptr,
    .xml_file = "HardAccCancelManager.xml",
    .properties = kSettings,
    .get = read_setting,
    .set = write_setting,
    .transaction = {.commit = commit_settings},
    .methods = kFlushes,
};
const igd1::PublishObject kFeaturePublished(kFeature);

// ---- rules ------------------------------------------------------------------------

constexpr igd1::RowProperty text_item(const char *name, int item, uint16_t size) {
  return {.name = name, .field = Field::Item, .size = size, .write_log = "set value %s",
          .item = item};
}

constexpr igd1::RowProperty port(const char *name, uint16_t offset) {
  return {.name = name, .type = "u", .field = Field::Number, .offset = offset, .size = 4,
          .write_log = "set value %d", .max = 65535};
}

constexpr igd1::RowProperty kRuleProperties[] = {
    text_item("Index", 1, 33),
    {.name = "Enable", .type = "b", .field = Field::Flag, .offset = 4, .write_log = "set value %d"},
    text_item("SrcAddress", 3, HARDACC_ADDRESS_SIZE),
    port("SrcPort", 8),
    text_item("DestAddress", 5, HARDACC_ADDRESS_SIZE),
    port("DestPort", 12),
    text_item("Protocol", 7, 8),
};

constexpr char kInvalidValue[] = "invalid value of %s";


// The module's own wording of the engine's texts.
const char *wording(igd1::RowText text) {
  using enum igd1::RowText;
  switch (text) {
    case GetNoRow: return "func [%s] :invalid list num  %d";
    case SetNoRow: return "invalid list num  %d";
    case ReadFailed: return kInvalidValue;
    case CurrentFailed: return kInvalidValue;
    case InvalidValue: return kInvalidValue;
    case CommitFailed: return "HardAccCancel_update_entry fail (%s)";
    case ItemSetFailed: return kInvalidValue;
    default: return nullptr;
  }
}

constexpr igd1::RowModule kRules = {
    .manager_path = "/com/wqx/igd1/Config/HardAccCancel",
    .properties = kRuleProperties,
    .table = {.store = &HardAccCancel_table},
    .texts = {.wording = wording},
    .announce = igd1::Announce::Always,
    .child_prefix = "/com/wqx/igd1/HardAccCancel",
    .manager_interface = {.object = &kFeature},
    // A changed rule is saved at once, within the write's transaction.
    .on = igd1::at_step<igd1::RowStep::Committed, HardAccCancel_save_mib>,
};

}  // namespace

IGD1_ROW_COLLECTION(HardAccCancel, HardAccCancel_introspection_data, "HardAccCancel",
                    HardAccCancel_handle_get_property, HardAccCancel_handle_set_property,
                    HardAccCancel_handle_set_multi_properties, HardAccCancel_handle_object_mng_call,
                    kRules, HardAccCancel)
