// Logging and the small helpers shared by every unit of the module library.
#pragma once

#include <stdint.h>

#include <glib.h>

#include "igd1_export.h"

// Module, level and category codes of sys_log.
enum {
  LOG_MODULE_DBUS = 5,
  LOG_CATEGORY_DEBUG = 255,
};
enum {
  LOG_LEVEL_EMERGENCY = 0,
  LOG_LEVEL_ALERT = 1,
  LOG_LEVEL_CRITICAL = 2,
  LOG_LEVEL_ERROR = 3,
  LOG_LEVEL_WARN = 4,
  LOG_LEVEL_INFO = 5,
  LOG_LEVEL_DETAIL = 6,
  LOG_LEVEL_DEBUG = 7,
};

// Initial value of the routing mask: levels 4 to 6 to the log file only.
#define DBUS_PROXY_DBG_DEFAULT 0x0000FFF0u
// The log file is emptied when it grows past this many bytes.
#define SYS_LOG_FILE_CAP 1024000L

// One formatted line as it is handed to the log-file writer.
typedef struct {
  int32_t module;
  int32_t level;
  int32_t category;
  char text[256];
} sys_log_record;

// Routing mask: each 4-bit group enables one level (7, 6, 5, 4) on one
// destination; bits 0-15 the file, bits 16-31 standard output.
IGD1_API uint32_t gui_dbusProxyDbg;

IGD1_API int sys_log(int module, int level, int category, const char *file, int line,
                     const char *function, const char *format, ...) G_GNUC_PRINTF(7, 8);

// Closes the log stream so that the next line opens the log file afresh
// (under the current root, truncating it).  Used when the root changes.
// Lines logged before the call are written to the old file first.
IGD1_API void sys_log_reopen(void);

// Returns once every line logged before the call is in the log file (lines
// reach the file through a writer thread).
IGD1_API void sys_log_flush(void);

// While muted (non-zero) no line goes anywhere, whatever its level: for a
// program that runs the library's checks without being the daemon whose log
// it would otherwise write.
IGD1_API void sys_log_mute(int muted);

// Current local time as "%F %T"; the buffer belongs to the calling thread.
IGD1_API char *get_date(void);

// Text of a TR-069 fault code into `buffer` (at least 44 bytes).
IGD1_API char *geterrdesc(int code, char *buffer);

// 1 when every character is a decimal digit (an empty text included), else -1.
IGD1_API int is_DigitalString(const char *text);

// A time of day as clients write it: "H:MM" or "HH:MM", at most 5
// characters, one or two digits each side of the colon, hour 0 to
// `max_hour` and minute 0 to 59.  True with *hour and *minute set.
IGD1_API bool parse_clock_time(const char *text, int max_hour, int *hour, int *minute);

// Instance key of an object path: numeric segments packed byte by byte.
IGD1_API uint32_t get_index_from_str(const char *object_path);

// Number that follows "/key/" in `path`, or 0.
IGD1_API uint32_t getInstNum(const char *path, const char *key);

IGD1_API int code_convert(const char *to_charset, const char *from_charset, char *inbuf,
                          int *inlen, char *outbuf, int *outlen);
IGD1_API int u2g(char *inbuf, int *inlen, char *outbuf, int *outlen);
IGD1_API int g2u(char *inbuf, int *inlen, char *outbuf, int *outlen);

// Logs for this library: module DBUS, category DEBUG, caller's position.
#define DBUS_LOG(level, ...) \
  sys_log(LOG_MODULE_DBUS, (level), LOG_CATEGORY_DEBUG, __FILE__, __LINE__, __func__, __VA_ARGS__)
