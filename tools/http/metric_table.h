#pragma once
// Which decoded snapshot fields become Prometheus gauges: one row per field
// name of a device's "fields" object (or of its "channels"/"modules" list
// items). The one place that gives them a metric family, a unit and labels.
#include <cstddef>

namespace http {

struct FieldMetric {
    int type_number;        // 5106 AC, 5107 rectifiers, 5108 DC
    const char* list;       // "" for the head record, else the list whose items carry the field
    const char* field;      // name in "fields" (or in a list item)
    const char* family;     // metric name, base unit as suffix
    const char* help;
    const char* label;      // extra label with a fixed value ("" for none), e.g. phase
    const char* value;
};
// Items of a list are labelled list_label="1", "2", ... (channel, module);
// an array field's elements index="1", "2", ...

const FieldMetric* FieldMetrics(std::size_t& count);
// "channel" for "channels", "module" for "modules".
const char* ListLabel(const char* list);

}  // namespace http
