#pragma once
// Whether the model field of a 40_51 answer names a supported model. The
// field holds the model word followed by fill (NUL or space) up to its 20
// bytes. The word must equal a supported name exactly, case included: the
// field is an identification string written by the unit, and another
// spelling is another product as far as this driver can tell.
#include <string>
#include <vector>

namespace bus_cycle {

inline bool IsModelFill(char c) { return c == '\0' || c == ' '; }

inline bool NamesModel(const std::string& field, const std::string& name) {
    if (name.empty() || field.size() < name.size()) return false;
    if (field.compare(0, name.size(), name) != 0) return false;
    for (std::string::size_type i = name.size(); i < field.size(); ++i)
        if (!IsModelFill(field[i])) return false;
    return true;
}

inline bool NamesAnyModel(const std::string& field, const std::vector<std::string>& names) {
    for (const std::string& n : names)
        if (NamesModel(field, n)) return true;
    return false;
}

}  // namespace bus_cycle
