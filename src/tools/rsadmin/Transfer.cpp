#include "tools/rsadmin/Transfer.h"

#include "tools/rsadmin/AdminIo.h"
#include "tools/rsadmin/Render.h"
#include "tools/rsadmin/ServiceSession.h"

#include "common/ResultCodes.h"

#include <ace/Message_Block.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <vector>

namespace rsadmin {

std::string renderProgress(uint64_t done, uint64_t total, std::chrono::duration<double> elapsed)
{
    constexpr int kWidth = 30;
    const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / total);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string line = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    line += percent;
    line += "  " + humanBytes(static_cast<double>(done)) + " / " + humanBytes(static_cast<double>(total));
    const double seconds = elapsed.count();
    if (seconds <= 0 || done == 0)
        return line + "  -- /s  --:-- left";
    const double rate = done / seconds;
    line += "  " + humanBytes(rate) + "/s";
    const auto left = static_cast<long>(std::ceil((total - std::min(done, total)) / rate));
    char eta[32];
    std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
    return line + eta;
}

ProgressBar::ProgressBar(std::ostream& err, bool enabled, uint64_t total, Clock clock)
    : err_(err)
    , enabled_(enabled)
    , total_(total)
    , clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); }))
    , start_(clock_())
{
}

ProgressBar::~ProgressBar()
{
    if (lineOpen_)
        err_ << "\n" << std::flush;
}

void ProgressBar::update(uint64_t done)
{
    if (!enabled_)
        return;
    err_ << "\r" << renderProgress(done, total_, clock_() - start_) << std::flush;
    lineOpen_ = true;
}

void ProgressBar::finish()
{
    if (enabled_)
        err_ << "\n" << std::flush;
    lineOpen_ = false;
}

void TransferLimit::requireFetchable(const std::string& fileName, uint64_t size) const
{
    const uint64_t answer = zephcomm::wire::payloadWithBlock(answerWithoutFile, size);
    if (answer <= maxMessage)
        return;
    const kav::KavErrorInfo tooLarge(kav::rc::RS_TRANSFER_TOO_LARGE, "TransferLimit::requireFetchable", "",
        "", { fileName, std::to_string(answer), std::to_string(maxMessage) });
    throw AdminFailure(
        kExitUsage, "nothing was sent: " + describeRefusal(tooLarge), kav::rc::RS_TRANSFER_TOO_LARGE);
}

uint64_t TransferLimit::pieceSize(uint64_t wanted) const
{
    const uint64_t room = zephcomm::wire::payloadWithBlock(requestWithoutPiece, 0);
    return std::min(wanted, maxMessage > room ? maxMessage - room : 1);
}

uint64_t payloadBytes(const zephcomm::Call& call)
{
    return call.payload() ? call.payload()->total_length() : 0;
}

uint64_t sendFileInPieces(const std::string& path, uint64_t pieceSize, ProgressBar::Clock clock,
    std::ostream& err, bool showProgress,
    const std::function<void(std::string_view piece, int32_t flag)>& send)
{
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file)
        throw AdminFailure(kExitUsage, "cannot read " + path + ": check the file name and its permissions");
    pieceSize = std::max<uint64_t>(pieceSize, 1);
    const uint64_t count = pieceCount(size, pieceSize);
    ProgressBar progress(err, showProgress, size, std::move(clock));
    std::vector<char> buffer(static_cast<size_t>(std::min(pieceSize, std::max<uint64_t>(size, 1))));
    uint64_t sent = 0;
    for (uint64_t index = 0; index < count; ++index) {
        const auto length = static_cast<size_t>(std::min<uint64_t>(pieceSize, size - sent));
        if (!file.read(buffer.data(), static_cast<std::streamsize>(length)))
            throw AdminFailure(kExitUsage, "reading " + path + " failed: the file changed while it was sent");
        send(std::string_view(buffer.data(), length), pieceFlag(index, count));
        sent += length;
        progress.update(sent);
    }
    progress.finish();
    return size;
}

void writeFileInPieces(const std::string& path, std::string_view contents, uint64_t pieceSize,
    std::ostream& err, bool showProgress)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        throw AdminFailure(kExitUsage, "cannot write " + path + ": choose another --output or directory");
    pieceSize = std::max<uint64_t>(pieceSize, 1);
    ProgressBar progress(err, showProgress, contents.size());
    for (size_t written = 0; written < contents.size();) {
        const auto length = static_cast<size_t>(std::min<uint64_t>(pieceSize, contents.size() - written));
        file.write(contents.data() + written, static_cast<std::streamsize>(length));
        written += length;
        progress.update(written);
    }
    file.close();
    progress.finish();
    if (!file)
        throw AdminFailure(kExitUsage, "writing " + path + " failed: check the free space");
}

} // namespace rsadmin
