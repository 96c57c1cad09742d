#pragma once
// The steps that store and remove one module in an index directory, shared
// by a consumer's modules and the packages of ".global": the letter-case
// check of a first piece, the completion of an upload (next version, links
// of a present entry kept, the served file replaced only once the index
// names the new one) and the removal (tombstone, link check, directory).
//
// Thread-safety: none of its own; the work items call it under the work
// queue's exclusive lock. Failures are thrown as KavException.

#include "rs/repository/IndexFile.h"

#include <cstdint>
#include <string>

namespace kav {
class KavFileCache;
}

namespace rs::modules {

class UploadFile;

// Throws 0xD0014C49 (name, stored name) when the index holds a module whose
// name differs from `name` only in letter case.
void refuseNameCaseClash(const kav::IndexFile& index, const std::string& name);

// The entry an upload of `name` completes to: the next version, the links of
// an entry that is present (a removed one's are gone), file and owner.
kav::ModuleIndexEntry upcomingEntry(const kav::IndexFile& index, const std::string& name,
    const std::string& fileName, const std::string& owner);

// Moves the completed upload of `fileName` into `dir`, records it in the index (written
// before the replaced file goes) and finishes the upload. Returns the entry
// written. Throws 0xD0014C12 (the target, or ".index").
kav::ModuleIndexEntry completeUpload(kav::IndexFile& index, const std::string& dir, const std::string& name,
    const std::string& fileName, const std::string& owner, int32_t now, UploadFile& upload,
    kav::KavFileCache& cache);

// Marks the module's entry deleted (its versions count on) and removes its
// directory. Throws 0xD0014C1A (name, consumer) when no entry is present or
// the directory was already gone (the index change stays), 0xD0014C1F
// (name) while applications are linked, 0xD0014C12 (".index"), 0xD0014C14.
void removeModule(kav::IndexFile& index, const std::string& dir, const std::string& name,
    const std::string& consumer, kav::KavFileCache& cache);

} // namespace rs::modules
