// The local speed test on /com/wqx/igd1/Diagnostics/HttpDownload: download
// and upload rates against the gateway's own test URL, for 10 seconds, while
// the test is enabled.  A single write is announced; the results are not.
#include "speed_tests.h"

#include "mib_api.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
namespace st = igd1::speed_tests;

constexpr Property text_result(const char *name, int index, unsigned buffer) {
  return {.name = name, .index = index, .buffer = buffer, .on_failure = OnFailure::Fallback,
          .fallback_text = ""};
}

constexpr Property kProperties[] = {
    {.name = "Enable", .type = "b", .index = 0, .raw = Raw::I32, .on_failure = OnFailure::Fallback,
     .fallback_number = 0, .write = st::write_flag, .write_log = "set Enable [%d]."},
    {.name = "TestingStatus", .type = "b", .index = 1, .raw = Raw::I32,
     .on_failure = OnFailure::Fallback, .fallback_number = 0},
    {.name = "Result", .type = "u", .index = 2, .raw = Raw::U32, .on_failure = OnFailure::Fallback,
     .fallback_number = 1},
    {.name = "SpeedType", .type = "y", .index = 3, .raw = Raw::U8,
     .on_failure = OnFailure::Fallback, .fallback_number = 0, .write = st::write_number<1, 3>},
    {.name = "URL", .index = 4, .buffer = 1024, .fallback_text = "", .read = st::read_long_text},
    text_result("DW_SPEED_MAX_RATE", 5, 17),
    text_result("DW_SPEED_RATE", 6, 17),
    text_result("UP_SPEED_MAX_RATE", 7, 17),
    text_result("UP_SPEED_RATE", 8, 17),
    text_result("BEGIN_TIME", 9, 33),
    text_result("END_TIME", 10, 33),
    {.name = "RFU1", .index = 11, .buffer = 33, .on_failure = OnFailure::Fallback,
     .fallback_text = "", .write = st::write_text<32>, .write_log = "set RFU1 [%s]."},
    {.name = "RFU2", .index = 12, .buffer = 33, .on_failure = OnFailure::Fallback,
     .fallback_text = "", .write = st::write_text<32>, .write_log = "set RFU2 [%s]."},
};

// The duration is not read: no refusal needs an error name.
constexpr st::Start kStart = {.error_name = nullptr, .reads_duration = false,
                              .start = httpdownloadtestlocal_StartTest};

constexpr igd1::SingleObject kObject =
    st::member("SpeedTestLocal.xml", kProperties, httpdownloadtestlocal_get_property,
               httpdownloadtestlocal_set_property, kStart,
               igd1::on_registered<httpdownloadtestlocal_interface_init>, true);

}  // namespace

IGD1_READ_HANDLER(httpdownloadtestlocal_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(httpdownloadtestlocal_handle_set_property,
                    httpdownloadtestlocal_handle_set_multi_properties, kObject)
IGD1_METHOD_HANDLER(httpdownloadtestlocal_handle_method_call, kObject)
IGD1_SINGLE_OBJECT(http_download_testlocal, http_download_testlocal_introspection_data, kObject,
                   httpdownloadtestlocal_handle_method_call,
                   httpdownloadtestlocal_handle_get_property,
                   httpdownloadtestlocal_handle_set_property,
                   httpdownloadtestlocal_handle_set_multi_properties)
