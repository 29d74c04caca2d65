// Method tables: dispatch by name and service type, and the one answer of
// every call.
#include "methods.h"

#include <atomic>
#include <cstring>
#include <string>

#include "dbus_proxy_api.h"
#include "host_api.h"
#include "texts.h"
#include "tool.h"

namespace igd1 {

bool serves_service_type(Variant variant) {
  switch (variant) {
    case Variant::Any: return true;
    case Variant::ServiceType1: return dbus_proxy_get_service_type() == 1;
    case Variant::NotServiceType1: return dbus_proxy_get_service_type() != 1;
  }
  return false;
}

// The call's reference to the invocation, given up by the one answer.
struct PendingCall::State {
  std::atomic<GDBusMethodInvocation *> invocation;
  std::string path;
  std::string method;
  CallContext context;

  State(GDBusMethodInvocation *call, const CallContext &given)
      : invocation(call), path(given.object_path != nullptr ? given.object_path : ""),
        method(g_dbus_method_invocation_get_method_name(call)), context(given) {
    context.object_path = path.c_str();
  }
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  // The invocation for the one answer, or nullptr when it was given.
  GDBusMethodInvocation *take() { return invocation.exchange(nullptr); }

  ~State() {
    GDBusMethodInvocation *left = take();
    if (left == nullptr) return;
    DBUS_LOG(LOG_LEVEL_ERROR, "%s on %s ended without an answer", method.c_str(), path.c_str());
    g_dbus_method_invocation_return_error(left, G_DBUS_ERROR, G_DBUS_ERROR_FAILED,
                                          "%s ended without an answer", method.c_str());
  }
};

bool CallContext::test_run() const { return check_dbus_cts_running() != 0; }

PendingCall::PendingCall(GDBusMethodInvocation *invocation, const CallContext &context)
    : state_(std::make_shared<State>(invocation, context)) {}

const CallContext &PendingCall::context() const { return state_->context; }

const char *PendingCall::method() const { return state_->method.c_str(); }

bool PendingCall::answered() const { return state_->invocation.load() == nullptr; }

namespace {

// A refused second answer: logged, and a floating value is not leaked.
bool refuse_second_answer(const std::string &path, GVariant *value) {
  if (value != nullptr) g_variant_unref(g_variant_ref_sink(value));
  DBUS_LOG(LOG_LEVEL_ERROR, "a call on %s was answered twice; the second answer is dropped",
           path.c_str());
  return false;
}

}  // namespace

bool PendingCall::reply(GVariant *value) const {
  GDBusMethodInvocation *invocation = state_->take();
  if (invocation == nullptr) return refuse_second_answer(state_->path, value);
  g_dbus_method_invocation_return_value(invocation, value);
  return true;
}

bool PendingCall::fail(GDBusError code, const char *message) const {
  GDBusMethodInvocation *invocation = state_->take();
  if (invocation == nullptr) return refuse_second_answer(state_->path, nullptr);
  g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR, code, message);
  return true;
}

bool PendingCall::fail_named(const char *error_name, const char *message) const {
  GDBusMethodInvocation *invocation = state_->take();
  if (invocation == nullptr) return refuse_second_answer(state_->path, nullptr);
  g_dbus_method_invocation_return_dbus_error(invocation, error_name, message);
  return true;
}

bool PendingCall::withhold() const {
  GDBusMethodInvocation *invocation = state_->take();
  if (invocation == nullptr) return false;
  g_object_unref(invocation);
  return true;
}

void dispatch_method(std::span<const Method> methods, const CallContext &context,
                     const char *interface_name, const char *method_name, GVariant *parameters,
                     GDBusMethodInvocation *invocation, const char *unknown) {
  const Method *found = nullptr;
  for (const Method &method : methods) {
    if (std::strcmp(method.name, method_name) == 0 && serves_service_type(method.variant)) {
      found = &method;
      break;
    }
  }
  if (found == nullptr && unknown != nullptr) {
    const TextValues said{.name = method_name, .path = context.object_path,
                          .instance = context.instance};
    g_dbus_method_invocation_return_error_literal(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_UNKNOWN_METHOD,
                                                  fill_text(unknown, said).c_str());
    return;
  }
  if (found == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Method %s of interface %s is not served on %s",
                                          method_name, interface_name, context.object_path);
    return;
  }
  // Kept before the handler runs: a worker may answer before it returns.
  if (found->answer == Answer::Later) dbus_proxy_invocation_keep(invocation);
  const PendingCall call(invocation, context);
  found->handler(call, parameters);
  if (found->answer == Answer::Never) {
    call.withhold();
    return;
  }
  if (found->answer == Answer::Now && !call.answered()) {
    DBUS_LOG(LOG_LEVEL_ERROR, "%s on %s returned without an answer", method_name,
             context.object_path);
    call.fail(G_DBUS_ERROR_FAILED, "The method gave no answer");
  }
}

}  // namespace igd1
