#pragma once
// KeptFile: what a module file was before an upload replaced it, kept on disk
// until the index records the replacement, so that a crash in between can be
// undone at the next start (RepositoryRecovery).
//
// The record lives in a directory beside the file, inside the module
// directory, whose name begins with "|" (a character the name validator
// refuses in every module, file and consumer name, so no stored name can
// collide with it):
//   MODULEDIR/|replaced|VERSION/FILE  a hard link to FILE's contents of VERSION
//   MODULEDIR/|created|VERSION/FILE   an empty marker: FILE did not exist at VERSION
// VERSION is the module's version in the index when the replacement began
// ("0" when the index has no entry). The directory is removed when the
// replacement is recorded (discard) or undone (restore).
//
// Thread-safety: none of its own. Work items use it under the work queue's
// exclusive lock; the start-up recovery runs before any work item.

#include <optional>
#include <string>

namespace kav {

class KavFileCache;

class KeptFile {
public:
    enum class Kind { Replaced, Created };

    // One record found on disk, as the start-up recovery reads it back.
    struct Record {
        Kind kind;
        std::string version;
    };

    // Nothing is kept until keep(). `cache` is the file cache that may hold
    // target (the process's when none is given).
    KeptFile(std::string target, std::string version, KavFileCache* cache = nullptr);
    // Undoes the replacement (restore()) when keep() succeeded and neither
    // restore() nor discard() was called.
    ~KeptFile();
    KeptFile(const KeptFile&) = delete;
    KeptFile& operator=(const KeptFile&) = delete;

    // Records target's current state (its contents, or that it is absent) as
    // that of the version, replacing a record a crash left for the same version.
    // The record is on disk when this returns 0; -1: nothing recorded, target unchanged.
    int keep();
    // Puts target back as it was at keep(): the kept contents moved over it,
    // or target removed when it did not exist then. Drops the file cache's copy.
    void restore();
    // The replacement is recorded in the index: the record goes, target stays.
    void discard();

    // The name of a record directory, and the reverse (nullopt when the name
    // is not one).
    static std::string directoryName(Kind kind, const std::string& version);
    static std::optional<Record> parseDirectoryName(const std::string& name);

    // Undoes, from the record directory of a crashed replacement of moduleDir/fileName,
    // and removes the record. Returns 0, or -1 (logged by the file utilities; the record stays).
    static int restoreFrom(
        const std::string& recordDir, Kind kind, const std::string& moduleDir, const std::string& fileName);
    // Removes the record file and its directory. Returns 0 or -1.
    static int removeRecord(const std::string& recordDir, const std::string& fileName);

private:
    const std::string target_;
    const std::string moduleDir_;
    const std::string fileName_;
    const std::string version_;
    KavFileCache& cache_;
    std::optional<Kind> kept_;
};

} // namespace kav
