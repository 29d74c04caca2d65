// What the tests of the single objects ask of an object: reads and writes
// as GVariant text, the error of a refused call, multi-writes and methods;
// and the short forms of a test of one object.
#pragma once

#include <string>
#include <utility>

#include "harness/bus_fixture.h"

namespace igd1::test {

using Failure = Error;

struct ObjectUnderTest {
  const char *path;
  const char *interface;
};

class ObjectTest : public BusTest {
 protected:
  // The value printed, or "<error name: message>".
  std::string read(const ObjectUnderTest &object, const char *name) {
    g_autoptr(GError) error = nullptr;
    Variant value = get_property(object.path, object.interface, name, &error);
    return printed_or_error(value, error);
  }
  // Writes `value` (GVariant text); the failure, or {"", ""} when accepted.
  Failure write(const ObjectUnderTest &object, const char *name, const char *value) {
    return BusTest::write(object.path, object.interface, name, g_variant_new_parsed(value));
  }
  Failure set_multi(const ObjectUnderTest &object, GVariant *entries) {
    return BusTest::set_multi(object.path, object.interface, entries);
  }
  // The reply printed, or "<error name: message>".
  std::string invoke(const ObjectUnderTest &object, const char *method, GVariant *args) {
    g_autoptr(GError) error = nullptr;
    Variant reply = call(object.path, object.interface, method, args, &error);
    return printed_or_error(reply, error);
  }

 private:
  static std::string printed_or_error(const Variant &value, GError *error) {
    if (value) return printed(value.get());
    auto [code, message] = remote_error(error);
    return "<" + code + ": " + message + ">";
  }
};

// The tests of one object: reads (printed, or "error: " and the message),
// writes and multi-writes go to `kObject`.
template <const ObjectUnderTest &kObject>
class OneObjectTest : public ObjectTest {
 protected:
  using ObjectTest::read, ObjectTest::write, ObjectTest::set_multi, BusTest::write, BusTest::set_multi;
  std::string read(const char *name) { return shown(kObject.path, kObject.interface, name); }
  Error write(const char *name, GVariant *value) {
    return BusTest::write(kObject.path, kObject.interface, name, value);
  }
  Error set_multi(GVariant *entries) { return BusTest::set_multi(kObject.path, kObject.interface, entries); }
};

}  // namespace igd1::test
