#pragma once
// Builds small package archives in memory for the deploy command's tests,
// including hostile ones that an honest packer would never produce.

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

namespace rs::test {

struct ArchiveEntrySpec {
    enum Type { File, Dir, Symlink, Hardlink } type = File;
    std::string path;
    std::string contents; // File: the bytes; Symlink/Hardlink: the target
    int mode = 0644;
};

enum class ArchiveFormat { Tar, TarGz, Zip };

inline std::string makeArchive(
    const std::vector<ArchiveEntrySpec>& entries, ArchiveFormat format = ArchiveFormat::Tar)
{
    std::vector<char> buffer(1 << 20);
    size_t used = 0;
    archive* writer = archive_write_new();
    if (format == ArchiveFormat::Zip) {
        archive_write_set_format_zip(writer);
    } else {
        archive_write_set_format_pax_restricted(writer);
        if (format == ArchiveFormat::TarGz)
            archive_write_add_filter_gzip(writer);
    }
    archive_write_open_memory(writer, buffer.data(), buffer.size(), &used);
    for (const auto& spec : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, spec.path.c_str());
        archive_entry_set_perm(entry, spec.mode);
        switch (spec.type) {
        case ArchiveEntrySpec::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(spec.contents.size()));
            break;
        case ArchiveEntrySpec::Dir:
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, 0755);
            break;
        case ArchiveEntrySpec::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, spec.contents.c_str());
            break;
        case ArchiveEntrySpec::Hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, spec.contents.c_str());
            break;
        }
        archive_write_header(writer, entry);
        if (spec.type == ArchiveEntrySpec::File && !spec.contents.empty())
            archive_write_data(writer, spec.contents.data(), spec.contents.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return std::string(buffer.data(), used);
}

} // namespace rs::test
