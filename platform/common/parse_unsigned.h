// Digits to a number, for the text formats the platform layer and its build tools read.
// Header only: the build-host message compiler uses it too.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvp::internal {

// The digits (base 10 or 16, no sign, prefix or spaces) as a number of at most max;
// false for an empty text, any other character or a larger value.
inline bool ParseDigits(std::string_view digits, int base, uint64_t max, uint64_t* out) {
    if (digits.empty()) return false;
    uint64_t v = 0;
    for (const char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        // Checked before it grows, so that no text can wrap the number round.
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

// "0x" or "0X" and at least one hexadecimal digit after it.
inline bool HasHexPrefix(std::string_view s) {
    return s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

}  // namespace kvp::internal
