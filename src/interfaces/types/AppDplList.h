#pragma once
// The answer of getPackageList and getPackage: one record per stored
// application package. Plain value type; not synchronised.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class ACE_OutputCDR;
class ACE_InputCDR;

namespace rs {

struct AppDplEntry {
    std::string packageName; // stored name before ".type_"
    std::string packageType; // after ".type_", empty when none
    std::string consumer;
    std::string owner;
    std::string fileName;
    uint32_t fileSize = 0;
    std::string reserved; // always sent empty
    uint32_t addTime = 0; // seconds since the epoch
    bool operator==(const AppDplEntry&) const = default;

    // Fills packageName and packageType from a stored package name.
    void setStoredName(std::string_view storedName);
};

struct AppDplList {
    std::vector<AppDplEntry> entries;
    bool operator==(const AppDplList&) const = default;
};

// Wire form: int32 count, then per record the five strings, fileSize,
// reserved, addTime.
bool writeAppDplList(ACE_OutputCDR& out, const AppDplList& list);
// On failure `list` is left empty.
bool readAppDplList(ACE_InputCDR& in, AppDplList& list);
std::string dumpAppDplList(const AppDplList& list);

} // namespace rs
