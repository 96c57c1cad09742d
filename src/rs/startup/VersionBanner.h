#pragma once
// The version texts of the daemon: printed by -V and logged at start-up.

#include <string>

namespace rs {

inline constexpr int kBuildNumber = 100654;

// forPrint adds the binary type line that only -V shows (grid mode).
std::string versionBanner(bool gridMode, bool forPrint);

} // namespace rs
