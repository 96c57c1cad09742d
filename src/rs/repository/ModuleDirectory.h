#pragma once
// What a module directory (or a package's, below ".global") holds: the file
// it serves, the older files an upload leaves, and whether it is in fact a
// consumer's directory, which no module operation may store into without
// a consumer or remove.
//
// Consumer and module directories share one namespace: the index of
// consumer "/apps/web" lives in REPO/apps/web, which is also the directory
// of module "web" of consumer "/apps", and of a global module "apps" the
// tree above it; the packages live in REPO/.global.
//
// Threads: worker threads, under the work queue's readers/writer lock; the
// functions keep no state.

#include <string>

namespace kav {
class KavFileCache;
}

namespace rs::modules {

// The file a module directory serves: the first regular file the directory
// listing finds (findFile), whatever name the index records. An upload in
// progress ("<file>.tmp" until its last piece) is passed over, unless the
// index names it as the module's own file, and so is an index of a consumer
// that shares the directory. Empty when there is none.
std::string servedFile(const std::string& moduleDir, const std::string& indexedName);

// Deletes every regular file of the directory except keep (older uploads)
// and the repository's own files (an index), dropping them from `cache`
// (the process's file cache when none is given): subdirectories stay.
void removeOtherFiles(
    const std::string& directory, const std::string& keep, kav::KavFileCache* cache = nullptr);

// Throws RS_BAD_NAME for the argument `argument` of value `name` (logged,
// as the name validator does) when moduleDir is a consumer's directory:
// REPO/.global, the packages' own, or a directory holding an index at any
// depth. One that cannot be searched to the bottom is refused too: it
// cannot be told apart.
void refuseConsumerDirectory(const std::string& argument, const std::string& name,
    const std::string& repository, const std::string& moduleDir);

} // namespace rs::modules
