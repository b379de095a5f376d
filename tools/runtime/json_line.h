#pragma once
// A JSON value as one line of text: no indentation, UTF-8 kept as it is,
// members in the value's own (sorted) order. What the monitor prints with
// --json and what it sends to the broker and to the page's event stream.
//
// Written by a small writer of our own: jsoncpp's stream writer goes
// through an ostream per token and was most of a round's cost. The text
// is what jsoncpp writes with no indentation and emitUTF8, except that a
// real number is written in its shortest form that reads back as the same
// double (still with a ".0" when it has no fraction, so it stays a real).
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace rt {

std::string JsonLine(const Json::Value& v);
// Appends v's text to out (out keeps its capacity between calls).
void AppendJson(std::string& out, const Json::Value& v);

// The pieces, for writers that have no tree (tools/model/round_json.h).
void AppendJsonString(std::string& out, const char* s, std::size_t n);
inline void AppendJsonString(std::string& out, const std::string& s) { AppendJsonString(out, s.data(), s.size()); }
void AppendJsonReal(std::string& out, double v);
void AppendJsonInt(std::string& out, std::int64_t v);
void AppendJsonUInt(std::string& out, std::uint64_t v);

}  // namespace rt
