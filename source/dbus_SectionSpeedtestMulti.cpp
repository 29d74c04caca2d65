// The multi-section speed test on /com/wqx/igd1/Diagnostics/HttpDownload:
// the section test's server measured in one or both directions, with a
// report of every one-second section.  Its speed mode is the section test's
// setting, here also 0 (both directions).  Nothing it serves is announced.
#include "speed_tests.h"

#include "mib_api.h"

namespace {

using igd1::OnFailure;
using igd1::Property;
using igd1::Raw;
namespace st = igd1::speed_tests;

constexpr int kSharedSpeedMode = 2;

// Reads go through the multi-section accessor, the one write through the
// section test's.
int store_speed_mode(int index, void *value) {
  return index == kSharedSpeedMode ? sectionSpeedtest_set_property(index, value) : 0;
}

constexpr Property kProperties[] = {
    {.name = "TestingStatus", .type = "y", .index = 0, .raw = Raw::U8,
     .on_failure = OnFailure::Fallback, .fallback_number = 0},
    {.name = "Result", .type = "y", .index = 1, .raw = Raw::U8, .on_failure = OnFailure::Fallback,
     .fallback_number = 1},
    {.name = "SpeedMode", .type = "y", .index = kSharedSpeedMode, .raw = Raw::U8,
     .on_failure = OnFailure::Fallback, .fallback_number = 0, .write = st::write_number<0, 2>,
     .write_log = "set SpeedMode [%u]."},
    {.name = "Report", .index = 3, .buffer = 900, .fallback_text = "", .read = st::read_long_text},
};

// The duration is checked, not passed on.
constexpr st::Start kStart = {
    .error_name = "com.wqx.igd1.httpDownloadSectionSpeedtest",
    .reads_duration = true,
    .start = [](uint32_t, uint32_t *result) { return sectionSpeedtestMulti_StartTest(result); }};

constexpr igd1::SingleObject kObject =
    st::member("SecctionSpeedtestMulti.xml", kProperties, sectionSpeedtestMulti_get_property,
               store_speed_mode, kStart,
               igd1::on_registered<sectionSpeedtestMulti_interface_init>, false);

}  // namespace

IGD1_METHOD_HANDLER(sectionSpeedtestMulti_handle_method_call, kObject)
IGD1_READ_HANDLER(sectionSpeedtestMulti_handle_get_property, kObject)
IGD1_WRITE_HANDLERS(sectionSpeedtestMulti_handle_set_property,
                    sectionSpeedtestMulti_handle_set_multi_properties, kObject)
IGD1_SINGLE_OBJECT(http_section_speedtest_multi, http_section_speedtest_multi_introspection_data,
                   kObject, sectionSpeedtestMulti_handle_method_call,
                   sectionSpeedtestMulti_handle_get_property,
                   sectionSpeedtestMulti_handle_set_property,
                   sectionSpeedtestMulti_handle_set_multi_properties)
