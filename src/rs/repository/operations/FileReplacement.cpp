#include "rs/repository/operations/FileReplacement.h"

#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"

#include <unistd.h>

namespace rs::modules {

FileReplacement::FileReplacement(std::string upload, std::string target)
    : upload_(std::move(upload)), target_(std::move(target)), kept_(target_ + ".previous")
{
}

FileReplacement::~FileReplacement()
{
    if (!applied_)
        return;
    kav::KavFileCache::instance()->closeFile(target_);
    if (hadTarget_)
        rsmanagerutils::moveFile(kept_, target_);
    else
        rsmanagerutils::deleteFile(target_);
}

int FileReplacement::apply()
{
    // A crash may have left an older kept file; it is never served.
    rsmanagerutils::deleteFile(kept_);
    hadTarget_ = ::link(target_.c_str(), kept_.c_str()) == 0;
    kav::KavFileCache::instance()->closeFile(target_);
    if (rsmanagerutils::moveFile(upload_, target_) != 0) {
        if (hadTarget_)
            rsmanagerutils::deleteFile(kept_);
        return -1;
    }
    applied_ = true;
    return 0;
}

void FileReplacement::commit()
{
    if (applied_ && hadTarget_)
        rsmanagerutils::deleteFile(kept_);
    applied_ = false;
}

} // namespace rs::modules
