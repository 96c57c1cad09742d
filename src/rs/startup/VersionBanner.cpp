#include "rs/startup/VersionBanner.h"

namespace rs {

namespace {

constexpr const char* kMiddlewareProduct = "Kavella";
constexpr const char* kResourceManagerProduct = "Kavella Cluster Manager";
constexpr const char* kBuildDate = __DATE__;
constexpr const char* kNotice = "Copyright the Kavella developers. All rights reserved.";
constexpr const char* kBinaryType = "linux-x86_64";

} // namespace

std::string versionBanner(bool gridMode, bool forPrint)
{
    std::string build = std::to_string(kBuildNumber) + ", " + kBuildDate + "\n" + kNotice + "\n";
    if (!gridMode)
        return std::string(kMiddlewareProduct) + " 4.0.0." + build;
    std::string text = std::string(kResourceManagerProduct) + " 1.2.3." + build;
    if (forPrint)
        text += std::string("binary type: ") + kBinaryType + "\n";
    return text;
}

} // namespace rs
