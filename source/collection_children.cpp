// The collection engine's publishing: the manager and its children (below
// the manager, elsewhere, or following the service type), child paths,
// managers nested under rows, objects beside each row, and the start-up of
// a row collection.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "host_api.h"
#include "igd1_assert.h"
#include "single_object_engine.h"

namespace igd1 {

void collection_create_manager(const Collection &collection) {
  // A start on a new connection (tests start the host again) begins afresh.
  delete collection.state->outside;
  collection.state->outside = nullptr;
  collection.state->connection = nullptr;
  collection.state->manager = g_dbus_object_manager_server_new(collection.manager_path);
}

namespace {

// The parsed documents of the interface variants (the engine's, for the
// life of the process).
std::map<const InterfaceVariant *, GDBusNodeInfo *> &variant_nodes() {
  static auto *nodes = new std::map<const InterfaceVariant *, GDBusNodeInfo *>;
  return *nodes;
}

}  // namespace

void collection_load_interface(const Collection &collection) {
  GDBusNodeInfo *node = collection.xml_file != nullptr
                            ? dbus_proxy_readxml(collection.xml_file)
                            : g_dbus_node_info_new_for_xml(collection.builtin_xml, nullptr);
  // A host that starts again reads the document again; the previous one is
  // held by whatever registrations still use it.
  if (GDBusNodeInfo *previous = std::exchange(*collection.introspection_data, node))
    g_dbus_node_info_unref(previous);
  g_autofree gchar *missing = g_strdup_printf("%s != NULL", collection.introspection_name);
  igd1::fatal_unless(node != nullptr, missing);
  // Nested rows are described to the host by their outer collection.
  if (collection.nested_in == nullptr) dbus_proxy_node_info_reg(node);
  for (const InterfaceVariant &variant : child_variants(collection)) {
    GDBusNodeInfo *&parsed = variant_nodes()[&variant];
    if (parsed == nullptr) parsed = g_dbus_node_info_new_for_xml(variant.builtin_xml, nullptr);
    IGD1_ASSERT(parsed != nullptr && parsed->interfaces[0] != nullptr);
    dbus_proxy_node_info_reg(parsed);
  }
}

void collection_attach(const Collection &collection, GDBusConnection *connection,
                       const GDBusInterfaceVTable *manager_vtable) {
  collection.state->connection = connection;
  g_dbus_object_manager_server_set_connection_expand(collection.state->manager, connection,
                                                     manager_vtable, collection.state->manager);
}

std::span<const InterfaceVariant> child_variants(const Collection &collection) {
  if (collection.rows == nullptr) return {};
  return collection.rows->module.variants;
}

const char *child_prefix(const Collection &collection) {
  const char *declared =
      collection.rows != nullptr ? collection.rows->module.child_prefix : nullptr;
  return declared != nullptr ? declared : collection.manager_path;
}

std::string collection_child_path(const Collection &collection, ChildKey instance) {
  if (collection.nested_in != nullptr) {
    g_autofree gchar *path =
        g_strdup_printf("%s/%u/%s/%u", collection.manager_path, key_outer(instance),
                        collection.nested_in->suffix, key_inner(instance));
    return path;
  }
  return std::string(child_prefix(collection)) + "/" + std::to_string(key_outer(instance));
}

bool carries(const Collection &collection, ChildKey instance, const GDBusInterfaceInfo *info) {
  const auto chooser = collection.rows != nullptr ? collection.rows->module.carries : nullptr;
  return chooser == nullptr || chooser(key_outer(instance), info->name);
}

bool publishes_itself(const Collection &collection) {
  return collection.rows != nullptr && publishes_children_itself(collection.rows->module);
}

GDBusNodeInfo *current_node(const Collection &collection) {
  for (const InterfaceVariant &variant : child_variants(collection))
    if (serves_service_type(variant.when)) return variant_nodes().at(&variant);
  return *collection.introspection_data;
}

namespace {

GVariant *outside_child_interfaces(const Collection &collection, const char *path,
                                   ChildKey instance) {
  GVariantBuilder interfaces;
  g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (carries(collection, instance, *i))
      g_variant_builder_add(&interfaces, "{s@a{sv}}", (*i)->name,
                            child_properties(collection, collection.state->connection, path, *i, nullptr));
  return g_variant_builder_end(&interfaces);
}

void announce_on_manager(const Collection &collection, const char *member, GVariant *body) {
  g_autoptr(GError) error = nullptr;
  // On the host's connection of now: the one the collection started on may
  // have been replaced.
  g_dbus_connection_emit_signal(g_pIdg1_connection, nullptr, collection.manager_path,
                                "org.freedesktop.DBus.ObjectManager", member, body, &error);
  IGD1_ASSERT(error == nullptr || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED));
}

// The interface named as `declared` that the child at `path` serves now:
// the one of the current document, when the row carries it.  The
// `serving` of the children the engine publishes itself.
GDBusInterfaceInfo *child_serving(const void *declaration, GDBusInterfaceInfo *declared,
                                  const char *path) {
  const Collection &collection = *static_cast<const Collection *>(declaration);
  const ChildKey instance = child_instance(collection, path);
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (g_strcmp0((*i)->name, declared->name) == 0)
      return carries(collection, instance, *i) ? *i : nullptr;
  return nullptr;
}

// Every interface a child of `collection` may serve, each once: those of
// its document, then those only a document of another service type has.
std::vector<GDBusInterfaceInfo *> child_interfaces(const Collection &collection) {
  std::vector<GDBusInterfaceInfo *> interfaces;
  auto add_document = [&interfaces](GDBusNodeInfo *node) {
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
      if (std::none_of(interfaces.begin(), interfaces.end(), [i](GDBusInterfaceInfo *known) {
            return g_strcmp0(known->name, (*i)->name) == 0;
          }))
        interfaces.push_back(*i);
  };
  add_document(*collection.introspection_data);
  for (const InterfaceVariant &variant : child_variants(collection))
    add_document(variant_nodes().at(&variant));
  return interfaces;
}

// A child whose path is not below the manager's (or whose document follows
// the service type): registered here, announced on the manager path.
void export_outside(const Collection &collection, ChildKey instance) {
  CollectionState &state = *collection.state;
  if (state.connection == nullptr) return;
  if (state.outside == nullptr) state.outside = new std::set<ChildKey>;
  if (!state.outside->insert(instance).second) return;
  const std::string path = collection_child_path(collection, instance);
  const bool follows = !child_variants(collection).empty();
  for (GDBusInterfaceInfo *interface : child_interfaces(collection)) {
    if (!follows && !carries(collection, instance, interface)) continue;
    const guint id = publish_at_path(state.connection, path.c_str(),
                                     {.declared = interface,
                                      .vtable = collection.vtable,
                                      .user_data = nullptr,
                                      .serving = follows ? child_serving : nullptr,
                                      .declaration = &collection});
    IGD1_ASSERT(id > 0);
  }
  announce_on_manager(collection, "InterfacesAdded",
                      g_variant_new("(o@a{sa{sv}})", path.c_str(),
                                    outside_child_interfaces(collection, path.c_str(), instance)));
}

void unexport_outside(const Collection &collection, ChildKey instance) {
  CollectionState &state = *collection.state;
  if (state.outside == nullptr || state.connection == nullptr) return;
  if (state.outside->erase(instance) == 0) return;
  const std::string path = collection_child_path(collection, instance);
  withdraw_path(state.connection, path.c_str());
  GVariantBuilder names;
  g_variant_builder_init(&names, G_VARIANT_TYPE("as"));
  GDBusNodeInfo *node = current_node(collection);
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
    if (carries(collection, instance, *i)) g_variant_builder_add(&names, "s", (*i)->name);
  announce_on_manager(collection, "InterfacesRemoved",
                      g_variant_new("(o@as)", path.c_str(), g_variant_builder_end(&names)));
}

// The manager a child is exported on: the collection's, or for a nested
// row its outer row's.
GDBusObjectManagerServer *manager_of(const Collection &collection, ChildKey instance) {
  if (collection.nested_in != nullptr) return nested_manager(*collection.nested_in, key_outer(instance));
  return collection.state->manager;
}

}  // namespace

void collection_export_child(const Collection &collection, ChildKey instance) {
  if (publishes_itself(collection)) return export_outside(collection, instance);
  GDBusObjectManagerServer *manager = manager_of(collection, instance);
  if (manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  // A row announced twice (a callback for a row the start-up walk already
  // found) keeps its child as it is.
  if (GDBusObject *present = g_dbus_object_manager_get_object(
          G_DBUS_OBJECT_MANAGER(manager), path.c_str())) {
    g_object_unref(present);
    return;
  }
  GDBusObjectSkeleton *object = g_dbus_object_skeleton_new(path.c_str());
  GDBusNodeInfo *node = *collection.introspection_data;
  for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i) {
    if (!carries(collection, instance, *i)) continue;
    GDBusInterfaceSkeleton *interface = new_child_skeleton(collection, *i);
    g_dbus_object_skeleton_add_interface(object, interface);
    g_object_unref(interface);
  }
  dbus_proxy_object_export(manager, object);
  g_object_unref(object);
}

void collection_unexport_child(const Collection &collection, ChildKey instance) {
  if (publishes_itself(collection)) return unexport_outside(collection, instance);
  GDBusObjectManagerServer *manager = manager_of(collection, instance);
  if (manager == nullptr) return;
  std::string path = collection_child_path(collection, instance);
  dbus_proxy_object_unexport(manager, path.c_str());
}

// ---- paths ----

uint32_t parse_instance(std::string_view segment, uint32_t highest) {
  if (segment.empty() || segment.front() == '0') return 0;
  uint64_t number = 0;
  for (char c : segment) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + uint64_t(c - '0');
    if (number > highest) return 0;  // also ends long digit runs before they could wrap
  }
  return uint32_t(number);
}

uint32_t child_instance_of(std::string_view manager_path, const char *object_path,
                           uint32_t highest) {
  if (object_path == nullptr) return 0;
  std::string_view path(object_path);
  if (path.size() <= manager_path.size() + 1 || !path.starts_with(manager_path) ||
      path[manager_path.size()] != '/')
    return 0;
  return parse_instance(path.substr(manager_path.size() + 1), highest);
}

ChildKey child_instance(const Collection &collection, const char *object_path) {
  if (collection.nested_in != nullptr)
    return nested_child_key(collection.manager_path, collection.nested_in->suffix, object_path);
  return child_instance_of(child_prefix(collection), object_path, collection.max_instance);
}

ChildKey nested_child_key(std::string_view manager_path, std::string_view middle,
                          const char *object_path) {
  if (object_path == nullptr) return 0;
  std::string_view path(object_path);
  if (path.size() <= manager_path.size() + 1 || !path.starts_with(manager_path) ||
      path[manager_path.size()] != '/')
    return 0;
  path.remove_prefix(manager_path.size() + 1);
  const size_t slash = path.find('/');
  if (slash == std::string_view::npos) return 0;
  const uint32_t outer = parse_instance(path.substr(0, slash), UINT32_MAX);
  path.remove_prefix(slash + 1);
  if (outer == 0 || !path.starts_with(middle) || path.size() <= middle.size() + 1 ||
      path[middle.size()] != '/')
    return 0;
  const uint32_t inner = parse_instance(path.substr(middle.size() + 1), UINT32_MAX);
  return inner == 0 ? 0 : nested_key(outer, inner);
}

namespace {

// ---- objects beside the rows ----

// What the hooks of the object beside row `instance` at `path` are told.
CallContext sibling_context(const Sibling &sibling, const char *path, uint32_t instance,
                            CallKind kind) {
  return {.object_path = path, .instance = instance, .user_data = sibling.object->user_data,
          .kind = kind};
}

// Tells the module of a nested manager created or going.
void tell_nested(const NestedManagers &nested, const Collection &outer_collection, uint32_t outer,
                 const CollectionState::NestedManager &manager, CallKind kind) {
  auto hook = kind == CallKind::Export ? nested.exported : nested.unexported;
  if (hook == nullptr) return;
  const std::string path = collection_child_path(outer_collection, outer) + "/" + nested.suffix;
  hook({.object_path = path.c_str(), .instance = outer,
        .user_data = nested.object != nullptr ? nested.object->user_data : nullptr, .kind = kind},
       manager.manager, manager.object);
}

// The document is read again at each start (tests start the host again);
// registrations of an earlier start hold the interface they were made with.
void load_sibling_document(const RowCollection &rows) {
  const Sibling &sibling = *rows.module.sibling;
  CollectionState &state = *rows.collection.state;
  GDBusNodeInfo *node = load_described_document(*sibling.object, sibling.introspection_name);
  if (GDBusNodeInfo *previous = std::exchange(state.sibling_node, node))
    g_dbus_node_info_unref(previous);
  if (state.siblings != nullptr) state.siblings->clear();
}

std::string sibling_path(const RowCollection &rows, uint32_t instance) {
  return collection_child_path(rows.collection, instance) + "/" + rows.module.sibling->suffix;
}

void create_sibling(const RowCollection &rows, uint32_t instance) {
  const Sibling &sibling = *rows.module.sibling;
  CollectionState &state = *rows.collection.state;
  if (state.connection == nullptr) return;
  if (state.siblings == nullptr) state.siblings = new std::map<uint32_t, guint>;
  if (state.siblings->count(instance) != 0) return;
  const std::string path = sibling_path(rows, instance);
  const guint id = register_described_interface(*sibling.object, state.sibling_node->interfaces[0],
                                                state.connection, path.c_str(), instance);
  igd1::fatal_unless(id > 0, "registrationid > 0");
  (*state.siblings)[instance] = id;
  if (sibling.exported != nullptr)
    sibling.exported(sibling_context(sibling, path.c_str(), instance, CallKind::Export), id);
}

void destroy_sibling(const RowCollection &rows, uint32_t instance) {
  const Sibling &sibling = *rows.module.sibling;
  CollectionState &state = *rows.collection.state;
  if (state.siblings == nullptr) return;
  auto found = state.siblings->find(instance);
  if (found == state.siblings->end()) return;
  const guint id = found->second;
  state.siblings->erase(found);
  if (sibling.unexported != nullptr) {
    const std::string path = sibling_path(rows, instance);
    sibling.unexported(sibling_context(sibling, path.c_str(), instance, CallKind::Unexport), id);
  }
  dbus_proxy_object_unreg(state.connection, id);
}

}  // namespace

void row_collection_start(const RowCollection &rows, GDBusConnection *connection,
                          const GDBusInterfaceVTable *manager_vtable) {
  const RowTable &table = rows.module.table;
  // A text with a placeholder the engine does not supply is a defect of the module.
  const std::string faults = row_text_faults(rows.module, rows.collection.noun);
  igd1::fatal_unless(faults.empty(), faults.c_str());
  if (rows.module.sibling != nullptr) load_sibling_document(rows);
  // A reply kept for an earlier connection (tests start the host again) is stale.
  if (rows.module.listing_cache != nullptr) drop_listing(*rows.module.listing_cache);
  // What the module chooses now holds until its next start.
  const StartChoice &choice = make_start_choice(&rows.module, rows.module.choose);
  Collection &collection = rows.collection;
  collection.manager_path =
      choice.path != nullptr ? choice.path : rows.module.manager_path;
  collection.xml_file = choice.xml_file != nullptr ? choice.xml_file : rows.default_xml_file();
  collection.builtin_xml =
      choice.xml_file == nullptr && document_text(rows.module.xml) ? rows.module.xml : nullptr;
  collection_create_manager(rows.collection);
  collection_load_interface(rows.collection);
  std::vector<GDBusNodeInfo *> documents{*rows.collection.introspection_data};
  for (const InterfaceVariant &variant : rows.module.variants)
    documents.push_back(variant_nodes().at(&variant));
  for (GDBusNodeInfo *document : documents)
    for (GDBusInterfaceInfo **i = document->interfaces; *i != nullptr; ++i)
      mark_unannounced(*i, [&rows](const char *name) {
        return row_property_announced(rows.module, name);
      });
  // Rows nested under these rows: their document, and the store's pair
  // callbacks that export and remove their children.
  NestedManagers *const under_rows = managers_under_rows(rows.module);
  if (under_rows != nullptr && under_rows->inner != nullptr) {
    const RowCollection &inner = *under_rows->inner;
    collection_load_interface(inner.collection);
    for (GDBusInterfaceInfo **i = (*inner.collection.introspection_data)->interfaces; *i != nullptr;
         ++i)
      mark_unannounced(*i, [&inner](const char *name) {
        return row_property_announced(inner.module, name);
      });
    dbus_proxy_row_callbacks callbacks{};
    callbacks.shape = DBUS_PROXY_ROW_PAIR;
    callbacks.add_pair = inner.inner_entries.add;
    callbacks.del_pair = inner.inner_entries.del;
    callbacks.parent_offset = inner.module.table.inner.parent_offset;
    IGD1_ASSERT(dbus_proxy_row_callbacks_reg(inner.collection.noun, &callbacks) != 0);
  }
  // Children the engine registers itself, and managers nested under rows,
  // need the connection first: before the table is loaded, whose rows (a
  // first start's seed) may be reported at once, nested rows with them.
  // Nested managers of an earlier connection (tests start the host again)
  // are gone with it.
  const bool outside = publishes_children_itself(rows.module) || under_rows != nullptr ||
                       rows.module.sibling != nullptr;
  CollectionState &state = *rows.collection.state;
  if (state.nested_managers != nullptr) {
    for (const auto &[outer, nested] : *state.nested_managers)
      tell_nested(*under_rows, rows.collection, outer, nested, CallKind::Unexport);
    state.nested_managers->clear();
  }
  // A nested manager's interface without a document of its own text is
  // described by its object's file.
  if (NestedManagers *nested = under_rows;
      nested != nullptr && nested->object != nullptr && nested->object_xml == nullptr) {
    GDBusNodeInfo *node = load_described_document(*nested->object, nested->object->xml_file);
    if (GDBusNodeInfo *previous = std::exchange(nested->object_node, node))
      g_dbus_node_info_unref(previous);
  }
  auto attach = [&] {
    if (rows.module.add.kind != AddKind::None) {
      collection_attach(rows.collection, connection, manager_vtable);
    } else {
      rows.collection.state->connection = connection;
      g_dbus_object_manager_server_set_connection_expand(rows.collection.state->manager, connection, nullptr, nullptr);
    }
  };
  if (outside) attach();
  if (table.store->update_all != nullptr) table.store->update_all();
  // A stand-in row has no child.  The numbers are taken first: exporting a
  // row with nested rows reads the table again.
  const int stand_in = stand_in_position(table);
  std::vector<uint32_t> instances;
  each_row(rows.module, [&](const uint8_t *row, uint32_t index) {
    if (int(index) != stand_in) instances.push_back(instance_of(rows.module, row));
  });
  for (uint32_t instance : instances) row_export(rows, instance);
  if (!outside) attach();
  const ManagerInterface &own = rows.module.manager_interface;
  if (own.object != nullptr && own.xml != nullptr && !document_text(own.xml)) {
    GDBusNodeInfo *node = dbus_proxy_readxml(own.xml);
    g_autofree gchar *missing = g_strdup_printf("%s != NULL", rows.collection.introspection_name);
    igd1::fatal_unless(node != nullptr, missing);
    const guint id =
        register_described_node(*own.object, node, connection, rows.collection.manager_path);
    igd1::fatal_unless(id > 0, "registration_id > 0");
    g_dbus_node_info_unref(node);
  } else if (own.object != nullptr && own.xml == nullptr) {
    register_object_from_file(*own.object, connection);
  } else if (own.object != nullptr) {
    register_described_object(*own.object, own.xml, connection, rows.collection.manager_path);
  }
  if (rows.module.on != nullptr) {
    const CallContext started{.object_path = rows.collection.manager_path,
                              .user_data = rows.module.user_data};
    rows.module.on(started, RowStep::Started, nullptr, nullptr);
  }
}

GDBusObjectManagerServer *nested_manager(const NestedManagers &nested, uint32_t outer) {
  if (nested.outer == nullptr) return nullptr;
  const auto *managers = nested.outer->collection.state->nested_managers;
  if (managers == nullptr) return nullptr;
  auto found = managers->find(outer);
  return found != managers->end() ? found->second.manager : nullptr;
}

void nested_manager_add(const NestedManagers &nested, GDBusConnection *connection,
                        uint32_t outer, bool always_init) {
  if (nested.outer == nullptr || connection == nullptr) return;
  const RowCollection &rows = *nested.outer;
  FoundRow found;
  if (outer == 0 || !find_row(rows.module, outer, &found)) return;
  bool created = false;
  if (nested_manager(nested, outer) == nullptr) {
    auto *&managers = rows.collection.state->nested_managers;
    if (managers == nullptr) managers = new std::map<uint32_t, CollectionState::NestedManager>;
    const std::string path = collection_child_path(rows.collection, outer) + "/" + nested.suffix;
    GDBusObjectManagerServer *manager = g_dbus_object_manager_server_new(path.c_str());
    const GDBusInterfaceVTable *vtable =
        nested.manager_vtable != nullptr ? nested.manager_vtable
        : nested.inner != nullptr        ? nested.inner->manager_vtable
                                         : nullptr;
    g_dbus_object_manager_server_set_connection_expand(manager, connection, vtable, manager);
    const guint object =
        nested.object == nullptr ? 0
        : nested.object_node != nullptr
            ? register_described_node(*nested.object, nested.object_node, connection,
                                      path.c_str(), outer)
            : register_described_object(*nested.object, nested.object_xml, connection,
                                        path.c_str(), outer);
    (*managers)[outer] = {manager, object};
    tell_nested(nested, rows.collection, outer, (*managers)[outer], CallKind::Export);
    created = true;
  }
  if ((created || always_init) && nested.inner != nullptr &&
      nested.inner->module.table.inner.init != nullptr)
    nested.inner->module.table.inner.init(const_cast<uint8_t *>(found.data), outer);
}

void nested_manager_delete(const NestedManagers &nested, uint32_t outer) {
  GDBusObjectManagerServer *manager = nested_manager(nested, outer);
  if (manager == nullptr) return;
  CollectionState &state = *nested.outer->collection.state;
  tell_nested(nested, nested.outer->collection, outer, (*state.nested_managers)[outer],
              CallKind::Unexport);
  const guint object = (*state.nested_managers)[outer].object;
  state.nested_managers->erase(outer);
  if (object != 0) dbus_proxy_object_unreg(state.connection, object);
  // Detaching unregisters the manager and every child it published.
  g_dbus_object_manager_server_set_connection_expand(manager, nullptr, nullptr, nullptr);
  g_object_unref(manager);
}

void row_export(const RowCollection &rows, ChildKey instance) {
  const std::string path = collection_child_path(rows.collection, instance);
  const CallContext call{.object_path = path.c_str(), .instance = key_outer(instance),
                         .inner = key_inner(instance), .user_data = rows.module.user_data,
                         .kind = CallKind::Export};
  if (!module_logged(rows.module, call, RowEvent::Exported, rows.names.manager)) {
    COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "Add %s interface, index is %d ",
                   rows.collection.noun, int(instance));
    COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "object_path: %s", path.c_str());
  }
  collection_export_child(rows.collection, instance);
  if (NestedManagers *nested = managers_under_rows(rows.module))
    nested_manager_add(*nested, rows.collection.state->connection, instance, false);
  if (rows.module.sibling != nullptr) create_sibling(rows, instance);
  listing_changed(rows);
}

void row_unexport(const RowCollection &rows, ChildKey instance) {
  COLLECTION_LOG(LOG_LEVEL_INFO, rows.names.manager, "Delete %s interface, index is %d ",
                 rows.collection.noun, int(instance));
  if (rows.module.sibling != nullptr) destroy_sibling(rows, instance);
  if (NestedManagers *nested = managers_under_rows(rows.module))
    nested_manager_delete(*nested, instance);
  collection_unexport_child(rows.collection, instance);
  listing_changed(rows);
}

void row_reported(const RowCollection &rows, uint32_t instance, bool added) {
  if (added)
    row_export(rows, instance);
  else
    row_unexport(rows, instance);
}

int nested_row_export(const RowCollection &rows, uint32_t outer, uint32_t inner, bool add) {
  const RowModule &module = rows.module;
  const char *function = rows.names.manager;
  FoundRow found;
  if (outer == 0 || inner == 0 || !find_row(module, outer, &found)) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Invalid parameter path");
    return 0;
  }
  GDBusObjectManagerServer *manager = nested_manager(*nested_in(module), outer);
  if (manager == nullptr) {
    COLLECTION_LOG(LOG_LEVEL_ERROR, function, "Error to get manager object !!");
    return 0;
  }
  // A child already published (the store reports a manager's rows again
  // when it is brought up to date) stays as it is.
  const ChildKey key = nested_key(outer, inner);
  if (add)
    row_export(rows, key);
  else
    row_unexport(rows, key);
  return 1;
}

void use_row_instances(const char *table_module, int (*add)(uint32_t), int (*del)(uint32_t)) {
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_INSTANCE;
  callbacks.add_instance = add;
  callbacks.del_instance = del;
  IGD1_ASSERT(dbus_proxy_row_callbacks_reg(table_module, &callbacks) != 0);
}

void use_row_action(const char *table_module, int (*action)(unsigned int, int)) {
  dbus_proxy_row_callbacks callbacks{};
  callbacks.shape = DBUS_PROXY_ROW_ACTION;
  callbacks.row_action = action;
  IGD1_ASSERT(dbus_proxy_row_callbacks_reg(table_module, &callbacks) != 0);
}

}  // namespace igd1
