// Fatal assertions for programming faults and impossible start-up states.
// Always active (unlike g_assert): the message names the failed condition,
// then the process aborts.
#pragma once

#include <glib.h>

#define IGD1_ASSERT_TEXT(condition, text)                                                      \
  do {                                                                                         \
    if (G_UNLIKELY(!(condition)))                                                              \
      g_assertion_message_expr(G_LOG_DOMAIN, __FILE__, __LINE__, G_STRFUNC, (text));          \
  } while (0)

#define IGD1_ASSERT(condition) IGD1_ASSERT_TEXT(condition, #condition)
