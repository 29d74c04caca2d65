// The DNS server objects of both address families: one record of two
// server texts per family, read and stored whole.
#pragma once

#include "dnstunnel.h"
#include "single_object.h"

namespace igd1::dns_servers {

// The family's record index, as the object's user data.
inline constexpr int kIPv4 = 0;
inline constexpr int kIPv6 = 1;

GVariant *read_server(const CallContext &call, const SingleObject &object,
                      const Property &property);
bool write_server(const CallContext &call, const SingleObject &object, const Property &property,
                  const char *name, GVariant *value, WriteFlags *flags);
// The update notice that follows every accepted write.
bool notify_services(const CallContext &call, const SingleObject &object, const WriteFlags &flags);
// Any method: the relay reads its servers again; (0, "") or (1, "fail").
void reload_relay(const PendingCall &call, GVariant *parameters);

// Offsets of the two fields in the record, as the properties' index.
inline constexpr Property kProperties[] = {
    {.name = "Server1", .index = 0, .read = read_server, .write = write_server},
    {.name = "Server2", .index = 1, .read = read_server, .write = write_server},
};
inline constexpr Method kMethods[] = {{.name = "Reload", .handler = reload_relay}};

}  // namespace igd1::dns_servers
