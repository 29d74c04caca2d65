// The section speed test on /com/wqx/igd1/Diagnostics/HttpDownload: the
// rate of one network section against a configured server, over 1 to 10
// parallel streams, downloading or uploading.  Nothing it serves is
// announced.
#include "speed_tests.h"

#include "mib_api.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
namespace st = igd1::speed_tests;

constexpr Property byte_setting(const char *name, int index, igd1::WriteHook write,
                                const char *write_log) {
  return {.name = name, .type = "y", .index = index, .raw = Raw::U8,
          .on_failure = OnFailure::Fallback, .fallback_number = 0, .write = write,
          .write_log = write_log};
}
constexpr Property number_setting(const char *name, int index, igd1::WriteHook write,
                                  const char *write_log) {
  return {.name = name, .type = "u", .index = index, .raw = Raw::U32,
          .on_failure = OnFailure::Fallback, .fallback_number = 1, .write = write,
          .write_log = write_log};
}
constexpr Property rate(const char *name, int index) {
  return {.name = name, .index = index, .buffer = 32, .on_failure = OnFailure::Fallback,
          .fallback_text = ""};
}

constexpr Property kProperties[] = {
    byte_setting("TestingStatus", 0, nullptr, nullptr),
    {.name = "Result", .type = "y", .index = 1, .raw = Raw::U8, .on_failure = OnFailure::Fallback,
     .fallback_number = 1},
    byte_setting("SpeedMode", 2, st::write_number<1, 2>, "set SpeedMode [%u]."),
    byte_setting("Protocol", 4, st::write_number<0, 1>, "set Protocol [%u]."),
    byte_setting("Streams", 5, st::write_number<1, 10>, "set Streams [%u]."),
    {.name = "ServerIP", .index = 6, .buffer = 46, .on_failure = OnFailure::Fallback,
     .fallback_text = "", .write = st::write_text<45>, .write_log = "set ServerIP [%s]."},
    number_setting("ServerPort", 7, st::write_number<1, 65535>, "set serverPort [%u]."),
    number_setting("PayloadLength", 8, st::write_number<1500, 9000>, "%u"),
    rate("SPEED_MAX_RATE", 9),
    rate("SPEED_MIN_RATE", 10),
    rate("SPEED_RATE", 11),
};

// The duration is checked, not passed on.
constexpr st::Start kStart = {
    .error_name = "com.wqx.igd1.httpDownloadSectionSpeedtest",
    .reads_duration = true,
    .start = [](uint32_t, uint32_t *result) { return sectionSpeedtest_StartTest(result); }};

constexpr igd1::SingleObject kObject =
    st::member("SecctionSpeedtest_fttr_master.xml", kProperties, sectionSpeedtest_get_property,
               sectionSpeedtest_set_property, kStart,
               igd1::on_registered<sectionSpeedtest_interface_init>, false);

}  // namespace

IGD1_METHOD_HANDLER(sectionSpeedtest_handle_method_call, kObject)
IGD1_READ_HANDLER(sectionSpeedtest_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(sectionSpeedtest_handle_set_property,
                    sectionSpeedtest_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(http_section_speedtest, http_section_speedtest_introspection_data, kObject,
                   sectionSpeedtest_handle_method_call, sectionSpeedtest_handle_get_property,
                   sectionSpeedtest_handle_set_property,
                   sectionSpeedtest_handle_set_multi_properties)
