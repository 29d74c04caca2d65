// The full-featured speed test on /com/wqx/igd1/Diagnostics/HttpDownload:
// delays, download and upload rates against the configured URL, with a
// ticket and a speed type.  Nothing it serves is announced: clients read
// the properties again.
#include "speed_tests.h"

#include "mib_api.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
namespace st = igd1::speed_tests;

constexpr char kErrorName[] = "com.wqx.igd1.HttpDownloadTestFF";

// A text result of the store read into a buffer of 32 bytes.
constexpr Property figure(const char *name, int index) {
  return {.name = name, .index = index, .buffer = 32, .on_failure = OnFailure::Fallback,
          .fallback_text = ""};
}

constexpr Property kProperties[] = {
    {.name = "TestingStatus", .type = "b", .index = 0, .raw = Raw::I32,
     .on_failure = OnFailure::Fallback, .fallback_number = 0},
    {.name = "Ticket", .index = 1, .buffer = 64, .on_failure = OnFailure::Fallback,
     .fallback_text = "", .write = st::write_text<80>,
     .write_log = "set Ticket [%s]."},
    {.name = "SpeedType", .type = "y", .index = 2, .raw = Raw::U8,
     .on_failure = OnFailure::Fallback, .fallback_number = 0, .write = st::write_number<1, 3>},
    {.name = "URL", .index = 3, .buffer = 1024, .fallback_text = "", .read = st::read_long_text,
     .write = st::write_text<1023>, .write_log = "set url [%s]."},
    {.name = "Result", .type = "u", .index = 4, .raw = Raw::U32,
     .on_failure = OnFailure::Fallback, .fallback_number = 1},
    figure("DW_SPEED_MAX_RATE", 5),
    figure("DW_SPEED_RATE", 6),
    figure("UP_SPEED_MAX_RATE", 7),
    figure("UP_SPEED_RATE", 8),
    figure("BEGIN_TIME", 9),
    figure("END_TIME", 10),
    figure("MAX_TIME_DELAY", 11),
    figure("MIN_TIME_DELAY", 12),
    figure("AVG_TIME_DELAY", 13),
    {.name = "PACKET_LOSS", .read = st::read_nothing},
    figure("PACKET_SHAKE", 14),
};

constexpr st::Start kStart = {.error_name = kErrorName, .reads_duration = true,
                              .start = httpdownloadtestff_StartTest};

constexpr igd1::SingleObject kObject =
    st::member("SpeedTestFF.xml", kProperties, httpdownloadtestff_get_property,
               httpdownloadtestff_set_property, kStart,
               igd1::on_registered<httpdownloadtestff_interface_init>, false);

}  // namespace

IGD1_METHOD_HANDLER(httpdownloadtestff_handle_method_call, kObject)
IGD1_READ_HANDLER(httpdownloadtestff_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(httpdownloadtestff_handle_set_property,
                    httpdownloadtestff_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(http_download_testff, http_download_testff_introspection_data, kObject,
                   httpdownloadtestff_handle_method_call, httpdownloadtestff_handle_get_property,
                   httpdownloadtestff_handle_set_property,
                   httpdownloadtestff_handle_set_multi_properties)
