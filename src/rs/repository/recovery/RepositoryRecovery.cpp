#include "rs/repository/recovery/RepositoryRecovery.h"

#include "common/Loggers.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/NameValidator.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/recovery/KeptFile.h"

#include <log4cxx/logger.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

namespace kav {
namespace {

constexpr std::string_view kUploadSuffix = ".tmp";
// The temporary an index write renames over ".index".
const std::string kIndexTemporary = std::string(IndexFile::kFileName) + ".tmp";

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kWork);
    return instance;
}

struct Listing {
    std::vector<std::string> directories;
    std::vector<std::string> files;
};

// The sub-directories and regular files of dir; symbolic links and other
// kinds are neither followed nor touched.
bool listDirectory(const std::string& dir, Listing& listing)
{
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
    if (!handle)
        return false;
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string name = entry->d_name;
        struct stat info { };
        if (name == "." || name == ".." || ::lstat((dir + "/" + name).c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            listing.directories.push_back(name);
        else if (S_ISREG(info.st_mode))
            listing.files.push_back(name);
    }
    return true;
}

bool isRegularFile(const std::string& path)
{
    struct stat info { };
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the index says of the module whose directory is being looked at.
struct ModuleState {
    std::string version; // "0" when the index has no entry
    std::string storedFile; // the entry's file name, deleted or not
};

// Nullopt when moduleDir's index exists but cannot be read.
std::optional<ModuleState> readModuleState(const std::string& moduleDir)
{
    const std::string indexDir = rsmanagerutils::parseOutDir(moduleDir);
    const std::string indexPath = indexDir + "/" + IndexFile::kFileName;
    const int fd = ::open(indexPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        return std::nullopt;
    if (fd >= 0)
        ::close(fd);
    IndexFile index(indexDir);
    const std::string module = baseName(moduleDir);
    ModuleState state;
    state.version = index.getVersionByName(module);
    ModuleIndexEntry entry;
    if (index.getServiceEntryByName(module, entry) == 0)
        state.storedFile = entry.fileName;
    return state;
}

} // namespace

class RepositoryRecovery::Walk {
public:
    explicit Walk(Summary& summary)
        : summary_(summary)
    {
    }

    void visit(const std::string& dir, bool isRepository)
    {
        Listing listing;
        if (!listDirectory(dir, listing)) {
            LOG4CXX_WARN(logger(),
                "Recovery cannot list " << dir << " (" << rsmanagerutils::errnoText(errno)
                                        << "); left as it is");
            ++summary_.failures;
            return;
        }
        for (const std::string& name : listing.files) {
            if (name == kIndexTemporary)
                removeStale(dir + "/" + name, "the temporary of an interrupted index write");
        }
        if (!isRepository)
            recoverModuleDirectory(dir, listing);
        for (const std::string& name : listing.directories) {
            if (!KeptFile::parseDirectoryName(name))
                visit(dir + "/" + name, false);
        }
    }

private:
    void recoverModuleDirectory(const std::string& moduleDir, const Listing& listing)
    {
        std::optional<ModuleState> state;
        bool stateRead = false;
        auto moduleState = [&]() -> const std::optional<ModuleState>& {
            if (!stateRead) {
                state = readModuleState(moduleDir);
                stateRead = true;
                if (!state) {
                    LOG4CXX_WARN(logger(),
                        "Recovery cannot read the index beside " << moduleDir
                                                                 << "; its files are left as they are");
                    ++summary_.failures;
                }
            }
            return state;
        };
        for (const std::string& name : listing.directories) {
            std::optional<KeptFile::Record> record = KeptFile::parseDirectoryName(name);
            if (record && moduleState())
                recoverRecord(moduleDir, name, *record, *moduleState());
        }
        std::vector<std::string> moduleFiles;
        for (const std::string& name : listing.files) {
            if (name == kIndexTemporary || !name.ends_with(kUploadSuffix)) {
                if (!NameValidator::refusalReason(name, NameKind::Segment))
                    moduleFiles.push_back(name);
                continue;
            }
            if (moduleState() && name != moduleState()->storedFile)
                removeStale(moduleDir + "/" + name, "an upload that never completed");
        }
        // One file is what a module directory holds; the index is read only
        // when there are more.
        if (moduleFiles.size() > 1 && moduleState())
            removeEarlierFiles(moduleDir, moduleFiles, moduleState()->storedFile);
    }

    void removeEarlierFiles(
        const std::string& moduleDir, const std::vector<std::string>& files, const std::string& storedFile)
    {
        if (storedFile.empty() || !isRegularFile(moduleDir + "/" + storedFile))
            return;
        for (const std::string& name : files) {
            const std::string path = moduleDir + "/" + name;
            // An undone replacement may have taken the file away already.
            if (name == storedFile || !isRegularFile(path))
                continue;
            if (rsmanagerutils::deleteFile(path) != 0) {
                failed(path);
                continue;
            }
            LOG4CXX_INFO(logger(),
                "Recovery: removed " << path << ", which an earlier version left beside " << storedFile);
            ++summary_.earlierFilesRemoved;
        }
    }

    void recoverRecord(const std::string& moduleDir, const std::string& recordName,
        const KeptFile::Record& record, const ModuleState& state)
    {
        const std::string recordDir = moduleDir + "/" + recordName;
        Listing kept;
        listDirectory(recordDir, kept);
        for (const std::string& fileName : kept.files) {
            const std::string target = moduleDir + "/" + fileName;
            if (state.version == record.version)
                undo(recordDir, record, moduleDir, fileName);
            else if (KeptFile::removeRecord(recordDir, fileName) == 0) {
                LOG4CXX_INFO(logger(),
                    "Recovery: the index records version " << state.version << " of " << target
                                                           << "; dropped what version " << record.version
                                                           << " had");
                ++summary_.dropped;
            } else {
                failed(recordDir);
            }
        }
        if (kept.files.empty() && ::rmdir(recordDir.c_str()) != 0)
            failed(recordDir);
    }

    void undo(const std::string& recordDir, const KeptFile::Record& record, const std::string& moduleDir,
        const std::string& fileName)
    {
        const std::string target = moduleDir + "/" + fileName;
        if (KeptFile::restoreFrom(recordDir, record.kind, moduleDir, fileName) != 0) {
            failed(recordDir);
            return;
        }
        if (record.kind == KeptFile::Kind::Replaced)
            LOG4CXX_WARN(logger(),
                "Recovery: the index still records version " << record.version << "; restored " << target
                                                             << " to that version's contents");
        else
            LOG4CXX_WARN(logger(),
                "Recovery: the index still records version " << record.version << "; removed " << target
                                                             << ", which an unrecorded upload had created");
        ++summary_.restored;
    }

    void removeStale(const std::string& path, const char* what)
    {
        if (rsmanagerutils::deleteFile(path) != 0) {
            failed(path);
            return;
        }
        LOG4CXX_INFO(logger(), "Recovery: removed " << path << ", " << what);
        ++summary_.uploadsRemoved;
    }

    void failed(const std::string& path)
    {
        LOG4CXX_WARN(logger(),
            "Recovery could not put " << path << " in order (" << rsmanagerutils::errnoText(errno)
                                      << "); left in place");
        ++summary_.failures;
    }

    Summary& summary_;
};

RepositoryRecovery::RepositoryRecovery(std::string repository)
    : repository_(std::move(repository))
{
}

RepositoryRecovery::Summary RepositoryRecovery::run()
{
    Summary summary;
    Walk(summary).visit(repository_, true);
    if (summary.restored + summary.dropped + summary.uploadsRemoved + summary.earlierFilesRemoved
            + summary.failures
        > 0)
        LOG4CXX_INFO(logger(),
            "Repository recovery of " << repository_ << ": " << summary.restored << " replacement(s) undone, "
                                      << summary.dropped << " record(s) of completed replacements dropped, "
                                      << summary.uploadsRemoved << " stale temporary file(s) removed, "
                                      << summary.earlierFilesRemoved << " file(s) of earlier versions removed, "
                                      << summary.failures << " left in place");
    return summary;
}

} // namespace kav
