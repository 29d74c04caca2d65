#include "harness/recorded_call.h"

#include <sstream>

namespace igd1::test {

bool read_recorded_call(const std::string &file, RecordedCall *call, std::string *problem) {
  std::istringstream lines(read_text_file(file));
  bool has_outcome = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "path") {
      call->path = value;
    } else if (key == "interface") {
      call->interface = value;
    } else if (key == "member") {
      call->member = value;
    } else if (key == "body") {
      g_autoptr(GError) error = nullptr;
      GVariant *body = g_variant_parse(nullptr, value.c_str(), nullptr, nullptr, &error);
      if (body == nullptr) {
        *problem = "body: " + std::string(error->message);
        return false;
      }
      call->body.reset(g_variant_ref_sink(body));
    } else if (key == "outcome" && (value == "reply" || value.starts_with("reconnect "))) {
      has_outcome = true;
      call->drops_connection = value != "reply";
      call->reason = call->drops_connection ? value.substr(10) : "";
    } else {
      *problem = "unexpected line: " + line;
      return false;
    }
  }
  if (!g_variant_is_object_path(call->path.c_str()) || call->interface.empty() ||
      call->member.empty() || !call->body || !g_variant_is_container(call->body.get()) ||
      !g_variant_type_is_tuple(g_variant_get_type(call->body.get())) || !has_outcome) {
    *problem = "needs path, interface, member, a tuple body and an outcome";
    return false;
  }
  return true;
}

std::string recorded_call_text(const RecordedCall &call) {
  g_autofree gchar *body = g_variant_print(call.body.get(), TRUE);
  return "path " + call.path + "\ninterface " + call.interface + "\nmember " + call.member +
         "\nbody " + body + "\noutcome " + (call.drops_connection ? "reconnect " + call.reason : "reply") +
         "\n";
}

Variant send_recorded_call(GDBusConnection *connection, const RecordedCall &call, int timeout_ms,
                           GError **error) {
  return Variant(g_dbus_connection_call_sync(connection, host::kServiceName, call.path.c_str(),
                                             call.interface.c_str(), call.member.c_str(),
                                             call.body.get(), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                             timeout_ms, nullptr, error));
}

}  // namespace igd1::test
