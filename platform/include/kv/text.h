// Names compared without regard to case, as ASCII on every system and in every locale:
// registry names, service and protocol names, facility names, client names, modes.
#pragma once

#include <string>
#include <string_view>

namespace kvp {

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

constexpr bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && EqualNoCase(s.substr(s.size() - suffix.size()), suffix);
}

inline std::string ToAsciiLower(std::string s) {
    for (char& c : s) c = AsciiLower(c);
    return s;
}

}  // namespace kvp
