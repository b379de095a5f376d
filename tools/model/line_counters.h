#pragma once
// The line counters of a round's "stats" object, named once: the runtime's
// member, the JSON name, the dashboard's word for it and, for those worth an
// event when they grow, the event's words. In the dashboard's order.
#include "tools/runtime/host_runtime.h"

#include <cstdint>

namespace model {

struct LineCounter {
    std::uint64_t rt::LineStats::*value;
    const char* key;    // member of "stats"
    const char* label;  // on the dashboard's line row
    const char* one;    // event when it grew by one; nullptr: no event
    const char* many;   // event when it grew by more
};

inline constexpr LineCounter kLineCounters[] = {
    {&rt::LineStats::requests, "requests", "requests", nullptr, nullptr},
    {&rt::LineStats::answers, "answers", "answers", nullptr, nullptr},
    {&rt::LineStats::timeouts, "timeouts", "timeouts", "timeout", "timeouts"},
    {&rt::LineStats::bad_frames, "bad_frames", "bad frames", "bad frame", "bad frames"},
    {&rt::LineStats::error_answers, "error_answers", "error RTN", "error answer", "error answers"},
    {&rt::LineStats::late_frames, "late_frames", "late", "late answer", "late answers"},
    {&rt::LineStats::stray_frames, "stray_frames", "stray", "stray frame", "stray frames"},
    {&rt::LineStats::echoes, "echoes", "echoes", nullptr, nullptr},
    {&rt::LineStats::foreign_frames, "foreign_frames", "foreign", nullptr, nullptr},
    {&rt::LineStats::noise_bytes, "noise_bytes", "noise bytes", nullptr, nullptr},
    {&rt::LineStats::stale_bytes, "stale_bytes", "stale bytes", nullptr, nullptr},
    {&rt::LineStats::port_losses, "port_losses", "port losses", "port lost", "port losses"},
    {&rt::LineStats::reopens, "reopens", "reopens", "port reopened", "port reopens"},
};

}  // namespace model
