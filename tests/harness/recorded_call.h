// A bus call kept in a text file, with the outcome the service must give it:
// the inputs the fuzz harness found worth keeping, and the form in which it
// saves a new one.
//
//   # comment
//   path /com/wqx/igd1/Config/DHCPServer
//   interface com.wqx.igd1.Properties
//   member SetMulti
//   body ('com.wqx.igd1.DHCPServer', {'X': <uint32 7>})      (GVariant text)
//   outcome reply                  a reply, success or error, and igd1d serves on
//   outcome reconnect TEXT         igd1d loses its bus connection, logs TEXT
//                                  and serves again on a new one
#pragma once

#include <gio/gio.h>

#include <string>

#include "harness/bus_fixture.h"

namespace igd1::test {

struct RecordedCall {
  std::string path;
  std::string interface;
  std::string member;
  Variant body;              // a tuple
  bool drops_connection = false;  // outcome "reconnect ..."
  std::string reason;             // what igd1d logs when its connection closes
};

// Reads `file`; false with `problem` set when a line or the body is malformed.
bool read_recorded_call(const std::string &file, RecordedCall *call, std::string *problem);
std::string recorded_call_text(const RecordedCall &call);

// Sends `call` to igd1d on `connection` and waits up to `timeout_ms` for the
// reply; the error of a failed call, if any, in `error`.
Variant send_recorded_call(GDBusConnection *connection, const RecordedCall &call, int timeout_ms,
                           GError **error);

}  // namespace igd1::test
