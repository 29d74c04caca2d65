// Fatal assertions for programming faults and impossible start-up states.
// Always active (unlike g_assert): the message names the failed condition,
// then the process aborts.
#pragma once

#include <glib.h>

#include <source_location>

namespace igd1 {

// Aborts with `text` (what should have held) and where it was checked,
// unless `condition` holds.
inline void fatal_unless(bool condition, const char *text, const char *domain = G_LOG_DOMAIN,
                         std::source_location where = std::source_location::current()) {
  if (G_LIKELY(condition)) return;
  g_assertion_message_expr(domain, where.file_name(), int(where.line()), where.function_name(),
                           text);
}

}  // namespace igd1

#define IGD1_ASSERT(condition) igd1::fatal_unless((condition), #condition)
