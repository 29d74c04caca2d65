// The collection engine's row model: finding a row by its child's number,
// the working copy of a write, its commit and announcement.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "host_api.h"
#include "single_object.h"

namespace igd1 {
namespace {

// A row text: the instance number, after the handler's name when the text
// names it; a text without a number names the object path.
void set_row_error(GError **error, const char *format, const char *function, uint32_t instance,
                   const char *object_path) {
  const bool names = std::strstr(format, "%s") != nullptr;
  if (std::strstr(format, "%d") == nullptr)
    set_invalid_args(error, format, object_path);
  else if (names)
    set_invalid_args(error, format, function, int(instance));
  else
    set_invalid_args(error, format, int(instance));
}

void set_failed(GError **error, const std::string &message) {
  g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, message.c_str());
}

std::vector<const RowCollection *> &collections() {
  static std::vector<const RowCollection *> *list = new std::vector<const RowCollection *>;
  return *list;
}

void log_no_row(const RowModule &module, const char *function, const char *object_path,
                uint32_t instance, CallKind kind) {
  const CallContext call{.object_path = object_path, .instance = instance,
                         .user_data = module.user_data, .kind = kind};
  if (!module_logged(module, call, RowEvent::NoRow, function))
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s] :invalid list num  %d ", function,
                   int(instance));
}

// Stores a changed working copy; every result is checked.
bool commit_row(const RowModule &module, uint8_t *copy, uint32_t index, const char *object_path,
                GError **error) {
  const char *reason = nullptr;
  if (own_or(module.table.update_entry, module.table.store->update_entry)(copy, index, &reason, 0) !=
      0)
    return true;
  // A store that is damaged or out of room says so rather than the module's
  // refusal text.
  if (const char *failure = mib_store_failure()) {
    g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, failure);
    return false;
  }
  // The text names the store's reason, or with {path} the row's path.
  const std::string text = text_for(row_text(module, RowText::CommitFailed), {.path = object_path},
                                    reason != nullptr ? reason : "");
  const char *message = text.c_str();
  if (module.commit_error != nullptr && error != nullptr) {
    // A name GDBus knows maps to its own error domain; its message then
    // needs no name prefix to reach the caller as given.
    g_dbus_error_set_dbus_error(error, module.commit_error, message, nullptr);
    if (!g_error_matches(*error, G_IO_ERROR, G_IO_ERROR_DBUS_ERROR))
      g_dbus_error_strip_remote_error(*error);
  } else
    g_set_error_literal(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, message);
  return false;
}

}  // namespace

uint32_t instance_of(const RowModule &module, const void *row) {
  const mib_table_ops &table = *module.table.store;
  if (table.instance_of != nullptr) return table.instance_of(row);
  uint32_t instance = 0;
  std::memcpy(&instance, static_cast<const uint8_t *>(row) + table.instance_offset,
              table.instance_size);  // little-endian host
  return instance;
}

void set_instance(const RowModule &module, uint32_t instance, uint8_t *row) {
  const mib_table_ops &table = *module.table.store;
  std::memcpy(row + table.instance_offset, &instance, table.instance_size);
}

mib_list_node *first_row(const mib_table_ops &table) {
  return table.get_list_by_instnum(0, nullptr);
}


// The row a child number names: its own, or for a nested row its outer row.
uint32_t outer_number(const RowModule &module, ChildKey instance) {
  return nested_in(module) != nullptr ? key_outer(instance) : uint32_t(instance);
}
uint32_t inner_number(const RowModule &module, ChildKey instance) {
  return nested_in(module) != nullptr ? key_inner(instance) : 0;
}

CallContext row_context(const RowModule &module, const char *path, ChildKey instance,
                        uint32_t index, CallKind kind, GError **error) {
  return {.object_path = path, .instance = outer_number(module, instance), .index = index,
          .inner = inner_number(module, instance), .user_data = module.user_data, .kind = kind,
          .error = error};
}

bool find_row(const RowModule &module, ChildKey key, FoundRow *found) {
  const uint32_t instance = outer_number(module, key);
  const mib_table_ops &table = *module.table.store;
  if (table.row_at == nullptr) {
    found->node = table.get_list_by_instnum(instance, &found->index);
    found->data = found->node != nullptr ? static_cast<const uint8_t *>(found->node->data) : nullptr;
    return found->data != nullptr;
  }
  found->copy.resize(table.row_size);
  if (table.find_instance != nullptr) {
    if (table.find_instance(instance, &found->index, found->copy.data()) != 0 &&
        instance_of(module, found->copy.data()) == instance) {
      found->data = found->copy.data();
      return true;
    }
    found->copy.clear();
    return false;
  }
  // Rows reached by position are read one at a time into the found copy,
  // up to the wanted one.
  const int count = table.row_count();
  for (int position = 0; position < count; ++position) {
    std::fill(found->copy.begin(), found->copy.end(), 0);
    if (table.row_at(uint32_t(position), found->copy.data()) == 0 ||
        instance_of(module, found->copy.data()) != instance)
      continue;
    found->index = uint32_t(position);
    found->data = found->copy.data();
    return true;
  }
  found->copy.clear();
  return false;
}

// Brings the live fields of a found row up to date before it is read.
void refresh_found(const RowModule &module, FoundRow *found) {
  if (module.table.refresh_row == nullptr) return;
  uint8_t *row = found->node != nullptr ? static_cast<uint8_t *>(found->node->data)
                                        : found->copy.data();
  module.table.refresh_row(row);
}

int stand_in_position(const RowTable &table) {
  return table.stand_in.position != nullptr ? table.stand_in.position() : -1;
}

// Whether a change of `property` is announced now.
bool announces(const RowModule &module, const RowProperty &property) {
  return announce_allowed(property.announce != Announce::AsModule ? property.announce
                                                                  : module.announce);
}

std::string noun_text(const char *text, const char *fallback, const char *noun) {
  if (text != nullptr) return text;
  g_autofree gchar *formatted = g_strdup_printf(fallback, noun);
  return formatted;
}


RowCollection::RowCollection(const RowModule &row_module, const char *name,
                             GDBusNodeInfo **introspection_data, const char *introspection_name,
                             const GDBusInterfaceVTable *vtable, CollectionState *state,
                             RowHandlerNames handler_names,
                             const GDBusInterfaceVTable *row_manager_vtable)
    : type_name_(std::string("ComWqxIgd1") + name + "Interface"),
      xml_file_(row_module.xml != nullptr && !document_text(row_module.xml)
                    ? row_module.xml
                    : std::string(name) + ".xml"),
      module(row_module),
      collection{.noun = name,
                 .manager_path = row_module.manager_path,
                 .type_name = type_name_.c_str(),
                 .xml_file = document_text(row_module.xml) ? nullptr : xml_file_.c_str(),
                 .builtin_xml = document_text(row_module.xml) ? row_module.xml : nullptr,
                 .introspection_data = introspection_data,
                 .introspection_name = introspection_name,
                 .vtable = vtable,
                 .state = state,
                 .max_instance = row_module.max_instance,
                 .rows = this,
                 .nested_in = nested_in(row_module)},
      names(handler_names),
      manager_vtable(row_manager_vtable) {
  if (NestedManagers *nested = managers_under_rows(row_module)) nested->outer = this;
  if (NestedManagers *nested = nested_in(row_module)) nested->inner = this;
  collections().push_back(this);
  // The object beside the rows is checked against its file like any other.
  if (row_module.sibling != nullptr) PublishObject published(*row_module.sibling->object);
}

std::span<const RowCollection *const> published_collections() { return collections(); }

GVariant *row_get_property(const RowCollection &rows, const char *object_path,
                           const char *property_name, GError **error) {
  const RowModule &module = rows.module;
  const char *function = rows.names.get;
  COLLECTION_LOG(LOG_LEVEL_DEBUG, function, "func [%s], line [%d],property_name:%s", function,
                 __LINE__, property_name);
  const ChildKey instance = child_instance(rows.collection, object_path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function,
                   "func [%s], line [%d], get object path error invalid object path %s", function,
                   __LINE__, object_path);
    set_invalid_text(error, row_text(module, RowText::GetInvalidPath), {.path = object_path},
                     object_path);
    return nullptr;
  }
  FoundRow found;
  if (!find_row(module, instance, &found)) {
    log_no_row(module, function, object_path, outer_number(module, instance), CallKind::Get);
    set_row_error(error, row_text(module, RowText::GetNoRow), function,
                  outer_number(module, instance), object_path);
    return nullptr;
  }
  const RowProperty *property = find_row_property(module.properties, property_name);
  if (property == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s], line [%d], invalid property %s",
                   function, __LINE__, property_name);
    set_invalid_text(error, row_text(module, RowText::ReadProperty),
                     {.name = property_name, .path = object_path,
                      .instance = outer_number(module, instance)},
                     property_name);
    return nullptr;
  }
  refresh_found(module, &found);
  // GDBus serves a GetAll by reading each property without a place for an
  // error (a property it cannot read is left out): such a read is the
  // GetAll's, and a hook may give the value a GetAll lists instead.
  const CallKind kind = error == nullptr ? CallKind::GetAll : CallKind::Get;
  return read_row_property(module, *property, found.data,
                           row_context(module, object_path, instance, found.index, kind, error));
}

gboolean row_write(const RowCollection &rows, const char *function, GDBusConnection *connection,
                   const char *object_path, const char *interface_name, GVariant *entries,
                   GError **error, bool multi) {
  const RowModule &module = rows.module;
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s],object_path:%s", function, object_path);
  const ChildKey instance = child_instance(rows.collection, object_path);
  if (instance == 0) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function,
                   "func [%s], line [%d], get object path error invalid object path %s", function,
                   __LINE__, object_path);
    set_invalid_text(error, row_text(module, RowText::SetInvalidPath), {.path = object_path},
                     object_path);
    return FALSE;
  }
  FoundRow found;
  if (!find_row(module, instance, &found)) {
    log_no_row(module, function, object_path, outer_number(module, instance),
               multi ? CallKind::SetMulti : CallKind::Set);
    set_row_error(error, row_text(module, RowText::SetNoRow), function,
                  outer_number(module, instance), object_path);
    return FALSE;
  }
  const uint32_t index = found.index;
  const CallContext call = row_context(module, object_path, instance, index,
                                       multi ? CallKind::SetMulti : CallKind::Set);
  if (module.on != nullptr) {
    CallContext begin_call = call;
    begin_call.error = error;
    const Begin begin = module.on(begin_call, RowStep::Write, found.data, nullptr);
    if (begin == Begin::Ignore)
      COLLECTION_LOG(LOG_LEVEL_INFO, function, "func [%s]: %s ignored", function, object_path);
    if (begin != Begin::Apply) return begin == Begin::Ignore;
  }
  WorkingCopy copy(module, found.data);
  if (copy.data() == nullptr) {
    set_failed(error, text_for(row_text(module, RowText::CommitFailed), {.path = object_path},
                               "no working copy"));
    return FALSE;
  }
  bool any_change = false;
  std::vector<const RowProperty *> announced;
  auto apply = [&](const char *name, GVariant *value, GVariant *, GError **entry_error) {
    bool changed = false;
    CallContext entry_call = call;
    entry_call.error = entry_error;
    if (!apply_row_property(module, entry_call, name, value, copy.data(), &changed)) return false;
    any_change = any_change || changed;
    const RowProperty *property = changed ? find_row_property(module.properties, name) : nullptr;
    if (property != nullptr && announces(module, *property) &&
        std::find(announced.begin(), announced.end(), property) == announced.end())
      announced.push_back(property);
    return true;
  };
  // Unless the module continues past a refused entry of a multi-write, the
  // copy is all or nothing: a refused entry ends the call before anything is stored.
  g_autoptr(GError) skipped = nullptr;
  if (!walk_entries(function, LOG_LEVEL_INFO, entries,
                    multi && holds(module.writes, RowWrites::SkipRefused) ? MultiFailure::Continue
                                                                          : MultiFailure::Stop,
                    apply, &skipped, error))
    return FALSE;
  if (skipped != nullptr)
    COLLECTION_LOG(LOG_LEVEL_WARN, function, "func [%s]: entry skipped: %s", function,
                   skipped->message);
  // Values the table works out when the row is stored, as they were before.
  std::vector<std::pair<const RowProperty *, OwnedValue>> derived;
  for (const RowProperty &property : module.properties)
    if (worked_out_by_table(property) && any_change && announces(module, property))
      derived.emplace_back(&property, owned(read_row_property(module, property, copy.data(), call)));
  auto announce = [&] {
    ChangeList changes;
    for (const RowProperty *property : announced) {
      OwnedValue value = owned(read_row_property(module, *property, copy.data(), call));
      if (!value) continue;
      if (property->announced != nullptr)
        if (GVariant *transformed = property->announced(value.get())) value = owned(transformed);
      changes.add(property->name, value.get());
    }
    FoundRow stored;
    if (!derived.empty() && find_row(module, instance, &stored)) {
      for (auto &[property, before] : derived) {
        OwnedValue now = owned(read_row_property(module, *property, stored.data, call));
        if (now && (!before || !g_variant_equal(before.get(), now.get())))
          changes.add(property->name, now.get());
      }
    }
    if (changes.empty()) return;
    emit_changes(connection, object_path, interface_name, std::move(changes));
  };

  if (any_change || holds(module.writes, RowWrites::CommitUnchanged)) {
    // The row and what follows its commit stand or fall together.
    StoreTransaction transaction;
    if (!transaction.began(error)) return FALSE;
    if (!commit_row(module, copy.data(), index, object_path, error)) {
      COLLECTION_LOG(LOG_LEVEL_ERROR, function, "func [%s]: row %d not stored", function,
                     int(instance));
      return FALSE;
    }
    if (module.on != nullptr) {
      CallContext committed = call;
      committed.error = error;
      if (module.on(committed, RowStep::Committed, copy.data(), nullptr) != Begin::Apply)
        return FALSE;
    }
    if (!transaction.commit(error)) return FALSE;
    listing_changed(rows);
  }
  // Announced once the store took the row: a refused commit announces nothing.
  announce();
  COLLECTION_LOG(LOG_LEVEL_INFO, function, "out of func [%s]", function);
  return TRUE;
}


GVariant *single_entry(const char *name, GVariant *value) {
  GVariantBuilder entry;
  g_variant_builder_init(&entry, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&entry, "{sv}", name, value);
  return g_variant_ref_sink(g_variant_builder_end(&entry));
}

}  // namespace igd1
