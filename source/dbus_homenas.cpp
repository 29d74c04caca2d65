// NAS file access: every method is one action of the configuration library,
// which does the file work and builds the whole reply; this object only
// routes the call and answers the library's reply as it is.
//
// The file work runs on one thread of its own, one call after the other in
// the order they came, and the caller is answered from there: a listing of
// a large folder or the removal of a tree on a slow disk never holds the
// main loop and the other objects it serves.
#include "homenas.h"

#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "mib_usb.h"

namespace {

constexpr char kError[] = "com.wqx.igd1.NASAccess";

// The methods, in the order of their action codes.
constexpr const char *kActions[] = {"GetFileNum", "ListFolder", "CreateFolder",
                                    "Rename",     "Remove",     "Move",
                                    "Copy",       "GetCopyProgress", "GetDiscInfo"};

struct FileWork {
  igd1::PendingCall call;
  int code;
  GVariant *parameters;  // owned
};

void do_file_work(gpointer data, gpointer) {
  std::unique_ptr<FileWork> work(static_cast<FileWork *>(data));
  GVariant *reply = nullptr;
  if (homeNAS_handle_action(work->code, work->parameters, &reply) == 0 || reply == nullptr) {
    work->call.fail_named(kError, "Invalid parameter value");
  } else {
    work->call.reply(reply);
    g_variant_unref(reply);
  }
  g_variant_unref(work->parameters);
}

// One thread at most: the calls keep their order.
GThreadPool *file_worker() {
  static GThreadPool *pool = g_thread_pool_new(do_file_work, nullptr, 1, FALSE, nullptr);
  return pool;
}

void run_action(const igd1::PendingCall &call, GVariant *parameters) {
  int code = -1;
  for (size_t i = 0; i < std::size(kActions); ++i)
    if (std::strcmp(call.method(), kActions[i]) == 0) code = int(i);
  if (code < 0) {
    call.fail_named(kError, "Invalid method");
    return;
  }
  g_thread_pool_push(file_worker(), new FileWork{call, code, g_variant_ref(parameters)}, nullptr);
}

// Every action is a method of the same name, answered from the worker.
template <size_t... Code>
constexpr std::array<igd1::Method, sizeof...(Code)> methods_of(std::index_sequence<Code...>) {
  return {{{.name = kActions[Code], .handler = run_action, .answer = igd1::Answer::Later}...}};
}
constexpr auto kMethods = methods_of(std::make_index_sequence<std::size(kActions)>());

constexpr igd1::SingleObject kObject = {
    .path = nullptr,
    .xml_file = "NASAccess.xml",
    .properties = {},
    .wording = igd1::logs_methods,
    .methods = kMethods,
};

}  // namespace

IGD1_METHOD_HANDLER(nas_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(nas, nas_introspection_data, kObject, nas_handle_method_call, nullptr, nullptr,
                   nullptr)
