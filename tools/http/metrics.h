#pragma once
// /metrics: the Prometheus text exposition format 0.0.4 of every line's
// latest round and health, and every alarm rule's state.
#include "tools/http/served_state.h"

#include <chrono>
#include <string>

namespace http {

std::string RenderMetrics(const ServedState& state, const HealthRule& health,
                          std::chrono::steady_clock::time_point now);
// A label value as the format wants it: \ " and newline escaped.
std::string EscapeLabel(const std::string& v);

}  // namespace http
