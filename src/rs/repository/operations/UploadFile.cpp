#include "rs/repository/operations/UploadFile.h"

#include "common/KavErrorInfo.h"
#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/dplfileutils.h"

#include <ace/Message_Block.h>

#include <fcntl.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace rs::modules {

namespace {

const log4cxx::LoggerPtr& workLogger()
{
    return kav::loggers::get(kav::loggers::kWork);
}

std::atomic<uint64_t> nextConnectionId { 1 };

// One upload in progress.
struct Upload {
    uint64_t connection = 0; // 0: none holds it
    std::optional<uint64_t> answerWithoutFile; // asked once per upload
    uint64_t refusedLimit = 0; // not 0: refused; the limit it would need
};

// The uploads in progress, by upload file path.
class UploadsInProgress {
public:
    static UploadsInProgress& instance()
    {
        static UploadsInProgress uploads;
        return uploads;
    }

    // Records a piece of `connection` and returns the upload as it stands:
    // a first piece starts it afresh, another piece takes it only when no
    // connection holds it.
    Upload claim(const std::string& path, uint64_t connection, bool first)
    {
        std::lock_guard lock(mutex_);
        Upload& upload = uploads_[path];
        if (first)
            upload = Upload {};
        if (upload.connection == 0)
            upload.connection = connection;
        return upload;
    }

    void setAnswerWithoutFile(const std::string& path, uint64_t bytes)
    {
        std::lock_guard lock(mutex_);
        uploads_[path].answerWithoutFile = bytes;
    }

    void refuse(const std::string& path, uint64_t limitNeeded)
    {
        std::lock_guard lock(mutex_);
        uploads_[path].refusedLimit = limitNeeded;
    }

    void forget(const std::string& path)
    {
        std::lock_guard lock(mutex_);
        uploads_.erase(path);
    }

    // Forgets and returns the paths of every upload `connection` holds.
    std::vector<std::string> takeAllOf(uint64_t connection)
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> paths;
        for (auto upload = uploads_.begin(); upload != uploads_.end();) {
            if (upload->second.connection == connection) {
                paths.push_back(upload->first);
                upload = uploads_.erase(upload);
            } else {
                ++upload;
            }
        }
        return paths;
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::string, Upload> uploads_;
};

// Whether an answer of `bytes` fits into `limit` with room to spare for
// the lists it carries to grow.
bool fitsWithRoom(uint64_t bytes, uint64_t limit)
{
    return bytes + limit / 1024 <= limit;
}

// The smallest limit that holds a message of `bytes` with its spare room.
uint64_t limitNeededFor(uint64_t bytes)
{
    return bytes + (bytes + 1022) / 1023;
}

[[noreturn]] void refuseTransfer(const std::string& what, uint64_t needed, uint64_t limit)
{
    KAV_THROW(kav::rc::RS_TRANSFER_TOO_LARGE,
        what + " needs messages of " + std::to_string(needed) + " bytes, the limit is "
            + std::to_string(limit),
        { what, std::to_string(needed), std::to_string(limit) });
}

// Whether the index of the module whose directory holds `path` names it as
// the module's stored file (a file name ending in ".tmp" can be both).
bool isStoredFile(const std::string& path)
{
    const std::string moduleDir = rsmanagerutils::parseOutDir(path);
    kav::ModuleIndexEntry entry;
    return kav::IndexFile(rsmanagerutils::parseOutDir(moduleDir))
               .getServiceEntryByName(std::filesystem::path(moduleDir).filename().string(), entry)
        == 0
        && moduleDir + "/" + entry.fileName == path;
}

// Removes an upload file, and its directory when nothing else is left in it;
// false when the file stays. A module's stored file of the same name stays.
bool removeUpload(const std::string& path)
{
    if (isStoredFile(path)) {
        LOG4CXX_WARN(workLogger(), "Upload file " << path << " is a module's stored file: kept");
        return false;
    }
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) {
        LOG4CXX_WARN(workLogger(), "Upload file " << path << " not removed: " << error.message());
        return false;
    }
    // A directory that holds anything else is not removed.
    std::filesystem::remove(rsmanagerutils::parseOutDir(path), error);
    return true;
}

} // namespace

ConnectionUploads::ConnectionUploads()
    : id_(nextConnectionId.fetch_add(1))
{
}

void ConnectionUploads::discard()
{
    closed_ = true;
    for (const std::string& path : UploadsInProgress::instance().takeAllOf(id_))
        if (removeUpload(path))
            LOG4CXX_INFO(
                workLogger(), "Discarded the unfinished upload " << path << ": its connection has gone");
}

UploadFile::UploadFile(
    std::string directory, std::string fileName, UploadSender sender, uint64_t messageLimit)
    : directory_(std::move(directory))
    , fileName_(std::move(fileName))
    , path_(directory_ + "/" + fileName_ + ".tmp")
    , sender_(std::move(sender))
    , messageLimit_(messageLimit)
{
}

bool UploadFile::store(const ACE_Message_Block& piece, int32_t flag)
{
    ConnectionUploads& connection = *sender_.connection;
    if (connection.closed())
        return false;
    const bool first = flag == kFirstPiece;
    UploadsInProgress& uploads = UploadsInProgress::instance();
    const Upload upload = uploads.claim(path_, connection.id_, first);
    if (upload.refusedLimit != 0)
        refuseTransfer(fileName_, upload.refusedLimit, messageLimit_);

    uint64_t answerWithoutFile = 0;
    if (upload.answerWithoutFile) {
        answerWithoutFile = *upload.answerWithoutFile;
    } else {
        answerWithoutFile = sender_.answerWithoutFile();
        uploads.setAnswerWithoutFile(path_, answerWithoutFile);
    }
    const uint64_t stored = first ? 0 : static_cast<uint64_t>(rsmanagerutils::fileSize(path_));
    const uint64_t answer
        = zephcomm::wire::payloadWithBlock(answerWithoutFile, stored + piece.total_length());
    if (!fitsWithRoom(answer, messageLimit_)) {
        // Nothing more of this upload could be served: its bytes go now.
        removeUpload(path_);
        uploads.refuse(path_, limitNeededFor(answer));
        refuseTransfer(fileName_, limitNeededFor(answer), messageLimit_);
    }

    rsmanagerutils::assertPath(directory_);
    // The upload is synced once complete; its pieces start their way to the
    // disk now, and are flushed in the background while later pieces arrive,
    // so that the sync waits for the last part only.
    if (rsmanagerutils::createFile(path_, piece, first ? O_TRUNC : O_APPEND, rsmanagerutils::Writeback::Start)
        != 0)
        KAV_THROW(
            kav::rc::RS_FILE_WRITE_FAILED, rsmanagerutils::failureDetail("cannot write " + path_), { path_ });
    return true;
}

void UploadFile::finish()
{
    UploadsInProgress& uploads = UploadsInProgress::instance();
    uploads.forget(path_);
    // A file named like another upload's file has just replaced that one.
    uploads.forget(directory_ + "/" + fileName_);
}

void requireStorable(const std::string& fileName, uint64_t answerBytes, uint64_t limit)
{
    if (!fitsWithRoom(answerBytes, limit))
        refuseTransfer(fileName, limitNeededFor(answerBytes), limit);
}

void requireTransferable(const std::string& what, uint64_t messageBytes, uint64_t limit)
{
    if (messageBytes > limit)
        refuseTransfer(what, messageBytes, limit);
}

} // namespace rs::modules
