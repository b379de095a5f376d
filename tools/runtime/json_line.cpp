#include "tools/runtime/json_line.h"

#include <json/writer.h>

namespace rt {

std::string JsonLine(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

}  // namespace rt
