// The bus calls the engine tests share: AddObject, DeleteObject and the
// listing of a collection, the multi-property write, and the error of any
// call.
#pragma once

#include <string>
#include <utility>

#include "harness/bus_fixture.h"

namespace igd1::test {

// A call's D-Bus error name and message; both empty when it succeeded.
using Error = std::pair<std::string, std::string>;

class EngineTest : public BusTest {
 protected:
  Error failure_of(const std::string &path, const char *interface, const char *method,
                   GVariant *args) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(path.c_str(), interface, method, args, &error);
    return reply != nullptr ? Error() : remote_error(error);
  }
  // The new child's path, or "" and the error.
  std::pair<std::string, Error> add(const char *manager) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(manager, "com.wqx.igd1.ObjectManager", "AddObject", nullptr, &error);
    if (reply == nullptr) return {"", remote_error(error)};
    const gchar *path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return {path, Error()};
  }
  Error remove(const char *manager, const std::string &path) {
    return failure_of(manager, "com.wqx.igd1.ObjectManager", "DeleteObject",
                      g_variant_new("(o)", path.c_str()));
  }
  // GetManagedObjects printed, or "error: " and the message.
  std::string managed(const char *manager) {
    g_autoptr(GError) error = nullptr;
    Variant reply =
        call(manager, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr, &error);
    return reply != nullptr ? printed(reply.get()) : "error: " + remote_error(error).second;
  }
  Error set_multi(const std::string &path, const char *interface, GVariant *entries) {
    return failure_of(path, "com.wqx.igd1.Properties", "SetMulti",
                      g_variant_new("(s@a{sv})", interface, entries));
  }
};

}  // namespace igd1::test
