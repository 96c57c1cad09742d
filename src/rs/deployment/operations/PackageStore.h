#pragma once
// PackageStore: the application packages of the repository. Packages are
// modules of the repository's ".global" consumer: each stored name (the
// package name, or "<name>.type_<type>" for a package of one host type) has
// a directory REPO/.global/<stored name> holding its one file, and an entry
// in REPO/.global/.index. Uploads arrive in pieces (flag 0 first, 1 last,
// any other value in between) into "<file>.tmp" and are moved into place
// when the last piece arrives, so a reader never sees half a package.
//
// The storage walk is the module walk of a consumer (ModuleWalk.h): the
// letter-case check of a first piece, links kept on a new upload, the link
// check and tombstone of a removal.
//
// Thread-safety: none of its own. Work items use it under the work queue's
// readers/writer lock (exclusive for store and remove). Failures are thrown
// as KavException.

#include "interfaces/types/AppDplList.h"
#include "rs/repository/operations/UploadFile.h"

#include <cstdint>
#include <string>

class ACE_Message_Block;

namespace rs {

class ServiceContext;

class PackageStore {
public:
    static constexpr const char* kConsumer = ".global";
    static constexpr const char* kTypeSeparator = ".type_";

    // Over the context's repository directory, file cache and clock; the
    // context must outlive the store.
    explicit PackageStore(ServiceContext& context);

    // "<package>.type_<type>", or the package name when type is empty.
    // Throws RS_BAD_NAME for a name that cannot be a single path segment.
    static std::string storedName(const std::string& package, const std::string& type);

    const std::string& indexDir() const { return indexDir_; }
    std::string packageDir(const std::string& storedName) const;

    // Adds one upload piece of `sender` (modules::UploadFile: a package that
    // its getPackage answer could not carry is refused, a piece of a
    // connection that has gone is dropped and false returned); the last
    // piece (flag 1) completes the upload.
    bool storePiece(const std::string& storedName, const std::string& fileName,
        const ACE_Message_Block& piece, int32_t flag, const std::string& owner,
        const modules::UploadSender& sender);
    // Marks the package's entry deleted (the entry stays, so that a package
    // added again counts its versions on) and removes its directory
    // (0xd0014c35 when not stored; RS_BAD_NAME when the directory is also
    // a consumer's, ModuleDirectory.h; otherwise as modules::removeModule).
    void remove(const std::string& storedName);
    // Whether the package is stored, for any host type or none.
    bool contains(const std::string& package) const;
    // One record per stored package, consumer as given.
    AppDplList list(const std::string& consumer) const;
    // The record and the contents of the file its directory serves
    // (modules::servedFile, as for a module). The caller owns *data
    // (release() it). Throws 0xd0014c35 (not stored), 0xd0014c15 (no file)
    // or 0xd0014c16 (the file cannot be read).
    void read(const std::string& storedName, const std::string& consumer, AppDplEntry& record,
        ACE_Message_Block*& data) const;

private:
    ServiceContext& context_;
    std::string storageDir_;
    std::string indexDir_;
};

} // namespace rs
