// Management actions of the remote-management agent on the configuration's
// parameter tree.  A parameter is "Device." followed by a setting name
// ("Device.dhcpserver.LeaseTime") or by a table, a row and a column
// ("Device.portmapping.3.ExternalPort"); a name ending in "." is an object
// and names everything below it.  Values travel as text in the store's own
// form; passwords read as "".  Every action is recorded under MIB_CFG_CWMP
// with its name.
#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mib_actions.h"
#include "mib_internal.h"
#include "mib_services.h"
#include "mib_store.h"

namespace {

using igd1::mib::TableDef;

constexpr std::string_view kRoot = "Device.";
enum Action { kAddObject, kDeleteObject, kSetValues, kGetValues, kGetNames };
constexpr const char *kActionNames[] = {"AddObject", "DeleteObject", "SetParameterValues",
                                        "GetParameterValues", "GetParameterNames"};

bool secret(std::string_view name) {
  for (std::string_view end : {"Password", "Passwd", "Pwd"})
    if (name.size() >= end.size() && name.substr(name.size() - end.size()) == end) return true;
  return false;
}

// A parameter name below the root, without it; nullopt for another root.
std::optional<std::string_view> below_root(std::string_view name) {
  if (name.substr(0, kRoot.size()) != kRoot) return std::nullopt;
  return name.substr(kRoot.size());
}

// A table cell "table.instance.Column".
struct Cell {
  const TableDef *table;
  igd1::mib::RowKey key;
  std::string column;
};

std::optional<Cell> parse_cell(std::string_view name) {
  const size_t first = name.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = name.find('.', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const TableDef *table = igd1::mib::find_table(name.substr(0, first));
  const auto key = igd1::mib::parse_key_text(name.substr(first + 1, second - first - 1));
  if (table == nullptr || !key || table->parent_offset != 0) return std::nullopt;
  return Cell{table, *key, std::string(name.substr(second + 1))};
}

// Every leaf below the root with its current value.
std::vector<std::pair<std::string, std::string>> all_leaves() {
  std::vector<std::pair<std::string, std::string>> leaves;
  for (auto &[name, value] : igd1::mib::all_settings()) {
    if (igd1::mib::default_item(name) == nullptr) continue;
    leaves.emplace_back(std::string(kRoot) + name, secret(name) ? "" : value);
  }
  for (const TableDef *table : igd1::mib::registered_tables()) {
    if (table->parent_offset != 0) continue;
    for (const std::vector<uint8_t> &row : igd1::mib::table_rows(*table)) {
      const auto key = igd1::mib::row_key_of(*table, row.data());
      for (size_t c = 0; c < table->column_count; ++c) {
        const igd1::mib::Column &column = table->columns[c];
        const std::string name = std::string(kRoot) + table->name + "." +
                                 igd1::mib::key_text(key) + "." + column.name;
        const std::string value =
            secret(column.name)
                ? ""
                : igd1::mib::get_cell(table->name, key, column.name).value_or("");
        leaves.emplace_back(name, value);
      }
    }
  }
  return leaves;
}

GVariant *get_values(GVariant *parameters) {
  g_autoptr(GVariant) names = g_variant_get_child_value(parameters, 0);
  const auto leaves = all_leaves();
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(ss)"));
  GVariantIter iter;
  g_variant_iter_init(&iter, names);
  const gchar *name = nullptr;
  while (g_variant_iter_next(&iter, "&s", &name)) {
    const std::string_view wanted = name;
    const bool object = !wanted.empty() && wanted.back() == '.';
    bool found = false;
    for (const auto &[leaf, value] : leaves) {
      if (object ? leaf.compare(0, wanted.size(), wanted) != 0 : leaf != wanted) continue;
      g_variant_builder_add(&builder, "(ss)", leaf.c_str(), value.c_str());
      found = true;
    }
    if (!found) {
      g_variant_builder_clear(&builder);
      return nullptr;
    }
  }
  return g_variant_new("(a(ss))", &builder);
}

bool set_one(std::string_view name, const char *value) {
  const auto local = below_root(name);
  if (!local) return false;
  if (const igd1::mib::Item *item = igd1::mib::default_item(*local)) {
    std::vector<uint8_t> check(item->size);
    return igd1::mib::parse_value(item->kind, value, check.data(), check.size()) &&
           igd1::mib::set_setting(*local, value);
  }
  const auto cell = parse_cell(*local);
  return cell && igd1::mib::set_cell(cell->table->name, cell->key, cell->column, value);
}

GVariant *set_values(GVariant *parameters) {
  g_autoptr(GVariant) list = g_variant_get_child_value(parameters, 0);
  const bool stored = igd1::mib::run_in_transaction([&list] {
    GVariantIter iter;
    g_variant_iter_init(&iter, list);
    const gchar *name = nullptr, *value = nullptr;
    while (g_variant_iter_next(&iter, "(&s&s)", &name, &value))
      if (!set_one(name, value)) return false;
    return true;
  });
  return stored ? g_variant_new("(i)", 0) : nullptr;
}

GVariant *get_names(GVariant *parameters) {
  const gchar *path = nullptr;
  gboolean next_level = FALSE;
  g_variant_get(parameters, "(&sb)", &path, &next_level);
  std::string_view prefix = path;
  if (prefix.empty()) prefix = kRoot;
  const bool object = prefix.back() == '.';
  std::set<std::string> objects;
  std::vector<std::pair<std::string, bool>> names;
  for (const auto &[leaf, value] : all_leaves()) {
    if (!object) {
      if (leaf == prefix) names.emplace_back(leaf, true);
      continue;
    }
    if (leaf.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t dot = leaf.find('.', prefix.size());
    if (!next_level || dot == std::string::npos) {
      names.emplace_back(leaf, true);
      if (!next_level) continue;
    }
    if (dot != std::string::npos && objects.insert(leaf.substr(0, dot + 1)).second)
      names.emplace_back(leaf.substr(0, dot + 1), false);
  }
  if (names.empty()) return nullptr;
  std::sort(names.begin(), names.end());
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(sb)"));
  for (const auto &[name, writable] : names)
    g_variant_builder_add(&builder, "(sb)", name.c_str(), gboolean(writable));
  return g_variant_new("(a(sb))", &builder);
}

// "table." for AddObject, "table.instance." for DeleteObject.
GVariant *add_or_delete(Action action, GVariant *parameters) {
  const gchar *path = nullptr;
  g_variant_get(parameters, "(&s)", &path);
  auto local = below_root(path);
  if (!local || local->empty() || local->back() != '.') return nullptr;
  local->remove_suffix(1);
  if (action == kAddObject) {
    const TableDef *table = igd1::mib::find_table(*local);
    if (table == nullptr || table->parent_offset != 0) return nullptr;
    std::vector<uint8_t> row(table->row_size, 0);
    if (!igd1::mib::table_insert(*table, row.data())) return nullptr;
    const auto key = igd1::mib::row_key_of(*table, row.data());
    return g_variant_new("(ui)", igd1::mib::key_instance(key), 0);
  }
  const size_t dot = local->rfind('.');
  if (dot == std::string_view::npos) return nullptr;
  const TableDef *table = igd1::mib::find_table(local->substr(0, dot));
  const auto key = igd1::mib::parse_key_text(local->substr(dot + 1));
  if (table == nullptr || !key || !igd1::mib::table_remove(*table, *key)) return nullptr;
  return g_variant_new("(i)", 0);
}

// A change of the tree is recorded under the action's name.
GVariant *recorded(Action action, GVariant *answer) {
  if (answer != nullptr)
    igd1::mib::detail::append_journal_entry(MIB_CFG_CWMP, 255, kActionNames[action]);
  return answer;
}

constexpr igd1::mib::Action kActions[] = {
    {kAddObject, "(s)",
     [](GVariant *p, GError **) { return recorded(kAddObject, add_or_delete(kAddObject, p)); }},
    {kDeleteObject, "(s)",
     [](GVariant *p, GError **) { return recorded(kDeleteObject, add_or_delete(kDeleteObject, p)); }},
    {kSetValues, "(a(ss))", [](GVariant *p, GError **) { return recorded(kSetValues, set_values(p)); }},
    {kGetValues, "(as)", [](GVariant *p, GError **) { return get_values(p); }},
    {kGetNames, "(sb)", [](GVariant *p, GError **) { return get_names(p); }},
};
constexpr igd1::mib::Actions kDispatcher("CWMP_handle_action", kActions);

}  // namespace

int CWMP_handle_action(int code, GVariant *parameters, GVariant **result) {
  return kDispatcher.handle(uint32_t(code), parameters, result);
}
