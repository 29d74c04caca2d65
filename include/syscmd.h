// The system command object: device commands, line registration, passwords
// and uploads at /com/wqx/igd1/Ovatrix/System.
#pragma once

#include <gio/gio.h>
#include <stdint.h>

#include "single_object.h"

// Monotonic-clock time at which the last RegisterLOID started.
typedef struct {
  int64_t tv_sec;
  int64_t tv_nsec;
} syscmd_time;
IGD1_API syscmd_time wqregtime_start;

