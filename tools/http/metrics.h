#pragma once
// /metrics: the Prometheus text exposition format 0.0.4 of the latest round,
// every alarm rule's state and the line's health.
#include "tools/http/served_state.h"

#include <string>

namespace http {

std::string RenderMetrics(const ServedState& state);
// A label value as the format wants it: \ " and newline escaped.
std::string EscapeLabel(const std::string& v);

}  // namespace http
