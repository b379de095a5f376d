#include "tools/model/round.h"

#include "tools/runtime/json_line.h"

namespace model {

const std::string& Round::Text() const {
    std::call_once(once_, [this] {
        // About the size of the example plant's round, so that the text is
        // written without growing its buffer again and again.
        text_.reserve(64 * 1024);
        rt::AppendJson(text_, tree_);
        text_.shrink_to_fit();
        hasText_.store(true, std::memory_order_release);
    });
    return text_;
}

}  // namespace model
