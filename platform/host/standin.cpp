// Harmless stand-in for an external program of the gateway (reboot helpers,
// date, mount ...).  It records how it was called and does nothing else, so
// the emulator and the tests never change the machine they run on.
//
// Under the root folder (environment variable IGD1_ROOT):
//   var/log/igd1-standin.log            one line per call: name and arguments
//   var/log/igd1-standin.env            one line per call: name and the
//                                       environment, entries separated by tabs
//   var/lib/igd1-standin/NAME.status    optional exit status to return
//   var/lib/igd1-standin/NAME.out       optional text to print
//   var/lib/igd1-standin/NAME.sleep_ms  optional time to take before ending
//   var/lib/igd1-standin/NAME.hold      while this file exists, the program
//                                       waits before ending (a test lets it
//                                       go by removing the file)
//
// The storage programs (mount, umount, usbformat, mkdir) also do to the
// emulated USB storage what the real ones would (act_on_storage), after
// their time and unless told to fail.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <thread>

#include <unistd.h>

#include "sys_paths.h"
#include "usb_storage.h"

namespace {

std::string read_file(const std::string &file) {
  std::string text;
  if (FILE *in = std::fopen(file.c_str(), "r")) {
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
    std::fclose(in);
  }
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  const char *slash = std::strrchr(argv[0], '/');
  std::string name = slash != nullptr ? slash + 1 : argv[0];

  if (FILE *log = std::fopen(igd1::sys_path(igd1::path::kStandinLog).c_str(), "a")) {
    std::string line = name;
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }

  // Programs such as the hot-plug mounter take their orders from the
  // environment (DEVPATH, ACTION), so it is recorded as well.
  if (FILE *log = std::fopen(igd1::sys_path(igd1::path::kStandinEnvLog).c_str(), "a")) {
    std::string line = name;
    for (char **entry = environ; *entry != nullptr; ++entry) line += std::string("\t") + *entry;
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }

  std::string control = igd1::sys_path(igd1::path::kStandinControlDir) + name;
  std::string output = read_file(control + ".out");
  std::fputs(output.c_str(), stdout);
  const std::string sleep_ms = read_file(control + ".sleep_ms");
  if (!sleep_ms.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(sleep_ms.c_str())));
  const std::string hold = control + ".hold";
  while (access(hold.c_str(), F_OK) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::string status = read_file(control + ".status");
  if (!status.empty() && std::atoi(status.c_str()) != 0) return std::atoi(status.c_str());
  std::string why;
  if (!igd1::devices::act_on_storage(name, std::vector<std::string>(argv + 1, argv + argc), &why)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), why.c_str());
    return 32;
  }
  return 0;
}
