// Symbol export of the module library: everything is hidden unless marked.
#pragma once

#define IGD1_EXPORT __attribute__((visibility("default")))

// An entry point of C linkage whose name the host or a caller looks up (the
// library is C++ throughout).
#define IGD1_API extern "C" IGD1_EXPORT
