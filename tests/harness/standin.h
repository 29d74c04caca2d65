// The stand-in programs of a test's root: the calls they recorded, and what
// one of them does from its next run on.
#pragma once

#include <glib/gstdio.h>

#include <string>

#include "harness/bus_fixture.h"
#include "sys_paths.h"

namespace igd1::test {

inline std::string standin_log(const TempRoot &root) { return read_text_file(root.path(path::kStandinLog)); }

// `what` is "status" (its exit status), "out" (what it prints), "sleep_ms"
// (its time) or "hold" (it waits, once it has recorded its call, until
// release_standin).
inline void control_standin(const TempRoot &root, const std::string &program, const std::string &what,
                            const std::string &text = "") {
  write_text_file(root.path(std::string(path::kStandinControlDir) + program + "." + what), text);
}

inline void release_standin(const TempRoot &root, const std::string &program) {
  g_unlink(root.path(std::string(path::kStandinControlDir) + program + ".hold").c_str());
}

}  // namespace igd1::test
