#include "tools/model/round.h"

#include "tools/model/round_json.h"
#include "tools/model/round_view.h"
#include "tools/runtime/json_line.h"

#include <json/reader.h>

#include <memory>

namespace model {

Round::Round(const Json::Value& object) : data_(RoundFromJson(object)), tree_(object), recorded_(true) {}

const std::string& Round::Text() const {
    std::call_once(textOnce_, [this] {
        if (recorded_) {
            text_ = rt::JsonLine(tree_);
            hasText_.store(true, std::memory_order_release);
            return;
        }
        // About the size of a large plant's round, so that the text is
        // written without growing its buffer again and again.
        text_.reserve(64 * 1024);
        AppendRound(text_, data_, SnapshotFields());
        text_.shrink_to_fit();
        hasText_.store(true, std::memory_order_release);
    });
    return text_;
}

const std::vector<std::string>& Round::SnapshotFields() const {
    std::call_once(fieldsOnce_, [this] { fields_ = SnapshotFieldsTexts(data_); });
    return fields_;
}

const Json::Value& Round::Tree() const {
    std::call_once(treeOnce_, [this] {
        if (recorded_) return;
        const std::string& text = Text();
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        std::string error;
        reader->parse(text.data(), text.data() + text.size(), &tree_, &error);
    });
    return tree_;
}

}  // namespace model
