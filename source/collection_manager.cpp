// The collection engine's manager operations: AddObject, DeleteObject and
// RemoveAllObjects, and their refusals.
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "single_object.h"

namespace igd1 {
namespace {

// The row a DeleteObject's path names, looked up at most once per call: the
// module's hook and the removal see the same row.
class NamedRow {
 public:
  NamedRow(const RowCollection &rows, const char *path) : rows_(rows), path_(path) {}
  ChildKey key() {
    resolve();
    return key_;
  }
  // The row, or nullptr when no row has the path.
  const FoundRow *found() {
    resolve();
    return held_ ? &found_ : nullptr;
  }

 private:
  void resolve() {
    if (resolved_) return;
    resolved_ = true;
    key_ = path_ != nullptr ? child_instance(rows_.collection, path_) : 0;
    held_ = key_ != 0 && find_row(rows_.module, key_, &found_);
  }
  const RowCollection &rows_;
  const char *path_;
  bool resolved_ = false;
  ChildKey key_ = 0;
  bool held_ = false;
  FoundRow found_;
};

// A refusal of AddObject or DeleteObject.
void refuse_call(const RowModule &module, const char *function, const char *text,
                 GDBusMethodInvocation *invocation) {
  COLLECTION_LOG(LOG_LEVEL_WARN, function, "%s", text);
  if (module.add.error_name != nullptr)
    g_dbus_method_invocation_return_dbus_error(invocation, module.add.error_name, text);
  else
    g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_INVALID_ARGS, text);
}

// Self kind: the lowest instance number no row carries, from 1 to
// `max_instance`, into `row`; false with the call answered when the table
// takes no more rows.
bool choose_number(const RowCollection &rows, const std::string &failed, uint8_t *row,
                   GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  std::vector<bool> taken(module.max_instance + 1, false);
  uint32_t count = 0;
  const auto take = [&](uint32_t number) {
    ++count;
    if (number <= module.max_instance) taken[number] = true;
  };
  if (module.table.store->instance_at != nullptr) {
    const int rows = module.table.store->row_count();
    for (int position = 0; position < rows; ++position) {
      uint32_t number = 0;
      if (module.table.store->instance_at(uint32_t(position), &number) != 0) take(number);
    }
  } else {
    each_row(module, [&](const uint8_t *stored, uint32_t) { take(instance_of(module, stored)); });
  }
  uint32_t free_number = 0;
  for (uint32_t n = 1; n <= module.max_instance && free_number == 0; ++n)
    if (!taken[n]) free_number = n;
  const bool full = module.add.max_rows != 0 ? count >= module.add.max_rows : free_number == 0;
  if (full || free_number == 0) {
    const char *table_full = row_text(module, RowText::TableFull);
    const char *text = full && table_full != nullptr ? table_full : failed.c_str();
    const CallContext call{.object_path = g_dbus_method_invocation_get_object_path(invocation),
                           .user_data = module.user_data};
    if (full || !module_logged(module, call, RowEvent::NoNumber, rows.names.manager))
      COLLECTION_LOG(LOG_LEVEL_WARN, rows.names.manager, "%s", text);
    return_manager_error(invocation, "%s", text);
    return false;
  }
  set_instance(module, free_number, row);
  return true;
}

// The outer row number of a nested manager's path "<manager>/<outer>/<suffix>",
// or 0.
uint32_t nested_manager_number(const Collection &collection, const char *path) {
  std::string_view rest(path != nullptr ? path : "");
  const std::string_view base(collection.manager_path);
  const std::string_view suffix(collection.nested_in->suffix);
  if (!rest.starts_with(base) || rest.size() <= base.size() + 1 || rest[base.size()] != '/')
    return 0;
  rest.remove_prefix(base.size() + 1);
  if (!rest.ends_with(suffix) || rest.size() <= suffix.size() + 1 ||
      rest[rest.size() - suffix.size() - 1] != '/')
    return 0;
  return parse_instance(rest.substr(0, rest.size() - suffix.size() - 1), UINT32_MAX);
}

// AddObject on a nested manager: a new inner row under the outer row the
// manager belongs to; the store's pair callback exports its child.
void add_inner_object(const RowCollection &rows, const char *manager_path,
                      GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const std::string failed =
      noun_text(row_text(module, RowText::AddFailed), "Add %s object fail !!",
                rows.collection.noun);
  const uint32_t outer = nested_manager_number(rows.collection, manager_path);
  FoundRow found;
  if (outer == 0 || !find_row(module, outer, &found)) {
    const char *add_path = row_text(module, RowText::AddPath);
    const char *text = add_path != nullptr ? add_path : failed.c_str();
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s, path %s", text, manager_path);
    return return_manager_error(invocation, "%s", text);
  }
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  uint32_t inner = 0;
  if (module.table.inner.insert(const_cast<uint8_t *>(found.data), outer, &inner) == 0 ||
      inner == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", failed.c_str());
    return return_manager_error(invocation, "%s", failed.c_str());
  }
  if (!transaction.commit(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  g_autofree gchar *path = g_strdup_printf("%s/%u", manager_path, inner);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Add %s object success, object path %s",
                 rows.collection.noun, path);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path));
}

// A manager method answered by the module's own handler with `context`.
void run_manager_hook(const RowModule &module, const CallContext &context,
                      const char *method_name, GVariant *parameters,
                      GDBusMethodInvocation *invocation) {
  dispatch_method(module.methods, context, kObjectManagerError, method_name, parameters,
                  invocation);
}

void add_object(const RowCollection &rows, const char *manager_path, const char *method_name,
                GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s], line [%d],method_name:%s", function,
                 __LINE__, method_name);
  const std::string failed =
      noun_text(row_text(module, RowText::AddFailed), "Add %s object fail !!", noun);
  if (manager_method(module, method_name) != nullptr) {
    const CallContext context{.object_path = manager_path, .user_data = module.user_data};
    return run_manager_hook(module, context, method_name, nullptr, invocation);
  }
  if (module.add.kind == AddKind::Refuse)
    return refuse_call(module, function, failed.c_str(), invocation);
  if (nested_in(module) != nullptr) return add_inner_object(rows, manager_path, invocation);
  // Taking the stand-in out, the insert and the save stand or fall
  // together: a refused insert leaves the table as it was.
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  CallContext call{.object_path = manager_path, .user_data = module.user_data};
  auto refuse = [&](bool logged) {
    if (!logged) COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s", failed.c_str());
    return_manager_error(invocation, "%s", failed.c_str());
  };
  if (stand_in_position(module.table) >= 0 && module.table.stand_in.remove() == 0)
    return refuse(false);
  std::vector<uint8_t> row(module.table.store->row_size, 0);
  if (module.add.kind == AddKind::Self && !choose_number(rows, failed, row.data(), invocation))
    return;
  if (module.add.kind == AddKind::Insert && module.add.max_rows != 0) {
    uint32_t count = 0;
    each_row(module, [&count](const uint8_t *, uint32_t) { ++count; });
    if (count >= module.add.max_rows) {
      const char *table_full = row_text(module, RowText::TableFull);
      const char *full = table_full != nullptr ? table_full : failed.c_str();
      COLLECTION_LOG(LOG_LEVEL_WARN, function, "%s", full);
      return return_manager_error(invocation, "%s", full);
    }
  }
  if (!own_or(module.table.insert_entry, module.table.store->insert_entry)(row.data()))
    return refuse(module_logged(module, call, RowEvent::AddRefused, function));
  const auto save = own_or(module.table.save_mib, module.table.store->save_mib);
  if (save != nullptr && save() == 0) return refuse(false);
  if (!transaction.commit(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  const uint32_t instance = instance_of(module, row.data());
  if (module.add.kind == AddKind::Self) row_export(rows, instance);
  // The new row's nested manager takes calls as soon as the caller has the
  // reply, even when the row callback reaches the loop later.
  if (NestedManagers *nested = managers_under_rows(module))
    nested_manager_add(*nested, g_dbus_method_invocation_get_connection(invocation), instance,
                       false);
  std::string path = collection_child_path(rows.collection, instance);
  call.object_path = path.c_str();
  call.instance = instance;
  if (!module_logged(module, call, RowEvent::Added, function))
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "Add %s object success, object path %s", noun,
                   path.c_str());
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
}

// DeleteObject on a nested manager: only a child of this very manager, with
// its outer row present, names an inner row to remove.
void delete_inner_object(const RowCollection &rows, const char *manager_path, const char *path,
                         GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *last = std::strrchr(path, '/');
  const bool own = last != nullptr && std::string_view(path, size_t(last - path)) == manager_path;
  const ChildKey key = own ? child_instance(rows.collection, path) : 0;
  FoundRow found;
  if (key == 0 || !find_row(module, key, &found)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "object path %s is error", path);
    return g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError,
                                                      row_text(module, RowText::DeletePath));
  }
  std::vector<uint8_t> outer_row(found.data, found.data + module.table.store->row_size);
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  if (!transaction.began(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  auto *stored = const_cast<uint8_t *>(found.data);
  if (module.table.inner.remove(stored, key_outer(key), key_inner(key)) == 0) {
    const std::string failed =
        noun_text(row_text(module, RowText::DeleteFailed), "Delete %s Object error !!",
                  rows.collection.noun);
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "%s, object path %s", failed.c_str(), path);
    return g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError,
                                                      failed.c_str());
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Delete %s Object success, object path %s!!",
                 rows.collection.noun, path);
  if (module.on != nullptr)
    module.on(row_context(module, path, key, found.index, CallKind::Method), RowStep::Deleted,
              outer_row.data(), nullptr);
  if (!transaction.commit(&error)) return g_dbus_method_invocation_return_gerror(invocation, error);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void delete_object(const RowCollection &rows, const char *manager_path, const char *path,
                   NamedRow &named, GVariant *parameters, GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  const char *noun = rows.collection.noun;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "DeleteObject, path_name %s", path);
  if (const char *refused = row_text(module, RowText::DeleteRefused); refused != nullptr)
    return refuse_call(module, function, refused, invocation);
  if (nested_in(module) != nullptr)
    return delete_inner_object(rows, manager_path, path, invocation);
  if (manager_method(module, "DeleteObject") != nullptr) {
    const FoundRow *found = named.found();
    const CallContext context = row_context(module, path, named.key(),
                                            found != nullptr ? found->index : 0, CallKind::Method);
    return run_manager_hook(module, context, "DeleteObject", parameters, invocation);
  }

  // Every way out replies and logs the end.
  auto finish_with_error = [&](const std::string &message) {
    g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError, message.c_str());
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  };
  const ChildKey instance = named.key();
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "object path %s is error", path);
    return finish_with_error(row_text(module, RowText::DeletePath));
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "delete index is %d", int(instance));
  const FoundRow *found = named.found();
  if (found == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                   int(instance));
    return finish_with_error(row_text(module, RowText::DeletePath));
  }
  const uint32_t index = found->index;
  std::vector<uint8_t> removed(found->data, found->data + module.table.store->row_size);
  // The removal, what it applies and saves and a stand-in put back stand or
  // fall together.
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  auto finish_with_store_error = [&] {
    g_dbus_method_invocation_return_gerror(invocation, error);
    COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  };
  if (!transaction.began(&error)) return finish_with_store_error();
  if (!own_or(module.table.remove_entry, module.table.store->remove_entry)(index, found->node)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Delete %s Object error, object path %s!!", noun,
                   path);
    return finish_with_error(
        noun_text(row_text(module, RowText::DeleteFailed), "Delete %s Object error !!", noun));
  }
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "Delete %s Object success, object path %s!!", noun,
                 path);
  if (module.on != nullptr)
    module.on(row_context(module, path, instance, index, CallKind::Method), RowStep::Deleted,
              removed.data(), nullptr);
  // A conformance run checks the bus behaviour only: the table is not saved.
  const auto save = own_or(module.table.save_mib, module.table.store->save_mib);
  if (save != nullptr && !check_dbus_cts_running()) save();
  if (module.table.stand_in.add != nullptr) {
    uint32_t left = 0;
    each_row(module, [&left](const uint8_t *, uint32_t) { ++left; });
    if (left == 0) module.table.stand_in.add();
  }
  if (!transaction.commit(&error)) return finish_with_store_error();
  if (module.add.kind == AddKind::Self) row_unexport(rows, instance);
  g_dbus_method_invocation_return_value(invocation, nullptr);
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
}

}  // namespace

void return_manager_error(GDBusMethodInvocation *invocation, const char *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *message = g_strdup_vprintf(format, args);
  va_end(args);
  g_dbus_method_invocation_return_dbus_error(invocation, kObjectManagerError, message);
}

namespace {

// The module's verdict on AddObject or DeleteObject (its `on` hook); false
// once the call was answered with the refusal.  DeleteObject's step
// (`deleted`: the row its path names) learns that row, if any.
bool module_allows(const RowCollection &rows, const char *manager_path, const char *method_name,
                   GVariant *parameters, NamedRow *deleted, GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  g_autoptr(GError) error = nullptr;
  CallContext context{.object_path = manager_path, .user_data = module.user_data,
                      .error = &error};
  if (const FoundRow *found = deleted != nullptr ? deleted->found() : nullptr) {
    context.instance = key_outer(deleted->key());
    context.inner = key_inner(deleted->key());
    context.index = found->index;
  }
  if (module.on(context, deleted != nullptr ? RowStep::DeleteObject : RowStep::AddObject, nullptr,
                parameters) == Begin::Apply)
    return true;
  COLLECTION_LOG(LOG_LEVEL_WARN, rows.names.manager, "%s refused: %s", method_name,
                 error != nullptr ? error->message : "");
  if (error == nullptr) {
    return_manager_error(invocation, "%s refused", method_name);
  } else if (g_dbus_error_is_remote_error(error)) {
    // An error the hook named itself goes out under that name, with its text as given.
    g_autofree gchar *name = g_dbus_error_get_remote_error(error);
    g_dbus_error_strip_remote_error(error);
    g_dbus_method_invocation_return_dbus_error(invocation, name, error->message);
  } else {
    g_dbus_method_invocation_return_gerror(invocation, error);
  }
  return false;
}

}  // namespace

void row_manager_call(const RowCollection &rows, const char *manager_path,
                      const char *method_name, GVariant *parameters,
                      GDBusMethodInvocation *invocation) {
  const bool adds = g_strcmp0(method_name, "AddObject") == 0;
  const bool deletes = g_strcmp0(method_name, "DeleteObject") == 0;
  // Other methods are not answered here; the host answers them as unknown.
  if (!adds && !deletes) return;
  const char *path = nullptr;
  if (deletes && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(o)")))
    g_variant_get(parameters, "(&o)", &path);
  NamedRow named(rows, path);
  if (rows.module.on != nullptr && !module_allows(rows, manager_path, method_name, parameters,
                                                  deletes ? &named : nullptr, invocation))
    return;
  if (adds) return add_object(rows, manager_path, method_name, invocation);
  delete_object(rows, manager_path, path, named, parameters, invocation);
}

void row_remove_all(const RowCollection &rows, const char *object_path, const char *,
                    const char *method_name, GVariant *parameters,
                    GDBusMethodInvocation *invocation) {
  const RowModule &module = rows.module;
  const CallContext context{.object_path = object_path, .user_data = module.user_data};
  if (manager_method(module, method_name) != nullptr)
    return run_manager_hook(module, context, method_name, parameters, invocation);
  // The table removes its rows; their children leave through the row callbacks.
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "func [%s], line [%d],method_name:%s",
                 rows.names.manager, __LINE__, method_name);
  StoreTransaction transaction;
  g_autoptr(GError) error = nullptr;
  const auto save = own_or(module.table.save_mib, module.table.store->save_mib);
  if (!transaction.began(&error) || module.table.store->remove_all() == 0 ||
      (save != nullptr && save() == 0) ||
      !transaction.commit(&error)) {
    if (error != nullptr) return g_dbus_method_invocation_return_gerror(invocation, error);
    return return_manager_error(invocation, "RemoveAllObjects %s fail", rows.collection.noun);
  }
  listing_changed(rows);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

}  // namespace igd1
