#pragma once
// FileReplacement: moves a finished upload over the file it replaces while
// keeping the replaced contents aside (a hard link, no copy) until the index
// that names the new file is written. Destroyed without commit(), it puts
// the replaced file back, so a failed index write leaves the previously
// served file in place.
//
// Threads: one worker thread, under the work queue's exclusive lock.

#include <string>

namespace rs::modules {

class FileReplacement {
public:
    FileReplacement(std::string upload, std::string target);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Drops the file cache's copy of target and moves upload over it.
    // Returns 0, or -1 with both files as they were.
    int apply();
    // The new file stays; the kept contents are deleted.
    void commit();

private:
    const std::string upload_;
    const std::string target_;
    const std::string kept_;
    bool applied_ = false;
    bool hadTarget_ = false;
};

} // namespace rs::modules
