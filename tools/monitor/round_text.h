#pragma once
// A round object (model::BuildRound) as a screenful of plain text, for
// standard output that is not a terminal the dashboard can draw on.
#include <json/value.h>

#include <string>

namespace monitor {

std::string RenderText(const Json::Value& round);

}  // namespace monitor
