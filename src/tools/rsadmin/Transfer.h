#pragma once
// Moving files to and from the service in pieces, with a progress bar on
// standard error when that is a terminal.
//
// Single-threaded.

#include "client/ModuleUpload.h"
#include "zephcomm/proxy/Call.h"
#include "zephcomm/wire/MessageHeader.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace rsadmin {

// Piece flags and counts are the client library's.
using rsclient::kFirstPiece;
using rsclient::kLastPiece;
using rsclient::kMiddlePiece;
using rsclient::pieceCount;
using rsclient::pieceFlag;

// One line of the progress bar: bar, percentage, bytes, rate, time left.
std::string renderProgress(uint64_t done, uint64_t total, std::chrono::duration<double> elapsed);

class ProgressBar {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    ProgressBar(std::ostream& err, bool enabled, uint64_t total, Clock clock = {});
    // A transfer that failed half-way leaves no message on the bar's line.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    void update(uint64_t done);
    // Ends the line (when the bar was shown).
    void finish();

private:
    std::ostream& err_;
    bool enabled_;
    bool lineOpen_ = false;
    uint64_t total_;
    Clock clock_;
    std::chrono::steady_clock::time_point start_;
};

// The message size limit as one upload meets it. It is the service's own
// setting (ZEPHCOMM_MAX_MESSAGE_SIZE, read by both sides): a file whose
// download would not fit is refused here before anything is sent, instead
// of by the service half-way; the service refuses, with the same code and
// text, what the list records it adds to the answer push over the limit.
struct TransferLimit {
    uint64_t requestWithoutPiece = 0; // payload of an upload request with an empty piece
    uint64_t answerWithoutFile = 0; // payload of the download answer with an empty file
    uint64_t maxMessage = zephcomm::wire::maxMessageSize();

    // Throws AdminFailure(kExitUsage, 0xD0014C62) when a file of `size`
    // bytes could not be fetched again.
    void requireFetchable(const std::string& fileName, uint64_t size) const;
    // `wanted`, or less, so that a piece fits into one request.
    uint64_t pieceSize(uint64_t wanted) const;
};

// The payload size of a marshalled call (of a request or an answer built
// with an empty block, for TransferLimit).
uint64_t payloadBytes(const zephcomm::Call& call);

// Sends the file at `path` in pieces of `pieceSize` bytes through `send`
// (piece bytes and flag), updating `progress`. Returns the file size.
// Throws AdminFailure(kExitUsage) when the file cannot be read.
uint64_t sendFileInPieces(const std::string& path, uint64_t pieceSize, ProgressBar::Clock clock,
    std::ostream& err, bool showProgress,
    const std::function<void(std::string_view piece, int32_t flag)>& send);

// Writes `contents` to `path` in pieces of `pieceSize` bytes, showing
// progress. Throws AdminFailure(kExitUsage) when it cannot be written.
void writeFileInPieces(const std::string& path, std::string_view contents, uint64_t pieceSize,
    std::ostream& err, bool showProgress);

} // namespace rsadmin
