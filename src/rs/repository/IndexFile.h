#pragma once
// IndexFile: the ".index" file of one repository directory, loaded into
// memory, searched, edited and written back whole.
//
// One line per module, fields joined by "|" without escaping:
//   moduleName|version|fileName|addTime|owner|deleted|fileSize|linkCount[|linkedApp...]
// Names never contain "|" or line ends (the name validator refuses them).
// Integer fields are read by their leading decimal digits (LeadingDigits.h).
//
// Life: constructed for a directory (reads the file at once), queried and
// edited, written with writeServiceFile if changed, destroyed. Unwritten
// changes are lost. The write is crash-safe (temporary file, sync, rename):
// a failed write leaves the previous file in place.
//
// Thread-safety: none of its own. Work items use an IndexFile on one thread,
// under the work queue's readers/writer lock (exclusive for changes).
// Every writeServiceFile drops the directory from IndexCache, which serves
// read-only users (lists) without parsing the file again.

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace kav {

// The parsed form of one index line.
struct ModuleIndexEntry {
    std::string moduleName;
    std::string version;
    std::string fileName;
    int32_t addTime = 0;
    std::string owner;
    bool deleted = false;
    int32_t fileSize = 0;
    int32_t linkCount = 0;
    std::vector<std::string> linkedApps;
};

class IndexFile {
public:
    static constexpr const char* kFileName = ".index";

    // Reads directory + "/.index"; a missing or unreadable file gives an empty index.
    // An index file that is there but cannot be read is never written over:
    // its entries would be lost (writeServiceFile fails, logged).
    explicit IndexFile(std::string directory);
    IndexFile(const IndexFile&) = delete;
    IndexFile& operator=(const IndexFile&) = delete;

    // -1 when the directory is empty; otherwise 0 (entries = the file's lines).
    int readServiceFile();
    // -1 when the directory is empty, the file could not be read or could
    // not be replaced (the previous file is then unchanged); 0 when written.
    int writeServiceFile();

    // Number of entries, deleted ones included.
    int getNumEntries() const;
    // Text before the first "|"; empty when there is none.
    std::string getNameFromEntry(const std::string& entry) const;
    // The sixth field (deleted) as a flag: non-zero is true.
    bool getFlagFromEntry(const std::string& entry) const;

    // The first entry of that exact name exists and is not deleted.
    bool doesEntryExist(const std::string& name) const;
    // Like doesEntryExist, comparing stored names cut before ".type_"; any matching entry counts.
    bool doesEntryExistAnyOS(const std::string& name) const;
    // Stored name of the first non-deleted entry equal to name ignoring ASCII case; empty when none.
    std::string getEntryAnyCase(const std::string& name) const;
    // Version text of the first entry of that name (deleted or not); "0" when none.
    std::string getVersionByName(const std::string& name) const;
    // The version an upload of that name gets: getVersionByName read by its
    // leading decimal digits (LeadingDigits.h), plus 1; the largest value
    // stays. A removed module's entry stays, so its versions count on.
    std::string nextVersion(const std::string& name) const;

    // Fills the outputs from the first entry of that name (deleted or not);
    // linkedApps is appended to. -1 (outputs untouched) when not found, else 0.
    int getServiceEntryByName(const std::string& name, std::string& version, std::string& fileName,
        int32_t& addTime, std::string& owner, bool& deleted, int32_t& fileSize, int32_t& linkCount,
        std::vector<std::string>& linkedApps) const;
    // The same as one record; -1 when not found.
    int getServiceEntryByName(const std::string& name, ModuleIndexEntry& entry) const;
    // Every entry parsed, in file order (one pass; what a module list needs).
    // Lines without a name (empty, or without "|") are left out.
    std::vector<ModuleIndexEntry> getAllEntries() const;
    // The same for lines as read from an index file.
    static std::vector<ModuleIndexEntry> parseLines(const std::vector<std::string>& lines);
    // linkCount of the entry; only meaningful when it exists.
    int getLinkCountByName(const std::string& name) const;
    // Appends every entry's name in file order, deleted entries included.
    void getPackageNameList(std::vector<std::string>& names) const;

    // Removes the first entry of that name, if any. Returns 0.
    int removeServiceEntryByName(const std::string& name);
    // Replaces any entry of moduleName by the new line, appended at the end.
    // linkCount should equal linkedApps.size(). Returns 0. Does not write the file.
    int addServiceEntry(const std::string& moduleName, const std::string& version,
        const std::string& fileName, int32_t addTime, const std::string& owner, bool deleted,
        int32_t fileSize, int32_t linkCount, const std::vector<std::string>* linkedApps = nullptr);
    int addServiceEntry(const ModuleIndexEntry& entry);
    // Rewrites the entry with deleted set (it moves to the end). -1 when not found, else 0.
    int deleteServiceByName(const std::string& name);

    const std::string& directory() const { return directory_; }
    // The full path of the index file.
    std::string path() const;

private:
    struct Line {
        std::string text;
        std::string name; // text before the first "|"
    };
    using Lines = std::list<Line>;

    // The first entry whose name equals name; null when none.
    const Line* findEntry(const std::string& name) const;
    void appendLine(std::string text);
    static void parseEntry(const std::string& text, ModuleIndexEntry& out);

    std::string directory_;
    bool unreadable_ = false; // the file is there but could not be read
    // File order, appended at the end; a look-up table keeps each search
    // constant-time so that listing n modules costs O(n), not O(n^2).
    Lines entries_;
    // Every entry of a name, in file order (a hand-edited file may repeat a name).
    std::unordered_map<std::string, std::vector<Lines::iterator>> byName_;
};

} // namespace kav
