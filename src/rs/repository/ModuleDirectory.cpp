#include "rs/repository/ModuleDirectory.h"

#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/NameValidator.h"
#include "rs/repository/dplfileutils.h"

#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace rs::modules {

namespace {

// The repository's own files: an index and the temporary file it is written through.
bool isRepositoryFile(const std::string& name)
{
    return name.starts_with(kav::IndexFile::kFileName);
}

// Why the directory counts as a consumer's; null when it does not.
const char* consumerDirectoryReason(const std::string& repository, const std::string& moduleDir)
{
    namespace fs = std::filesystem;
    if (moduleDir == repository + "/.global")
        return "its directory is that of the application packages";
    std::error_code error;
    fs::recursive_directory_iterator entry(moduleDir, error);
    if (error)
        return error == std::errc::no_such_file_or_directory ? nullptr : "its directory cannot be searched";
    for (; entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        if (entry->path().filename() == kav::IndexFile::kFileName)
            return "its directory holds a consumer's index";
    }
    return error ? "its directory cannot be searched" : nullptr;
}

} // namespace

std::string servedFile(const std::string& moduleDir, const std::string& indexedName)
{
    std::string found;
    rsmanagerutils::findFile(moduleDir, found, [&](const std::string& name) {
        return !isRepositoryFile(name) && (!name.ends_with(".tmp") || name == indexedName);
    });
    return found;
}

void removeOtherFiles(const std::string& directory, const std::string& keep, kav::KavFileCache* cache)
{
    kav::KavFileCache& files = cache ? *cache : *kav::KavFileCache::instance();
    std::vector<std::string> others;
    if (std::unique_ptr<DIR, int (*)(DIR*)> handle { ::opendir(directory.c_str()), ::closedir }) {
        while (const dirent* entry = ::readdir(handle.get())) {
            struct stat info { };
            const std::string name = entry->d_name;
            if (name != keep && !isRepositoryFile(name)
                && ::lstat((directory + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
                others.push_back(name);
        }
    }
    for (const std::string& name : others) {
        files.closeFile(directory + "/" + name);
        rsmanagerutils::deleteFile(directory + "/" + name);
    }
}

void refuseConsumerDirectory(const std::string& argument, const std::string& name,
    const std::string& repository, const std::string& moduleDir)
{
    if (const char* reason = consumerDirectoryReason(repository, moduleDir))
        kav::NameValidator::refuse(argument, name, reason);
}

} // namespace rs::modules
