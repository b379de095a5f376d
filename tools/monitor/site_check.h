#pragma once
// monitor check SITE: everything the monitor would refuse or silently
// ignore in a site file at start, found without a serial port. The same
// readers as at start-up report every problem instead of stopping at the
// first; on top come unknown keys (with the nearest known key as a hint),
// the bus device's own keys, the bus device's own check of its
// configuration through the plug-in, and the files the monitor writes.
#include "tools/monitor/monitor_args.h"
#include "tools/runtime/config_problems.h"

#include <json/value.h>

#include <cstdio>
#include <string>
#include <vector>

namespace monitor {

// Reads a site file: a JSON object, no key given twice.
Json::Value ReadSite(const std::string& path, rt::ConfigProblems& problems);

// Every problem of the site file args.config, with args.plugin, and
// args.database and args.log as the monitor would be given them.
std::vector<rt::ConfigProblem> CheckSite(const Args& args);

// Prints the problems, one a line, and a closing line; 0 when there is none.
// The monitor prints them on standard error.
int RunCheck(const Args& args, std::FILE* out);

}  // namespace monitor
