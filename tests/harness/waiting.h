// How the tests wait.  For what a test expects to happen it waits until it
// has happened, or until a time that only a hang exceeds, also on a loaded
// machine under the sanitizers.  What a test expects not to happen it gives
// a short time of its own.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace igd1::test {

inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(30);

// Asks `condition` until it holds or `timeout` passes; whether it held.
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace igd1::test
