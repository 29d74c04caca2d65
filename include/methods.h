// Bus methods as data: a module lists its methods once, each with the
// service types it serves and whether it answers before its handler returns
// or later (when a command ends, a timer fires or a worker is done).
//
// Every handler gets a PendingCall: the call's context and the one answer it
// may give.  The engine keeps a call that is answered later with the host's
// keep call, and guarantees exactly one answer: a second answer is dropped,
// and a call whose last handle goes away unanswered is answered with an
// error, so that no caller waits for its time-out.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <span>

#include "igd1_export.h"

namespace igd1 {

// Which host service types a table row serves (a few rows change form).
enum class Variant : uint8_t { Any, ServiceType1, NotServiceType1 };

// Whether a row of a table serves the current service type.
IGD1_EXPORT bool serves_service_type(Variant variant);

// The kind of request a hook serves; Export and Unexport tell the hooks of
// an object beside a row that it was just registered or is about to go.
enum class CallKind : uint8_t { Get, GetAll, Set, SetMulti, Method, Export, Unexport };

// What a handler is told about the call it runs in: per-row and per-band
// objects tell from it which one was called.
struct CallContext {
  const char *object_path;
  uint32_t instance = 0;  // the row's instance number (0: no row)
  uint32_t index = 0;     // the row's position in its table
  uint32_t inner = 0;     // the second number of a nested path (0: none)
  void *user_data = nullptr;  // the module's, from its declaration
  CallKind kind = CallKind::Method;
  // Where a hook reports a failure of its own, with the error the client is
  // to get (null: the request takes no error from it).
  GError **error = nullptr;
  // Whether a conformance-test run is active (asked when a hook needs it).
  IGD1_EXPORT bool test_run() const;
};

// When a method answers.
enum class Answer : uint8_t {
  Now,    // before its handler returns
  Later,  // after: the handler keeps a copy of its PendingCall
  Never,  // not at all: the caller waits for its own time-out, or sent the
          // call expecting no reply
};

// One call of a bus method and its one answer.  Copies share the call; the
// answer may come from any thread.
class PendingCall {
 public:
  IGD1_EXPORT PendingCall(GDBusMethodInvocation *invocation, const CallContext &context);

  IGD1_EXPORT const CallContext &context() const;
  IGD1_EXPORT const char *method() const;
  // Whether the call was answered already.
  IGD1_EXPORT bool answered() const;
  // Answers with `value` (a tuple, or nullptr for no value; a floating value
  // is taken).  False when the call was answered before: nothing is sent.
  IGD1_EXPORT bool reply(GVariant *value) const;
  // Answers with an error of the standard domain, or with a named error.
  IGD1_EXPORT bool fail(GDBusError code, const char *message) const;
  IGD1_EXPORT bool fail_named(const char *error_name, const char *message) const;
  // Lets the call go without any answer.  False when it was answered before.
  IGD1_EXPORT bool withhold() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

using MethodHandler = void (*)(const PendingCall &call, GVariant *parameters);

struct Method {
  const char *name;
  MethodHandler handler;
  Variant variant = Variant::Any;
  Answer answer = Answer::Now;
};

// Runs the row of `methods` that serves `method_name` for the current
// service type (read at every call).  A name that no row serves is answered
// with UnknownMethod: the table's text `unknown` naming what it receives
// ({name}: the method, {path}, {instance}; "Unknown method {name}"), or the
// engine's; a method of kind Now whose handler returned without an answer
// is answered with Failed.
IGD1_EXPORT void dispatch_method(std::span<const Method> methods, const CallContext &context,
                                 const char *interface_name, const char *method_name,
                                 GVariant *parameters, GDBusMethodInvocation *invocation,
                                 const char *unknown = nullptr);

}  // namespace igd1
