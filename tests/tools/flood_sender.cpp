// Sends the kept fuzz inputs to igd1d the way any local user may: each
// input's path and body under org.freedesktop.DBus.Properties.Get, the one
// call the system-bus policy lets every user make.  The bus passes such a
// call whatever its body; igd1d's side of the connection decides.
//
//   igd1_flood_sender ADDRESS COUNT SECONDS FILE...
//
// COUNT calls, the files in turn, evenly spread over SECONDS.  Prints
// "sent N, answered A, unanswered U" and exits 0; 1 when a file is malformed
// or the bus cannot be reached, 2 on a wrong command line.
#include <cstdio>
#include <cstdlib>

#include "harness/recorded_call.h"

namespace {

constexpr int kReplyTimeoutMs = 2000;

}  // namespace

int main(int argc, char **argv) {
  using namespace igd1::test;
  char *end = nullptr;
  const long count = argc > 3 ? std::strtol(argv[2], &end, 10) : 0;
  const bool count_ok = end != nullptr && *end == '\0' && count > 0;
  const double seconds = argc > 3 ? std::strtod(argv[3], &end) : 0;
  if (argc < 5 || !count_ok || *end != '\0' || seconds <= 0) {
    std::fprintf(stderr, "usage: %s ADDRESS COUNT SECONDS FILE...\n", argv[0]);
    return 2;
  }
  std::vector<RecordedCall> calls;
  for (int i = 4; i < argc; ++i) {
    RecordedCall call;
    std::string problem;
    if (!read_recorded_call(argv[i], &call, &problem)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], problem.c_str());
      return 1;
    }
    call.interface = "org.freedesktop.DBus.Properties";
    call.member = "Get";
    calls.push_back(std::move(call));
  }
  GDBusConnection *connection = connect_bus(argv[1]);
  if (connection == nullptr) return 1;

  const auto start = std::chrono::steady_clock::now();
  const auto interval = std::chrono::duration<double>(seconds / double(count));
  long answered = 0, unanswered = 0;
  for (long i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              interval * double(i)));
    g_autoptr(GError) error = nullptr;
    Variant reply = send_recorded_call(connection, calls[size_t(i) % calls.size()], kReplyTimeoutMs, &error);
    // An error reply is an answer too; no reply, or none in time, is not.
    const bool lost = reply == nullptr && (g_dbus_error_is_remote_error(error) == FALSE ||
                                           remote_error(error).first == "org.freedesktop.DBus.Error.NoReply");
    ++(lost ? unanswered : answered);
    if (g_dbus_connection_is_closed(connection)) {
      g_object_unref(connection);
      connection = connect_bus(argv[1]);
      if (connection == nullptr) return 1;
    }
  }
  g_object_unref(connection);
  std::printf("sent %ld, answered %ld, unanswered %ld\n", count, answered, unanswered);
  return 0;
}
