#pragma once
// A JSON value as one line of text: no indentation, UTF-8 kept as it is.
// What the monitor prints with --json and what it sends to the broker and
// to the page's event stream.
#include <json/value.h>

#include <string>

namespace rt {

std::string JsonLine(const Json::Value& v);

}  // namespace rt
