#pragma once
// How the repository's line files (".index", ".persist") read a number: the
// value of the field's leading decimal digits. Nothing is skipped before
// them, neither blanks nor a sign, so a field that does not begin with a
// digit reads as 0 (" 5" and "-1" too); a value beyond what the type holds
// reads as the largest one it holds. Hand-edited files cannot overflow it.
//
// Thread-safety: pure.

#include <concepts>
#include <limits>
#include <string_view>

namespace kav {

template <std::integral T> T leadingDigits(std::string_view text)
{
    constexpr T kLargest = std::numeric_limits<T>::max();
    T value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        const T digit = static_cast<T>(c - '0');
        if (value > (kLargest - digit) / 10)
            return kLargest;
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

} // namespace kav
