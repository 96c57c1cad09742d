#pragma once
// The answer of getModuleList and getModule: one record per module index
// entry. Value type; not synchronised, except that a sealed list may be read
// (and written to the wire) by several threads at once.

#include <cstdint>
#include <memory>
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
    void append(RepositoryAppEntry entry)
    {
        entries_.push_back(std::move(entry));
        wire_.reset();
    }
    void assign(std::vector<RepositoryAppEntry> entries)
    {
        entries_ = std::move(entries);
        wire_.reset();
    }
    void clear()
    {
        entries_.clear();
        wire_.reset();
    }
    const std::vector<RepositoryAppEntry>& entries() const { return entries_; }
    bool operator==(const RepositoryAppList& other) const { return entries_ == other.entries_; }

    // For a list that is shared read-only from now on and sent again and
    // again: encodes it once, so that writeRepositoryAppList copies these
    // bytes instead of encoding every record for every answer. Any change
    // drops them.
    void seal();
    // The sealed encoding (native byte order, from a 4-byte boundary), or null.
    const std::string* wire() const { return wire_.get(); }

private:
    std::vector<RepositoryAppEntry> entries_;
    std::shared_ptr<const std::string> wire_;
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
