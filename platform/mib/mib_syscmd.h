// Pieces shared by the system command, line registration and platform
// service parts of the configuration store; not part of its interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace igd1::mib::syscmd {

// Milliseconds of the wall clock: stage times of the emulated services are
// stored and must mean the same thing after a restart.
uint64_t now_ms();

// A 64-bit or 32-bit or 8-bit setting as a number, or `fallback` when it is
// missing or does not parse.
uint64_t number_setting(const char *name, uint64_t fallback = 0);
bool set_number_setting(const char *name, uint64_t value);

// Records a device action in the journal (bit MIB_JOURNAL_SYSTEM, action 0).
void journal_action(const std::string &text);

// Address rules shared by the services.
// "host[:port]": a DNS name, a dotted IPv4 address or a bracketed IPv6
// address, and a port from 1 to 65535.
bool is_host_port(std::string_view text);
// scheme://[user[:password]@]host[:port][/path] with one of `schemes`
// (comma-separated), a path of printable ASCII without spaces.
bool is_url(std::string_view text, std::string_view schemes);
// Valid UTF-8 without control characters.
bool is_printable_text(std::string_view text);

// PON mode of the line (1 GPON, 2 EPON) and the link state for that mode.
int pon_link_state();

}  // namespace igd1::mib::syscmd
