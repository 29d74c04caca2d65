// Actions of the configuration library that speak bus values: a caller
// names an action by its code and hands a parameter; it gets a reply, or an
// error that says why there is none.  A module's `<prefix>_handle_action`
// is its table of actions and one call of dispatch.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <span>

namespace igd1::mib {

// Why an action gave no reply (domain action_error_quark()).
enum class ActionError { UnknownAction, WrongParameter, Failed };
GQuark action_error_quark();

struct Action {
  uint32_t code;
  // The type the parameter must have; nullptr: the action takes none, and a
  // parameter given anyway is ignored.
  const char *parameter_type;
  // The reply (a floating or owned value), or nullptr with `error` set.
  GVariant *(*run)(GVariant *parameter, GError **error);
};

class Actions {
 public:
  // `accessor` names the entry point in errors and injected failures.
  constexpr Actions(const char *accessor, std::span<const Action> actions)
      : accessor_(accessor), actions_(actions) {}

  // The reply to `code` (owned by the caller), or nullptr with `error` set:
  // an unknown code, a parameter of another type, an injected failure
  // ("<accessor>" for this code) or the action's own failure.
  GVariant *dispatch(uint32_t code, GVariant *parameter, GError **error) const;
  // The C form of dispatch, whose callers answer every refusal alike: 1
  // with the reply in `*reply`, or 0 with `*reply` null.
  int handle(uint32_t code, GVariant *parameter, GVariant **reply) const;

 private:
  const char *accessor_;
  std::span<const Action> actions_;
};

}  // namespace igd1::mib
