#include "mib_actions.h"

#include "mib_store.h"

namespace igd1::mib {

G_DEFINE_QUARK(igd1-mib-action-error-quark, action_error)

GVariant *Actions::dispatch(uint32_t code, GVariant *parameter, GError **error) const {
  const Action *action = nullptr;
  for (const Action &candidate : actions_)
    if (candidate.code == code) action = &candidate;
  if (action == nullptr) {
    g_set_error(error, action_error_quark(), int(ActionError::UnknownAction),
                "%s: unknown action %u", accessor_, code);
    return nullptr;
  }
  if (action->parameter_type != nullptr &&
      (parameter == nullptr ||
       !g_variant_is_of_type(parameter, G_VARIANT_TYPE(action->parameter_type)))) {
    g_set_error(error, action_error_quark(), int(ActionError::WrongParameter),
                "%s: action %u takes %s, not %s", accessor_, code, action->parameter_type,
                parameter != nullptr ? g_variant_get_type_string(parameter) : "nothing");
    return nullptr;
  }
  if (should_fail(accessor_, int(code))) {
    g_set_error(error, action_error_quark(), int(ActionError::Failed),
                "%s: action %u refused by an injected failure", accessor_, code);
    return nullptr;
  }
  GError *failure = nullptr;
  GVariant *reply = action->run(action->parameter_type != nullptr ? parameter : nullptr, &failure);
  if (reply == nullptr) {
    if (failure == nullptr)
      g_set_error(error, action_error_quark(), int(ActionError::Failed), "%s: action %u failed",
                  accessor_, code);
    else
      g_propagate_error(error, failure);
    return nullptr;
  }
  return g_variant_take_ref(reply);
}

int Actions::handle(uint32_t code, GVariant *parameter, GVariant **reply) const {
  if (reply == nullptr) return 0;
  *reply = dispatch(code, parameter, nullptr);
  return *reply != nullptr ? 1 : 0;
}

}  // namespace igd1::mib
