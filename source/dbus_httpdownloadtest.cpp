// The plain HTTP download test on /com/wqx/igd1/Diagnostics/HttpDownload: a
// client sets the URL, starts the test and reads Status and Result again
// until it has ended.  A written URL is announced; Status and Result are
// not (they change while the test runs).
#include "speed_tests.h"

#include "mib_api.h"

namespace {

using igd1::CallContext;
using igd1::Property;
using igd1::SingleObject;
using igd1::WriteFlags;
namespace st = igd1::speed_tests;

constexpr unsigned kMaxUrl = 1023;
constexpr char kErrorName[] = "com.wqx.igd1.HttpDownloadTest";

// The store answers 0 for a stored URL.
bool write_url(const CallContext &call, const SingleObject &, const Property &property,
               const char *, GVariant *value, WriteFlags *flags) {
  gsize length = 0;
  const char *url = g_variant_get_string(value, &length);
  if (length > kMaxUrl) {
    DBUS_LOG(LOG_LEVEL_WARN, "Invalid parameter value");
    igd1::set_invalid_args(call.error, "Invalid parameter value");
    return false;
  }
  if (httpdownloadtest_set_property(property.index, const_cast<char *>(url)) != 0) {
    igd1::set_invalid_args(call.error, "set url failed %s", url);
    return false;
  }
  flags->changed = 1;
  return true;
}

constexpr Property kProperties[] = {
    {.name = "Status", .type = "u", .index = 0, .raw = igd1::Raw::U32,
     .on_failure = igd1::OnFailure::Fallback, .fallback_number = 0},
    {.name = "Result", .index = 1, .buffer = 1024, .fallback_text = "", .read = st::read_long_text},
    {.name = "URL", .index = 2, .buffer = 1024, .fallback_text = "", .read = st::read_long_text,
     .write = write_url, .write_log = "set url [%s]."},
};

constexpr st::Start kStart = {.error_name = kErrorName, .reads_duration = true,
                              .start = httpdownloadtest_StartTest, .plain = true};

// The URL's writer stores it itself.
constexpr SingleObject kObject =
    st::member("HttpDownloadTest.xml", kProperties, httpdownloadtest_get_property, nullptr, kStart,
               igd1::on_registered<httpdownloadtest_interface_init>, true);

}  // namespace

// Every read first refreshes the WAN rate figure of the store.
GVariant *httpdownloadtest_handle_get_property(GDBusConnection *, const gchar *,
                                               const gchar *object_path, const gchar *,
                                               const gchar *property_name, GError **error,
                                               gpointer) {
  httpdownloadtest_wanrate();
  return igd1::object_get(kObject, __func__, object_path, property_name, error);
}
IGD1_WRITE_HANDLERS(httpdownloadtest_handle_set_property,
                    httpdownloadtest_handle_set_multi_properties, kObject)
IGD1_METHOD_HANDLER(httpdownloadtest_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(http_download_test, http_download_test_introspection_data, kObject,
                   httpdownloadtest_handle_method_call, httpdownloadtest_handle_get_property,
                   httpdownloadtest_handle_set_property,
                   httpdownloadtest_handle_set_multi_properties)
