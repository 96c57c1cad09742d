#pragma once
// Uploads in pieces, for modules and packages alike: the pieces of one
// upload collect in DIR/FILE.tmp (UploadFile), which the caller moves into
// place once the last piece is stored.
//
// Each upload in progress belongs to the connection that sends it
// (ConnectionUploads): its first piece takes it, and so does any piece of
// an upload that no connection holds. When the connection has gone,
// ConnectionUploads::discard() removes the upload files it still holds,
// and each of their directories that is empty then. A completed file, an
// upload that another connection has started again, and a directory that
// holds anything else stay.
//
// Every stored file must be transferable: the answer that will carry it
// (its bytes and what the answer adds, asked of the caller once per
// upload) must fit into one message (zephcomm::wire::maxMessageSize(), the
// limit of every side) with 1/1024 of the limit to spare, for the lists in
// the answer to grow. The piece that would cross is refused with
// RS_TRANSFER_TOO_LARGE, the upload file is removed at once, and the
// upload's later pieces are refused the same way until a first piece
// starts it again.
//
// Threads: worker threads, under the work queue's exclusive lock, which
// orders pieces and clean-up; the record of uploads in progress has a lock
// of its own as well. ConnectionUploads' flags may be set and read on any
// thread.

#include "zephcomm/wire/MessageHeader.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ACE_Message_Block;

namespace rs::modules {

// The uploads of one connection. Shared by the connection's server object
// and the work items of its pieces.
class ConnectionUploads {
public:
    ConnectionUploads();
    ConnectionUploads(const ConnectionUploads&) = delete;
    ConnectionUploads& operator=(const ConnectionUploads&) = delete;

    // The connection received an upload piece (called before the piece is
    // queued): only then can there be anything to discard.
    void pieceReceived() { receivedPieces_ = true; }
    bool receivedPieces() const { return receivedPieces_.load(); }
    // Whether discard() has run: later pieces are dropped unwritten.
    bool closed() const { return closed_.load(); }

    // The connection has gone: removes its unfinished uploads (see above).
    // Failures are logged; nothing is thrown.
    void discard();

private:
    friend class UploadFile;

    const uint64_t id_;
    std::atomic<bool> receivedPieces_ { false };
    std::atomic<bool> closed_ { false };
};

// Who sends an upload, and what the answer that serves the file will add
// to its bytes: the payload size of that answer with an empty file.
struct UploadSender {
    std::shared_ptr<ConnectionUploads> connection;
    std::function<uint64_t()> answerWithoutFile;
};

class UploadFile {
public:
    static constexpr int32_t kFirstPiece = 0;
    static constexpr int32_t kLastPiece = 1;

    // The upload of `fileName` into `directory`; `messageLimit` is the
    // largest message payload (the setting in force unless a test gives one).
    UploadFile(std::string directory, std::string fileName, UploadSender sender,
        uint64_t messageLimit = zephcomm::wire::maxMessageSize());

    // directory/fileName.tmp
    const std::string& path() const { return path_; }

    // Stores one piece: a first piece (flag kFirstPiece) starts the file,
    // any other appends to it; the directory is created when missing.
    // Returns false, with nothing written, when the sender's connection has
    // gone. Throws RS_TRANSFER_TOO_LARGE ({file, the limit it would need,
    // the limit}) as described above, RS_FILE_WRITE_FAILED ({path}) when
    // the piece cannot be written.
    bool store(const ACE_Message_Block& piece, int32_t flag);

    // The upload file was moved into place: the upload is over, and nothing
    // that was an upload file at the file's own path may be discarded.
    void finish();

private:
    const std::string directory_;
    const std::string fileName_;
    const std::string path_;
    UploadSender sender_;
    const uint64_t messageLimit_;
};

// Throws RS_TRANSFER_TOO_LARGE ({fileName, the limit it would need, the
// limit}) unless an answer of `answerBytes` payload bytes that carries the
// file fits into `limit` with the spare room described above: the rule for
// storing a file.
void requireStorable(
    const std::string& fileName, uint64_t answerBytes, uint64_t limit = zephcomm::wire::maxMessageSize());
// Throws RS_TRANSFER_TOO_LARGE ({what, messageBytes, limit}) when a
// message of `messageBytes` payload bytes exceeds `limit`: the rule for
// sending one.
void requireTransferable(
    const std::string& what, uint64_t messageBytes, uint64_t limit = zephcomm::wire::maxMessageSize());

} // namespace rs::modules
