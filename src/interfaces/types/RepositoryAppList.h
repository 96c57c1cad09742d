#pragma once
// The answer of getModuleList and getModule: one record per module index
// entry. Plain value type; not synchronised.

#include <cstdint>
#include <string>
#include <vector>

class ACE_OutputCDR;
class ACE_InputCDR;

namespace rs {

struct RepositoryAppEntry {
    std::string version;
    std::string moduleName;
    std::vector<std::string> linkedApps;
    std::string consumer; // whose index holds the entry
    std::string owner;
    std::string fileName;
    uint32_t fileSize = 0;
    uint32_t addTime = 0; // seconds since the epoch
    bool deleted = false;
    bool operator==(const RepositoryAppEntry&) const = default;
};

class RepositoryAppList {
public:
    size_t count() const { return entries_.size(); }
    const RepositoryAppEntry& at(size_t index) const { return entries_.at(index); }
    void append(RepositoryAppEntry entry) { entries_.push_back(std::move(entry)); }
    void clear() { entries_.clear(); }
    const std::vector<RepositoryAppEntry>& entries() const { return entries_; }
    bool operator==(const RepositoryAppList&) const = default;

private:
    std::vector<RepositoryAppEntry> entries_;
};

// Wire form: int32 count, then per record version, moduleName, int32 number
// of linked applications and their names, consumer, owner, fileName,
// fileSize, addTime, deleted (uint32 0 or 1).
bool writeRepositoryAppList(ACE_OutputCDR& out, const RepositoryAppList& list);
// On failure `list` is left empty.
bool readRepositoryAppList(ACE_InputCDR& in, RepositoryAppList& list);
// "Total Packages =  '<count>" then per record the package, module and
// creation-time lines (local time).
std::string dumpRepositoryAppList(const RepositoryAppList& list);

} // namespace rs
