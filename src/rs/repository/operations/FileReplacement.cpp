#include "rs/repository/operations/FileReplacement.h"

#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"

namespace rs::modules {

FileReplacement::FileReplacement(
    std::string upload, std::string target, std::string version, kav::KavFileCache* cache)
    : upload_(std::move(upload))
    , target_(std::move(target))
    , cache_(cache ? *cache : *kav::KavFileCache::instance())
    , kept_(target_, std::move(version), &cache_)
{
}

int FileReplacement::apply()
{
    if (kept_.keep() != 0)
        return -1;
    cache_.closeFile(target_);
    if (rsmanagerutils::moveFile(upload_, target_) != 0) {
        kept_.restore();
        return -1;
    }
    return 0;
}

void FileReplacement::commit()
{
    kept_.discard();
}

} // namespace rs::modules
