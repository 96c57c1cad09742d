#include "rs/repository/recovery/KeptFile.h"

#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace kav {
namespace {

constexpr std::string_view kReplacedPrefix = "|replaced|";
constexpr std::string_view kCreatedPrefix = "|created|";

bool isDecimal(std::string_view text)
{
    return !text.empty()
        && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int createMarker(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    ::close(fd);
    return 0;
}

bool sameFile(const std::string& first, const std::string& second)
{
    struct stat a { };
    struct stat b { };
    return ::lstat(first.c_str(), &a) == 0 && ::lstat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev
        && a.st_ino == b.st_ino;
}

} // namespace

KeptFile::KeptFile(std::string target, std::string version, KavFileCache* cache)
    : target_(std::move(target))
    , moduleDir_(rsmanagerutils::parseOutDir(target_))
    , fileName_(baseName(target_))
    , version_(std::move(version))
    , cache_(cache ? *cache : *KavFileCache::instance())
{
}

KeptFile::~KeptFile()
{
    restore();
}

int KeptFile::keep()
{
    struct stat info { };
    Kind kind = Kind::Created;
    if (::lstat(target_.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            return -1;
        kind = Kind::Replaced;
    } else if (errno != ENOENT) {
        return -1;
    }
    // Records of this version left by an earlier crash describe the same
    // state of the index, so they are superseded by this one.
    for (Kind stale : { Kind::Replaced, Kind::Created })
        removeRecord(moduleDir_ + "/" + directoryName(stale, version_), fileName_);

    const std::string recordDir = moduleDir_ + "/" + directoryName(kind, version_);
    const std::string record = recordDir + "/" + fileName_;
    if (::mkdir(recordDir.c_str(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int made = kind == Kind::Replaced ? ::link(target_.c_str(), record.c_str()) : createMarker(record);
    // The record must be on disk before the target changes.
    if (made != 0 || rsmanagerutils::syncFile(record) != 0) {
        removeRecord(recordDir, fileName_);
        return -1;
    }
    kept_ = kind;
    return 0;
}

void KeptFile::restore()
{
    if (!kept_)
        return;
    cache_.closeFile(target_);
    restoreFrom(moduleDir_ + "/" + directoryName(*kept_, version_), *kept_, moduleDir_, fileName_);
    kept_.reset();
}

void KeptFile::discard()
{
    if (!kept_)
        return;
    removeRecord(moduleDir_ + "/" + directoryName(*kept_, version_), fileName_);
    kept_.reset();
}

std::string KeptFile::directoryName(Kind kind, const std::string& version)
{
    return std::string(kind == Kind::Replaced ? kReplacedPrefix : kCreatedPrefix) + version;
}

std::optional<KeptFile::Record> KeptFile::parseDirectoryName(const std::string& name)
{
    for (Kind kind : { Kind::Replaced, Kind::Created }) {
        const std::string_view prefix = kind == Kind::Replaced ? kReplacedPrefix : kCreatedPrefix;
        if (name.starts_with(prefix) && isDecimal(std::string_view(name).substr(prefix.size())))
            return Record { kind, name.substr(prefix.size()) };
    }
    return std::nullopt;
}

int KeptFile::restoreFrom(
    const std::string& recordDir, Kind kind, const std::string& moduleDir, const std::string& fileName)
{
    const std::string record = recordDir + "/" + fileName;
    const std::string target = moduleDir + "/" + fileName;
    if (kind == Kind::Created) {
        if (::unlink(target.c_str()) != 0 && errno != ENOENT)
            return -1;
    } else if (!sameFile(record, target) && rsmanagerutils::moveFile(record, target) != 0) {
        return -1;
    }
    return removeRecord(recordDir, fileName);
}

int KeptFile::removeRecord(const std::string& recordDir, const std::string& fileName)
{
    // unlink, not deleteFile: the record may share its inode with the served
    // file, whose permissions must not change.
    const std::string record = recordDir + "/" + fileName;
    if (::unlink(record.c_str()) != 0 && errno != ENOENT)
        return -1;
    if (::rmdir(recordDir.c_str()) != 0 && errno != ENOENT)
        return -1;
    return 0;
}

} // namespace kav
