#pragma once
// FileReplacement: moves a finished upload over the file it replaces while
// keeping what the file was (KeptFile: its contents as a hard link, or that
// it did not exist) until the index that names the new file is written.
// Destroyed without commit(), it puts the replaced file back, so a failed
// index write leaves the previously served file in place; a crash before
// commit() is undone by the start-up recovery (RepositoryRecovery), which
// reads the version the kept record belongs to.
//
// Threads: one worker thread, under the work queue's exclusive lock.

#include "rs/repository/recovery/KeptFile.h"

#include <string>

namespace kav {
class KavFileCache;
}

namespace rs::modules {

class FileReplacement {
public:
    // version: the module's version in the index before the replacement
    // (getVersionByName: "0" when there is no entry). `cache` is the file
    // cache that may hold target (the process's when none is given).
    FileReplacement(
        std::string upload, std::string target, std::string version, kav::KavFileCache* cache = nullptr);
    ~FileReplacement() = default;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Records the target's current state, drops the file cache's copy of it
    // and moves upload over it. Returns 0, or -1 with both files as they were.
    int apply();
    // The new file stays; the kept record is deleted.
    void commit();

private:
    const std::string upload_;
    const std::string target_;
    kav::KavFileCache& cache_;
    kav::KeptFile kept_;
};

} // namespace rs::modules
