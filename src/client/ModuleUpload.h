#pragma once
// rsclient::PieceUpload: an upload in pieces (addModule, addPackage) with
// several pieces in flight on one connection, so that sending a piece, the
// service's queueing and its disk write overlap instead of taking turns.
//
// Why this is safe: the service runs the upload pieces of one connection in
// the order in which they arrive (their work items are exclusive and of one
// priority, and its work queue hands such items out in arrival order, each
// running alone). Two pieces still wait for every earlier answer:
//   - the piece after a first piece: the first piece checks the name and the
//     permission, so a refused upload stops before more bytes go out;
//   - the last piece: it completes the upload, and must never complete a
//     file in which an earlier piece failed.
// The upload stops sending at the first failed answer and reports it; the
// answers of pieces already in flight are still collected, so the
// connection stays usable.
//
//   rsclient::PieceUpload<IRepositoryResp::addModuleResp_Call> upload(
//       [&](std::string_view bytes, int32_t flag) {
//           return client.start<IRepository::addModule_Call>(name, file, rpc::makeBlock(bytes).get(), flag);
//       });
//   auto reply = rsclient::uploadInPieces(upload, contents, pieceSize);
//
// Threads: one caller thread drives an upload; its answers arrive on the
// client's driver threads and are handed over through PendingReply.
// Ownership: bytes that a Start function lends to its request (instead of
// copying them) must stay valid until that piece's answer has arrived, at
// the latest until finish() returns.

#include "client/RsClient.h"
#include "interfaces/rpc/RpcCodecs.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string_view>
#include <utility>

namespace rsclient {

// Piece flags of an upload: the first of several pieces, the last (or
// only) one, any middle one.
inline constexpr int32_t kFirstPiece = 0;
inline constexpr int32_t kLastPiece = 1;
inline constexpr int32_t kMiddlePiece = 2;

// Number of pieces of `size` bytes (an empty upload is one empty piece; a
// piece size of 0 counts as 1).
uint64_t pieceCount(uint64_t size, uint64_t pieceBytes);
// Flag of piece `index` of `count`.
int32_t pieceFlag(uint64_t index, uint64_t count);

// A block over the caller's bytes, without copying them, that a request
// sends by reference: a block marked as borrowing its bytes would be copied
// into the request's stream instead, one more copy of every piece. The
// bytes must stay valid until the request has been sent (for an upload
// piece: until its answer has arrived).
rpc::BlockPtr lendBytes(std::string_view bytes);

struct UploadOptions {
    // Pieces in flight at most (1: each piece waits for the previous answer).
    size_t window = 8;
    // Bytes in flight at most; one piece may always go, whatever its size.
    uint64_t maxBytesInFlight = 64ull * 1024 * 1024;
    // How long each answer is waited for.
    std::chrono::milliseconds answerWait { 120000 };
};

// When a piece may go: the window rules above, apart from the requests.
// Single-threaded value type.
class UploadWindow {
public:
    explicit UploadWindow(const UploadOptions& options);

    // Whether the oldest piece in flight must be answered before a piece
    // of `bytes` with `flag` may be sent.
    bool mustWaitBefore(int32_t flag, uint64_t bytes) const;
    void sent(int32_t flag, uint64_t bytes);
    // The oldest piece in flight was answered.
    void answered();
    size_t inFlight() const { return pieces_.size(); }
    uint64_t bytesInFlight() const { return bytes_; }

private:
    struct Piece {
        int32_t flag;
        uint64_t bytes;
    };
    size_t window_;
    uint64_t maxBytes_;
    std::deque<Piece> pieces_;
    uint64_t bytes_ = 0;
};

// Result codes of an upload that did not get as far as an answer.
inline constexpr int kNothingSent = -EINVAL; // finish() before any piece

template <class Answer> class PieceUpload {
public:
    // Sends one piece; returns its pending answer.
    using Start = std::function<PendingReply<Answer>(std::string_view bytes, int32_t flag)>;

    explicit PieceUpload(Start start, UploadOptions options = {})
        : start_(std::move(start))
        , window_(options)
        , answerWait_(options.answerWait)
    {
    }
    PieceUpload(const PieceUpload&) = delete;
    PieceUpload& operator=(const PieceUpload&) = delete;

    // Sends the next piece once the window allows it. False (nothing sent)
    // once a piece has failed.
    bool send(std::string_view bytes, int32_t flag)
    {
        while (!failed_ && window_.mustWaitBefore(flag, bytes.size()))
            collectOldest();
        if (failed_)
            return false;
        pending_.push_back(start_(bytes, flag));
        window_.sent(flag, bytes.size());
        return true;
    }

    bool failed() const { return failed_; }

    // Waits for every answer still due. Returns the reply of the first
    // failed piece, else the last piece's reply (rc kNothingSent when no
    // piece was sent).
    Reply<Answer> finish()
    {
        while (!pending_.empty())
            collectOldest();
        return std::move(outcome_);
    }

private:
    void collectOldest()
    {
        Reply<Answer> reply = pending_.front().wait(answerWait_);
        pending_.pop_front();
        window_.answered();
        if (failed_)
            return; // the first failure is the one reported
        failed_ = reply.code() < 0; // negative codes are failures
        outcome_ = std::move(reply);
    }

    Start start_;
    UploadWindow window_;
    std::chrono::milliseconds answerWait_;
    std::deque<PendingReply<Answer>> pending_;
    bool failed_ = false;
    Reply<Answer> outcome_ { kNothingSent, nullptr };
};

// Sends `bytes` through `upload` in pieces of at most `pieceBytes` and
// finishes it. REQUIRES: pieceBytes > 0; nothing sent through `upload` yet.
template <class Answer>
Reply<Answer> uploadInPieces(PieceUpload<Answer>& upload, std::string_view bytes, uint64_t pieceBytes)
{
    const uint64_t count = pieceCount(bytes.size(), pieceBytes);
    for (uint64_t index = 0; index < count; ++index) {
        const uint64_t offset = index * pieceBytes;
        if (!upload.send(bytes.substr(offset, pieceBytes), pieceFlag(index, count)))
            break;
    }
    return upload.finish();
}

} // namespace rsclient
