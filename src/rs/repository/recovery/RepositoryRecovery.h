#pragma once
// RepositoryRecovery: puts the repository in order after a crash, before the
// service accepts its first request. It walks every directory below the
// repository directory (symbolic links are not followed); for a directory
// MODULEDIR whose parent INDEXDIR holds the index of module MODULE
// (= MODULEDIR's name; the global index, a consumer's or ".global"'s):
//
// - A replacement record (KeptFile) of version V: when the index still gives
//   MODULE version V, the replacement was never recorded and is undone (the
//   kept contents go back, or a file that did not exist is removed; WARN);
//   otherwise the index names the new file and the record is dropped (INFO).
// - A regular file "NAME.tmp" is a stale upload file (no upload outlives the
//   process that received it) and is removed (INFO), unless the index entry of
//   MODULE names "NAME.tmp" as its stored file. ".index.tmp", the temporary
//   of an interrupted index write, is removed in any directory.
// - Another regular file beside the one the index names for MODULE is what an
//   earlier version left when a crash came between recording a replacement
//   under a new file name and removing the old file; it is removed (INFO), so
//   that a download, which serves the file it finds first, finds the
//   recorded one. Names no module file can have (".index" of a consumer
//   sharing the directory, ".nfs..." files) are left alone.
//
// A directory whose index exists but cannot be read is left alone (WARN):
// without the index nothing there can be told from a user's file.
//
// Thread-safety: run() must be the only user of the repository while it runs
// (start-up, before the work queue starts).

#include <string>

namespace kav {

class RepositoryRecovery {
public:
    struct Summary {
        int restored = 0; // replacements undone
        int dropped = 0; // records of recorded replacements removed
        int uploadsRemoved = 0; // stale upload and index temporaries removed
        int earlierFilesRemoved = 0; // files of earlier versions beside the recorded one
        int failures = 0; // records or files that could not be handled (left in place)
    };

    explicit RepositoryRecovery(std::string repository);

    // Walks the repository once; logs each action and, when anything was
    // found, a summary line at INFO.
    Summary run();

private:
    class Walk;

    const std::string repository_;
};

} // namespace kav
