#pragma once
// ArchiveUnpacker: lays a fetched package out in a directory. A tar file
// (plain or gzip-compressed) or a zip file is unpacked; any other file is
// copied as it is, under its own file name.
//
// Entries that would land outside the directory are refused before anything
// of the archive is written: absolute paths, ".." components, and symbolic
// or hard links whose target leaves the tree. Device files and pipes are
// refused as well. A refused or damaged archive throws UnpackError; the
// caller then discards the directory, which is why it is a fresh one.
//
// Thread-safety: stateless; any thread.

#include <stdexcept>
#include <string>
#include <string_view>

namespace rsdeploy {

class UnpackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ArchiveUnpacker {
public:
    enum class Kind { Archive, PlainFile };

    // Unpacks `contents` (the package file named fileName) into targetDir,
    // which must exist. Returns what the contents were.
    static Kind unpack(std::string_view contents, const std::string& fileName, const std::string& targetDir);

    // Why an entry path (as stored in the archive) is refused; empty when it stays inside.
    static std::string pathRefusal(std::string_view entryPath);
    // Why a symbolic link at entryPath pointing to `target` is refused; empty when it stays inside.
    static std::string linkRefusal(std::string_view entryPath, std::string_view target);
};

} // namespace rsdeploy
