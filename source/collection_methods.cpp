// The collection engine's methods of children: dispatch with the row's
// context, and the list methods that edit a list property of the row.
#include <cstring>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "single_object.h"

namespace igd1 {

void row_method_call(const RowCollection &rows, const char *object_path,
                     const char *interface_name, const char *method_name, GVariant *parameters,
                     GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const ChildKey instance = child_instance(rows.collection, object_path);
  FoundRow row;
  if (instance == 0 || !find_row(module, instance, &row)) {
    GError *error = nullptr;
    set_invalid_text(&error, row_text(module, RowText::SetInvalidPath), {.path = object_path},
                     object_path);
    g_dbus_method_invocation_take_error(invocation, error);
    return;
  }
  const CallContext context =
      row_context(module, object_path, instance, row.index, CallKind::Method);
  // The manager's methods in the table are not the children's.
  const std::span<const Method> methods =
      manager_method_name(method_name) ? std::span<const Method>() : module.methods;
  dispatch_method(methods, context, interface_name, method_name, parameters, invocation, nullptr);
}

namespace {

// The entries of a stored list text (empty text: none).
GStrv split_list(const RowProperty &property, const uint8_t *row) {
  g_autofree gchar *text = g_strndup(reinterpret_cast<const char *>(row + property.offset),
                                     property.size);
  return text[0] == '\0' ? g_new0(gchar *, 1) : g_strsplit(text, ";", -1);
}

}  // namespace

void row_edit_list(const RowCollection &rows, const ListMethods &lists, ListEdit edit,
                   const PendingCall &call, GVariant *parameters) {
  const RowModule &module = rows.module;
  const CallContext &context = call.context();
  guint32 type = 0;
  g_autofree const gchar **entries = nullptr;
  g_variant_get(parameters, "(u^a&s)", &type, &entries);
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "func [%s], type %u, %u entries",
                 call.method(), type, g_strv_length(const_cast<gchar **>(entries)));
  auto invalid = [&] {
    call.reply(g_variant_new("(us)", G_MAXUINT32, lists.invalid_text));
  };
  auto unchanged = [&] { call.reply(g_variant_new("(us)", 0u, "")); };
  const RowProperty *property =
      type < lists.lists.size() ? find_row_property(module.properties, lists.lists[type]) : nullptr;
  FoundRow found;
  if (property == nullptr || property->field != Field::List) return invalid();
  if (!find_row(module, context.instance, &found)) return invalid();
  WorkingCopy copy(module, found.data);
  if (copy.data() == nullptr) return invalid();
  g_auto(GStrv) list = split_list(*property, copy.data());
  const bool was_empty = list[0] == nullptr;
  g_auto(GStrv) touched = nullptr;
  gchar **given = const_cast<gchar **>(entries);
  const int count = edit == ListEdit::Merge ? dbus_proxy_strvmerge(&list, given, &touched)
                                            : dbus_proxy_strvslice(&list, given, &touched);
  if (count < 0 || uint32_t(count) > lists.max_entries) return invalid();
  g_autofree gchar *joined = g_strjoinv(";", list);
  const char *stored = reinterpret_cast<const char *>(copy.data() + property->offset);
  // A list that does not fit its field is not stored, like an unchanged one.
  if (std::strncmp(joined, stored, property->size) == 0 || std::strlen(joined) >= property->size)
    return unchanged();
  std::memset(copy.data() + property->offset, 0, property->size);
  std::memcpy(copy.data() + property->offset, joined, std::strlen(joined));
  const int flag = !was_empty && list[0] != nullptr ? 1 : 0;
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  const char *reason = nullptr;
  if (!transaction.began(&error) ||
      own_or(module.table.update_entry, module.table.store->update_entry)(copy.data(), found.index, &reason, flag) == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, rows.names.manager, "%s %s", lists.commit_failed,
                   reason != nullptr ? reason : "");
    return void(call.fail_named(lists.error_name, lists.commit_failed));
  }
  if (flag != 0 && touched != nullptr && touched[0] != nullptr && lists.handle_action != nullptr)
    lists.handle_action(int(type), int(edit), touched);
  const auto save = own_or(module.table.save_mib, module.table.store->save_mib);
  if (save != nullptr) save();
  if (!transaction.commit(&error)) return void(call.fail_named(lists.error_name, lists.commit_failed));
  listing_changed(rows);
  unchanged();
}

}  // namespace igd1
