#include "tools/rsdeploy/ArchiveUnpacker.h"

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <vector>

namespace rsdeploy {

namespace {

using ReadArchive = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteArchive = std::unique_ptr<archive, decltype(&archive_write_free)>;

// Null when the contents are of no format we unpack.
ReadArchive openArchive(std::string_view contents)
{
    ReadArchive reader(archive_read_new(), &archive_read_free);
    if (!reader)
        throw UnpackError("archive reader not created");
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    archive_read_support_format_gnutar(reader.get());
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), contents.data(), contents.size()) != ARCHIVE_OK)
        return ReadArchive(nullptr, &archive_read_free);
    return reader;
}

// Splits at "/", dropping empty and "." components; false on "..".
bool components(std::string_view path, std::vector<std::string_view>& out, bool allowParent)
{
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (!allowParent || out.empty())
                return false;
            out.pop_back();
        } else if (!part.empty() && part != ".") {
            out.push_back(part);
        }
        start = end + 1;
    }
    return true;
}

std::string entryPath(archive_entry* entry)
{
    const char* path = archive_entry_pathname(entry);
    return path ? path : "";
}

// Every reason to refuse one entry; empty when it may be written.
std::string entryRefusal(archive_entry* entry)
{
    const std::string path = entryPath(entry);
    if (std::string why = ArchiveUnpacker::pathRefusal(path); !why.empty())
        return why;
    // A hard link names an earlier entry; tar readers give it no file type.
    if (const char* hardlink = archive_entry_hardlink(entry)) {
        if (std::string why = ArchiveUnpacker::pathRefusal(hardlink); !why.empty())
            return "hard link '" + path + "': " + why;
        return {};
    }
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
    case AE_IFDIR:
        break;
    case AE_IFLNK: {
        const char* target = archive_entry_symlink(entry);
        if (std::string why = ArchiveUnpacker::linkRefusal(path, target ? target : ""); !why.empty())
            return why;
        break;
    }
    default:
        return "entry '" + path + "' is neither a file, a directory nor a link";
    }
    return {};
}

// First pass: every header is read and checked before anything is written.
// False when the contents are not an archive at all.
bool checkArchive(std::string_view contents)
{
    ReadArchive reader = openArchive(contents);
    if (!reader)
        return false;
    archive_entry* entry = nullptr;
    bool first = true;
    for (;;) {
        int rc = archive_read_next_header(reader.get(), &entry);
        if (rc == ARCHIVE_EOF)
            return true;
        if (rc < ARCHIVE_WARN) {
            if (first)
                return false;
            throw UnpackError(std::string("damaged archive: ") + archive_error_string(reader.get()));
        }
        first = false;
        if (std::string why = entryRefusal(entry); !why.empty())
            throw UnpackError("refused archive entry: " + why);
    }
}

void copyData(archive* reader, archive* writer, const std::string& path)
{
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        int rc = archive_read_data_block(reader, &block, &size, &offset);
        if (rc == ARCHIVE_EOF)
            return;
        if (rc < ARCHIVE_WARN)
            throw UnpackError("reading '" + path + "': " + archive_error_string(reader));
        if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN)
            throw UnpackError("writing '" + path + "': " + archive_error_string(writer));
    }
}

void extractArchive(std::string_view contents, const std::string& targetDir)
{
    ReadArchive reader = openArchive(contents);
    if (!reader)
        throw UnpackError("archive no longer readable");
    WriteArchive writer(archive_write_disk_new(), &archive_write_free);
    // Defence in depth: the first pass already refused these.
    archive_write_disk_set_options(writer.get(),
        ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT
            | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    archive_entry* entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) != ARCHIVE_EOF) {
        if (rc < ARCHIVE_WARN)
            throw UnpackError(std::string("damaged archive: ") + archive_error_string(reader.get()));
        const std::string path = entryPath(entry);
        archive_entry_set_pathname(entry, (targetDir + "/" + path).c_str());
        if (const char* hardlink = archive_entry_hardlink(entry))
            archive_entry_set_hardlink(entry, (targetDir + "/" + hardlink).c_str());
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN)
            throw UnpackError("writing '" + path + "': " + archive_error_string(writer.get()));
        if (archive_entry_size(entry) > 0)
            copyData(reader.get(), writer.get(), path);
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
            throw UnpackError("finishing '" + path + "': " + archive_error_string(writer.get()));
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        throw UnpackError(std::string("closing the tree: ") + archive_error_string(writer.get()));
}

void copyPlainFile(std::string_view contents, const std::string& fileName, const std::string& targetDir)
{
    std::vector<std::string_view> parts;
    if (!components(fileName, parts, false) || parts.size() != 1 || parts.front() != fileName)
        throw UnpackError("package file name '" + fileName + "' is not a plain file name");
    const std::string path = targetDir + "/" + fileName;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out)
        throw UnpackError("writing '" + path + "' failed");
}

} // namespace

std::string ArchiveUnpacker::pathRefusal(std::string_view entryPath)
{
    if (entryPath.empty())
        return "entry without a name";
    if (entryPath.front() == '/')
        return "absolute path '" + std::string(entryPath) + "'";
    std::vector<std::string_view> parts;
    if (!components(entryPath, parts, false))
        return "path '" + std::string(entryPath) + "' contains '..'";
    return {};
}

std::string ArchiveUnpacker::linkRefusal(std::string_view entryPath, std::string_view target)
{
    if (target.empty())
        return "link '" + std::string(entryPath) + "' without a target";
    if (target.front() == '/')
        return "link '" + std::string(entryPath) + "' points to the absolute path '" + std::string(target)
            + "'";
    std::vector<std::string_view> parts;
    components(entryPath, parts, false);
    if (!parts.empty())
        parts.pop_back(); // the link itself; its target is relative to its directory
    std::string joined;
    for (auto part : parts)
        joined.append(part).append("/");
    joined.append(target);
    std::vector<std::string_view> resolved;
    if (!components(joined, resolved, true))
        return "link '" + std::string(entryPath) + "' points outside the package: '" + std::string(target)
            + "'";
    return {};
}

ArchiveUnpacker::Kind ArchiveUnpacker::unpack(
    std::string_view contents, const std::string& fileName, const std::string& targetDir)
{
    if (!checkArchive(contents)) {
        copyPlainFile(contents, fileName, targetDir);
        return Kind::PlainFile;
    }
    extractArchive(contents, targetDir);
    return Kind::Archive;
}

} // namespace rsdeploy
