// The collection engine's listings: the properties of a child in one read
// of its row, GetManagedObjects built in process, filtered, or kept between
// changes.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "collection_engine.h"
#include "dbus_proxy_api.h"
#include "host_api.h"
#include "single_object.h"

namespace igd1 {
namespace {

bool readable(const GDBusPropertyInfo *property) {
  return (property->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE) != 0;
}

GVariant *dict_entry(const char *name, GVariant *value) {
  return g_variant_new_dict_entry(g_variant_new_string(name), g_variant_new_variant(value));
}

// The readable properties of one interface document that a table holds, in
// the document's order, each with its name as a bus value.  Resolved once
// per document and table, so that a listing neither searches the table nor
// copies a name for every child.  The document is referenced while it is
// known here, so that no other document can take its address; one that only
// this list still holds (its module started again) is let go.
struct ListedProperty {
  const RowProperty *property;
  GVariant *name;
};
struct ListedInterface {
  const RowModule *module;
  GDBusInterfaceInfo *info;
  std::vector<ListedProperty> properties;
};

std::mutex g_listed_mutex;
std::vector<std::unique_ptr<ListedInterface>> g_listed;

void release(ListedInterface &listed) {
  for (const ListedProperty &entry : listed.properties) g_variant_unref(entry.name);
  g_dbus_interface_info_unref(listed.info);
}

const ListedInterface &listed_interface(const RowModule &module, const GDBusInterfaceInfo *info) {
  std::lock_guard lock(g_listed_mutex);
  for (const auto &listed : g_listed)
    if (listed->module == &module && listed->info == info) return *listed;
  std::erase_if(g_listed, [](const std::unique_ptr<ListedInterface> &listed) {
    if (g_atomic_int_get(&listed->info->ref_count) != 1) return false;
    release(*listed);
    return true;
  });
  auto listed = std::make_unique<ListedInterface>();
  listed->module = &module;
  listed->info = g_dbus_interface_info_ref(const_cast<GDBusInterfaceInfo *>(info));
  for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
    const RowProperty *property = find_row_property(module.properties, (*p)->name);
    if (readable(*p) && property != nullptr)
      listed->properties.push_back({property, g_variant_ref_sink(g_variant_new_string((*p)->name))});
  }
  g_listed.push_back(std::move(listed));
  return *g_listed.back();
}

// Every readable property of `info` that the row's table holds, read from
// the record `row`, as an a{sv} value.
// A property that cannot be read is left out.
GVariant *row_dictionary(const RowModule &module, const GDBusInterfaceInfo *info,
                         const uint8_t *row, CallContext call) {
  const ListedInterface &listed = listed_interface(module, info);
  std::vector<GVariant *> entries;
  entries.reserve(listed.properties.size());
  for (const ListedProperty &entry : listed.properties) {
    g_autoptr(GError) error = nullptr;
    call.error = &error;
    if (GVariant *value = read_row_property(module, *entry.property, row, call))
      entries.push_back(g_variant_new_dict_entry(entry.name, g_variant_new_variant(value)));
  }
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries.data(), entries.size());
}

}  // namespace

// Every readable property of one interface of a child, as an a{sv} value.
// A row's properties are read from one look-up of the row, as a Get of
// each would read them; other children ask their vtable for each.
GVariant *child_properties(const Collection &collection, GDBusConnection *connection,
                           const char *path, const GDBusInterfaceInfo *info, gpointer user_data) {
  if (collection.rows != nullptr) {
    const RowModule &module = collection.rows->module;
    const ChildKey instance = child_instance(collection, path);
    FoundRow found;
    if (instance != 0 && find_row(module, instance, &found)) {
      refresh_found(module, &found);
      return row_dictionary(module, info, found.data,
                            row_context(module, path, instance, found.index, CallKind::GetAll));
    }
    return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
  }
  std::vector<GVariant *> entries;
  auto add = [&](const char *name, GVariant *value) { entries.push_back(dict_entry(name, value)); };
  {
    for (GDBusPropertyInfo **p = info->properties; p != nullptr && *p != nullptr; ++p) {
      if (!readable(*p)) continue;
      GVariant *value = collection.vtable->get_property(connection, nullptr, path, info->name,
                                                        (*p)->name, nullptr, user_data);
      if (value != nullptr) add((*p)->name, value);
    }
  }
  return g_variant_new_array(G_VARIANT_TYPE("{sv}"), entries.data(), entries.size());
}

bool row_exported(const RowCollection &rows, ChildKey instance) {
  const CollectionState &state = *rows.collection.state;
  if (publishes_itself(rows.collection))
    return state.outside != nullptr && state.outside->count(instance) != 0;
  if (state.manager == nullptr) return false;
  const std::string path = collection_child_path(rows.collection, instance);
  GDBusObject *object =
      g_dbus_object_manager_get_object(G_DBUS_OBJECT_MANAGER(state.manager), path.c_str());
  if (object == nullptr) return false;
  g_object_unref(object);
  return true;
}

GVariant *row_listing(const RowCollection &rows, bool (*keep)(const uint8_t *row)) {
  const RowModule &module = rows.module;
  const Collection &collection = rows.collection;
  GDBusNodeInfo *node = current_node(collection);
  std::vector<GVariant *> objects;
  const bool refresh = module.table.refresh_row != nullptr;
  std::vector<uint8_t> refreshed;
  collection.state->listing = true;
  // One walk of the table: every record comes from the same view of it.
  each_row(module, [&](const uint8_t *stored, uint32_t index) {
    const uint8_t *row = stored;
    if (refresh) {
      refreshed.assign(stored, stored + module.table.store->row_size);
      module.table.refresh_row(refreshed.data());
      row = refreshed.data();
    }
    if (keep != nullptr && !keep(row)) return;
    const uint32_t instance = instance_of(module, row);
    if (!row_exported(rows, instance)) return;
    const std::string path = collection_child_path(collection, instance);
    const CallContext call = row_context(module, path.c_str(), instance, index, CallKind::GetAll);
    std::vector<GVariant *> interfaces;
    for (GDBusInterfaceInfo **i = node->interfaces; i != nullptr && *i != nullptr; ++i)
      if (carries(collection, instance, *i))
        interfaces.push_back(g_variant_new_dict_entry(g_variant_new_string((*i)->name),
                                                      row_dictionary(module, *i, row, call)));
    objects.push_back(g_variant_new_dict_entry(
        g_variant_new_object_path(path.c_str()),
        g_variant_new_array(G_VARIANT_TYPE("{sa{sv}}"), interfaces.data(), interfaces.size())));
  });
  collection.state->listing = false;
  return g_variant_new_array(G_VARIANT_TYPE("{oa{sa{sv}}}"), objects.data(), objects.size());
}

namespace {

GVariant *build_listing_reply(const RowCollection &rows) {
  return g_variant_ref_sink(g_variant_new("(@a{oa{sa{sv}}})", row_managed_objects(rows)));
}

}  // namespace

uint64_t drop_listing(ListingCache &cache) {
  GVariant *dropped = nullptr;
  uint64_t generation = 0;
  {
    std::lock_guard lock(cache.mutex);
    dropped = cache.reply;
    cache.reply = nullptr;
    generation = ++cache.generation;
  }
  if (dropped != nullptr) g_variant_unref(dropped);
  return generation;
}

namespace {

// The table's commit count (0 for a table that does not count them).
uint64_t commit_count_of(const RowModule &module) {
  const ListingCache *cache = module.listing_cache;
  return cache != nullptr && cache->commits != nullptr ? cache->commits() : 0;
}

// What a reply shows: the service type and the table's commit count when
// its build began (a commit during the build makes it stale at once).
struct ListingBasis {
  int service_type;
  uint64_t commit_count;
};

ListingBasis listing_basis(const RowModule &module) {
  return {dbus_proxy_get_service_type(), commit_count_of(module)};
}

// Keeps `reply`, built on `basis`, unless the table changed since
// `generation` was taken.
void keep_listing(ListingCache &cache, GVariant *reply, uint64_t generation, ListingBasis basis) {
  std::lock_guard lock(cache.mutex);
  if (cache.generation != generation || cache.reply != nullptr) return;
  cache.reply = g_variant_ref(reply);
  cache.service_type = basis.service_type;
  cache.commit_count = basis.commit_count;
}

gboolean rebuild_listing(gpointer data) {
  const RowCollection &rows = *static_cast<const RowCollection *>(data);
  ListingCache &cache = *rows.module.listing_cache;
  uint64_t generation = 0;
  {
    std::lock_guard lock(cache.mutex);
    cache.rebuild_queued = false;
    // Dropped without a new build asked for since: nothing is to be kept.
    if (cache.reply != nullptr || cache.generation != cache.queued_generation)
      return G_SOURCE_REMOVE;
    generation = cache.generation;
  }
  const ListingBasis basis = listing_basis(rows.module);
  GVariant *reply = build_listing_reply(rows);
  keep_listing(cache, reply, generation, basis);
  g_variant_unref(reply);
  return G_SOURCE_REMOVE;
}

// Builds a new reply on the main loop once it is idle; several requests
// before then make one build.
void queue_listing_build(const RowCollection &rows) {
  ListingCache &cache = *rows.module.listing_cache;
  {
    std::lock_guard lock(cache.mutex);
    cache.queued_generation = cache.generation;
    if (cache.rebuild_queued) return;
    cache.rebuild_queued = true;
  }
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, rebuild_listing, const_cast<RowCollection *>(&rows),
                  nullptr);
}

}  // namespace

void listing_changed(const RowCollection &rows) {
  if (rows.module.listing_cache == nullptr) return;
  drop_listing(*rows.module.listing_cache);
  queue_listing_build(rows);
}

GVariant *row_listing_refresh(const RowCollection &rows, bool keep) {
  ListingCache *cache = rows.module.listing_cache;
  if (cache == nullptr) return nullptr;
  const uint64_t generation = drop_listing(*cache);
  if (!keep) return nullptr;
  if (!g_main_context_is_owner(g_main_context_default())) {
    queue_listing_build(rows);
    return nullptr;
  }
  const ListingBasis basis = listing_basis(rows.module);
  GVariant *reply = build_listing_reply(rows);
  keep_listing(*cache, reply, generation, basis);
  return reply;
}

bool row_listing_underway(const RowCollection &rows) { return rows.collection.state->listing; }

GVariant *row_managed_objects(const RowCollection &rows) {
  if (rows.module.listing_cache != nullptr || publishes_itself(rows.collection))
    return row_listing(rows, nullptr);
  GVariantBuilder objects;
  g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  GDBusObjectManagerServer *manager = rows.collection.state->manager;
  GList *list = manager != nullptr
                    ? g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(manager))
                    : nullptr;
  for (GList *o = list; o != nullptr; o = o->next) {
    GDBusObject *object = G_DBUS_OBJECT(o->data);
    GVariantBuilder interfaces;
    g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
    GList *skeletons = g_dbus_object_get_interfaces(object);
    for (GList *i = skeletons; i != nullptr; i = i->next) {
      GDBusInterfaceSkeleton *skeleton = G_DBUS_INTERFACE_SKELETON(i->data);
      g_variant_builder_add(&interfaces, "{s@a{sv}}",
                            g_dbus_interface_skeleton_get_info(skeleton)->name,
                            g_dbus_interface_skeleton_get_properties(skeleton));
    }
    g_list_free_full(skeletons, g_object_unref);
    g_variant_builder_add(&objects, "{o@a{sa{sv}}}", g_dbus_object_get_object_path(object),
                          g_variant_builder_end(&interfaces));
  }
  g_list_free_full(list, g_object_unref);
  return g_variant_builder_end(&objects);
}

void row_answer_managed_objects(const RowCollection &rows, GDBusMethodInvocation *invocation) {
  ListingCache *cache = rows.module.listing_cache;
  GVariant *reply = nullptr;
  if (cache != nullptr) {
    // A reply of another service type shows the other form of the children;
    // one built before the table's last commit shows an older table.
    const ListingBasis now = listing_basis(rows.module);
    std::lock_guard lock(cache->mutex);
    if (cache->reply != nullptr && cache->service_type == now.service_type &&
        cache->commit_count == now.commit_count)
      reply = g_variant_ref(cache->reply);
  }
  // A table that counts its commits tells when a reply goes stale: the one
  // built for this call is kept.  Without the count a reply is kept only
  // when the module asks for it (it is told of other processes' writes).
  if (reply == nullptr && cache != nullptr && cache->commits != nullptr)
    reply = row_listing_refresh(rows, true);
  if (reply == nullptr) reply = build_listing_reply(rows);
  g_dbus_method_invocation_return_value(invocation, reply);
  g_variant_unref(reply);
}

}  // namespace igd1
