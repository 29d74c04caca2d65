#include "sys_paths.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

namespace igd1 {

namespace {

std::string dir_from_env(const char *variable) {
  const char *root = std::getenv(variable);
  if (root == nullptr) return {};
  std::string_view dir(root);
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  return std::string(dir);
}

void set_dir_env(const char *variable, std::string_view dir) {
  while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
  if (dir.empty()) {
    unsetenv(variable);
  } else {
    setenv(variable, std::string(dir).c_str(), 1);
  }
}

std::string below(std::string result, std::string_view fixed_path) {
  if (!result.empty() && !fixed_path.empty() && fixed_path.front() != '/') result += '/';
  result += fixed_path;
  return result;
}

}  // namespace

std::string root_dir() { return dir_from_env(kRootEnv); }

void set_root_dir(std::string_view dir) { set_dir_env(kRootEnv, dir); }

std::string sys_path(std::string_view fixed_path) { return below(root_dir(), fixed_path); }

std::string kernel_path(std::string_view fixed_path) {
  return below(dir_from_env(kKernelRootEnv), fixed_path);
}

void set_kernel_root_dir(std::string_view dir) { set_dir_env(kKernelRootEnv, dir); }

bool sys_path_into(std::string_view fixed_path, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  std::string full = sys_path(fixed_path);
  if (full.size() + 1 > size) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  return true;
}

bool sys_socket_address(std::string_view fixed_path, sockaddr_un *address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  return sys_path_into(fixed_path, address->sun_path, sizeof address->sun_path);
}

}  // namespace igd1
