#include "tools/http/metric_table.h"

#include <cstring>

namespace http {
namespace {

#define STATE_HELP(text) text " (0 normal, 1 low, 2 high, 3 missing or lost)"

const FieldMetric kFieldMetrics[] = {
    // AC distribution (5106): phase currents and, per input channel, voltages and frequency.
    {5106, "", "ia", "pmbus_ac_phase_current_amperes", "AC phase current", "phase", "a"},
    {5106, "", "ib", "pmbus_ac_phase_current_amperes", "AC phase current", "phase", "b"},
    {5106, "", "ic", "pmbus_ac_phase_current_amperes", "AC phase current", "phase", "c"},
    {5106, "", "ia_alert", "pmbus_ac_phase_current_state", STATE_HELP("AC phase current state"), "phase", "a"},
    {5106, "", "ib_alert", "pmbus_ac_phase_current_state", STATE_HELP("AC phase current state"), "phase", "b"},
    {5106, "", "ic_alert", "pmbus_ac_phase_current_state", STATE_HELP("AC phase current state"), "phase", "c"},
    {5106, "channels", "a", "pmbus_ac_input_voltage_volts", "AC input voltage", "phase", "a"},
    {5106, "channels", "b", "pmbus_ac_input_voltage_volts", "AC input voltage", "phase", "b"},
    {5106, "channels", "c", "pmbus_ac_input_voltage_volts", "AC input voltage", "phase", "c"},
    {5106, "channels", "f", "pmbus_ac_input_frequency_hertz", "AC input frequency", "", ""},
    {5106, "channels", "a_alert", "pmbus_ac_input_voltage_state", STATE_HELP("AC input voltage state"), "phase", "a"},
    {5106, "channels", "b_alert", "pmbus_ac_input_voltage_state", STATE_HELP("AC input voltage state"), "phase", "b"},
    {5106, "channels", "c_alert", "pmbus_ac_input_voltage_state", STATE_HELP("AC input voltage state"), "phase", "c"},
    {5106, "channels", "f_alert", "pmbus_ac_input_frequency_state", STATE_HELP("AC input frequency state"), "", ""},
    // DC distribution (5108).
    {5108, "", "v", "pmbus_dc_output_voltage_volts", "DC output voltage", "", ""},
    {5108, "", "i", "pmbus_dc_current_amperes", "DC load current of the unit", "", ""},
    {5108, "", "m_value", "pmbus_dc_battery_current_amperes", "DC battery current of each battery string as received", "", ""},
    {5108, "", "v_alert", "pmbus_dc_output_voltage_state", "DC output voltage state (0 normal, 1 low, 2 high)", "", ""},
    {5108, "", "alert_m", "pmbus_dc_alarm_state", "DC alarm bytes as received (3: battery-fuse fault)", "", ""},
    // Rectifiers (5107): the group voltage and per module its current, state and fault bytes.
    {5107, "", "group_value", "pmbus_rectifier_group_voltage_volts", "Rectifier group output voltage", "", ""},
    {5107, "modules", "value", "pmbus_rectifier_module_current_amperes", "Rectifier module output current", "", ""},
    {5107, "modules", "state", "pmbus_rectifier_module_state", "Rectifier module state bytes as received", "", ""},
    {5107, "modules", "fault", "pmbus_rectifier_module_fault", "Rectifier module fault byte as received", "", ""},
};

#undef STATE_HELP

}  // namespace

const FieldMetric* FieldMetrics(std::size_t& count) {
    count = sizeof kFieldMetrics / sizeof kFieldMetrics[0];
    return kFieldMetrics;
}

const char* ListLabel(const char* list) {
    if (std::strcmp(list, "channels") == 0) return "channel";
    if (std::strcmp(list, "modules") == 0) return "module";
    return list;
}

}  // namespace http
