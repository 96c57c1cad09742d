#pragma once
// The answer of getPackageStatus: one status record per host.
// Plain value type; not synchronised.

#include "interfaces/types/HostDeployState.h"

#include <string>
#include <vector>

class ACE_OutputCDR;
class ACE_InputCDR;

namespace rs {

struct DplStatusEntry {
    std::string hostName;
    uint32_t state = HOST_STATE_NONE; // a HostDeployState
    std::string message; // the error text of an ERROR entry
    bool operator==(const DplStatusEntry&) const = default;
};

struct DplStatusList {
    std::vector<DplStatusEntry> entries;
    bool operator==(const DplStatusList&) const = default;
};

// Wire form: int32 count, then per record hostName, message, state.
bool writeDplStatusList(ACE_OutputCDR& out, const DplStatusList& list);
// On failure `list` is left empty.
bool readDplStatusList(ACE_InputCDR& in, DplStatusList& list);
// Debug text: one line per host.
std::string dumpDplStatusList(const DplStatusList& list);

} // namespace rs
