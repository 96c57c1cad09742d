#pragma once
// KavVersion: a product version as it travels in getRSVersion and its
// answer. Plain value type.

#include <cstdint>
#include <string>

// <sys/sysmacros.h> defines major() and minor() as macros on some systems.
#ifdef major
#undef major
#endif
#ifdef minor
#undef minor
#endif

struct KavVersion {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t level = 0;
    std::string text;

    // "major.minor"
    std::string display() const { return std::to_string(major) + "." + std::to_string(minor); }
    bool operator==(const KavVersion&) const = default;
};
