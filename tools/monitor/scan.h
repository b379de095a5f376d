#pragma once
// monitor scan PORT: which power systems answer on a port, at which address
// and speed. Every address at every speed gets the model request the bus
// device sends first in its polling cycle, one request at a time; a silent
// address costs one answer timeout. The request, whether the plug-in
// supports the model, and how many AC units an answer covers all come from
// the plug-in's own bus device.
#include "tools/monitor/monitor_args.h"

#include <json/value.h>

#include <cstdio>
#include <string>
#include <vector>

namespace monitor {

struct FoundSystem {
    unsigned address = 0;
    unsigned baud = 0;
    std::string model;      // the answer's model text, fill bytes cut off
    unsigned version = 0;   // VER of the answer
    bool supported = false;  // the plug-in's bus device takes the model
    unsigned acUnits = 0;   // AC units the 40_41 answer covers
    unsigned dcUnits = 0;   // DC units the 42_41 answer names
    bool counted = false;   // both unit requests were answered
};

// The site file for what was found: one line per supported power system,
// bus data ids 1000, 2000, ..., its children's numbered after it. A system
// whose unit counts went unanswered is left out: a wrong count would be
// polled as written.
Json::Value SiteFor(const std::string& port, const std::vector<FoundSystem>& found);

// Scans args.scanPort; prints what answers and a closing note with the
// time the scan took. 0 when something answered, 1 when nothing did, a
// system's unit counts went unanswered, or the port or the site file could
// not be used.
int RunScan(const Args& args, std::FILE* out);

}  // namespace monitor
