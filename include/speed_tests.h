// The speed-test family: five objects that share the path
// /com/wqx/igd1/Diagnostics/HttpDownload, each with an interface of its own.
// A client starts a test with StartTest and reads the properties again to
// follow it; the test runs in the configuration library.
#pragma once

#include "single_object.h"

IGD1_API igd1::GetHandler httpdownloadtest_handle_get_property;

IGD1_API igd1::GetHandler httpdownloadtestff_handle_get_property;

IGD1_API igd1::GetHandler sectionSpeedtest_handle_get_property;

namespace igd1::speed_tests {

inline constexpr char kPath[] = "/com/wqx/igd1/Diagnostics/HttpDownload";

// Writes of the family.  A value outside its rule answers "<name> Invalid
// parameter value <value>", a refusal of the store "set <name> failed
// <value>" (numbers in decimal, booleans 0 or 1); the length of a text is
// checked before anything is copied.  Texts go to the store as
// they are, bytes as one byte, 32-bit numbers as such, booleans as a 32-bit
// 0 or 1.
IGD1_EXPORT bool write_checked(const SingleObject &object, const Property &property,
                               const char *name, GVariant *value, bool valid, GError **error);
template <unsigned MaxLength>
bool write_text(const CallContext &call, const SingleObject &object, const Property &property,
                const char *name, GVariant *value, WriteFlags *flags) {
  gsize length = 0;
  g_variant_get_string(value, &length);
  flags->changed = write_checked(object, property, name, value, length <= MaxLength, call.error);
  return flags->changed != 0;
}
template <uint32_t Min, uint32_t Max>
bool write_number(const CallContext &call, const SingleObject &object, const Property &property,
                  const char *name, GVariant *value, WriteFlags *flags) {
  const uint32_t number = g_variant_is_of_type(value, G_VARIANT_TYPE_BYTE)
                              ? g_variant_get_byte(value)
                              : g_variant_get_uint32(value);
  flags->changed = write_checked(object, property, name, value, number >= Min && number <= Max,
                                 call.error);
  return flags->changed != 0;
}
IGD1_EXPORT bool write_flag(const CallContext &call, const SingleObject &object,
                            const Property &property, const char *name, GVariant *value,
                            WriteFlags *flags);

// Reads a text longer than the engine's read buffer (`property.buffer`
// bytes); a failed read answers `property.fallback_text`.
IGD1_EXPORT GVariant *read_long_text(const CallContext &call, const SingleObject &object,
                                     const Property &property);
// A property without a store value: always the empty text.
IGD1_EXPORT GVariant *read_nothing(const CallContext &call, const SingleObject &object,
                                   const Property &property);

// How a member answers StartTest.
struct Start {
  const char *error_name;           // of a refused duration (and a failed plain start)
  bool reads_duration;              // false: the duration is always 10
  // The store's start operation; fills the result code.
  int (*start)(uint32_t duration, uint32_t *result);
  // The plain member: a non-zero return is a failure answered as a bus
  // error, the text is the result code's description.  The others: a zero
  // return is a refusal reported in the reply's text.
  bool plain = false;
};
// StartTest of the member whose Start the call's user data is.
IGD1_EXPORT void start_test(const PendingCall &call, GVariant *parameters);
inline constexpr Method kMethods[] = {{.name = "StartTest", .handler = start_test}};

// A member of the family: its file, table, accessors, start and start
// hook; a multi-write stops at its first refused entry.  `announced`: its
// single writes are announced (its multi-writes never are).
constexpr SingleObject member(const char *xml_file, std::span<const Property> properties,
                              int (*get)(int, void *), int (*set)(int, void *), const Start &start,
                              StartHook start_hook, bool announced) {
  return {.path = kPath,
          .xml_file = xml_file,
          .properties = properties,
          .get = get,
          .set = set,
          .wording = logs_methods,
          .announce = announced ? Announce::Always : Announce::Never,
          .multi_failure = MultiFailure::Stop,
          .multi_announce = MultiAnnounce::Never,
          .start = start_hook,
          .methods = kMethods,
          .user_data = const_cast<Start *>(&start)};
}

}  // namespace igd1::speed_tests
