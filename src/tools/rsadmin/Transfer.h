#pragma once
// Moving files to and from the service in pieces, with a progress bar on
// standard error when that is a terminal.
//
// Single-threaded.

#include "client/ModuleUpload.h"

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
