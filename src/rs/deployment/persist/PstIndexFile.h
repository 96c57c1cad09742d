#pragma once
// PstIndexFile: the ".persist" file of the repository directory, which keeps
// the last known deployment state of every (package, host) across restarts.
//
// One line per package, fields joined by "|" without escaping:
//   package|hostCount{|host|stamp|state|errorText}
// with the host groups in host-name order. An error text holding "|" or a
// line end is stored with blanks in their place. Lines are rewritten whole and the
// updated line moves to the end of the file. Numbers are read by their
// leading decimal digits (LeadingDigits.h).
//
// Thread-safety: none of its own; PersistedDeploymentState serialises every
// use under its lock.

#include "rs/deployment/status/HostStatusEntry.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rs {

class PstIndexFile {
public:
    static constexpr const char* kFileName = ".persist";

    // Reads directory + "/.persist" at once; a missing file means no state,
    // and so does one that is there but cannot be read, which is then never
    // written over (writeServiceFile fails, logged): it keeps its lines.
    explicit PstIndexFile(std::string directory);
    PstIndexFile(const PstIndexFile&) = delete;
    PstIndexFile& operator=(const PstIndexFile&) = delete;

    // -1 when the directory is empty, else 0 (lines = the file's lines).
    int readServiceFile();
    // -1 when the directory is empty, the file could not be read or could
    // not be replaced; else 0.
    int writeServiceFile();

    // Text before the first "|"; empty when there is none.
    static std::string getNameFromEntry(const std::string& line);
    // Appends every line's package name in file order.
    void getPackageNameList(std::vector<std::string>& names) const;
    // Removes the package's line, if any. Returns 0.
    int removeServiceEntryByName(const std::string& package);

    // Adds one entry per host group of the package's line to `hosts`, with an
    // empty resource and the uninstall flag false. -1 when the package has no line.
    int getServiceEntryByName(const std::string& package, HostStatusMap& hosts) const;
    // Every package of the file with its hosts (start-up read back).
    void getServiceEntryByName(std::map<std::string, HostStatusMap>& table) const;

    // Replaces the package's line by one built from `hosts`. Does not write the file.
    int addServiceEntry(const std::string& package, const HostStatusMap& hosts);
    // Sets one host of the package's line, adding it when absent. Does not write the file.
    int addServiceEntry(const std::string& package, const std::string& host, int32_t stamp, uint32_t state,
        const std::string& errorText);

    const std::vector<std::string>& lines() const { return lines_; }
    std::string path() const;

private:
    size_t findLine(const std::string& package) const;

    std::string directory_;
    bool unreadable_ = false; // the file is there but could not be read
    std::vector<std::string> lines_;
};

} // namespace rs
