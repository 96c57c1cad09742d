// Uploads in pieces with several pieces in flight: the window rules and an
// upload against a fake service that answers only when the uploader cannot
// go on without the answer. Uploads to the daemon are rsadmin's and the
// module operations' end-to-end tests.

#include "client/ModuleUpload.h"
#include "common/ResultCodes.h"
#include "interfaces/IRepositoryResp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using rsclient::kFirstPiece;
using rsclient::kLastPiece;
using rsclient::kMiddlePiece;
using Answer = IRepositoryResp::addModuleResp_Call;

constexpr uint64_t kMiB = 1024 * 1024;

rsclient::UploadOptions optionsWith(size_t window, uint64_t maxBytes = 64 * kMiB)
{
    rsclient::UploadOptions options;
    options.window = window;
    options.maxBytesInFlight = maxBytes;
    // Only reached when the uploader waits for an answer the fake withholds.
    options.answerWait = std::chrono::seconds(5);
    return options;
}

TEST(PieceFlags, FirstMiddleLastAndTheOnlyPieceIsLast)
{
    EXPECT_EQ(rsclient::pieceCount(0, 10), 1u);
    EXPECT_EQ(rsclient::pieceCount(10, 10), 1u);
    EXPECT_EQ(rsclient::pieceCount(11, 10), 2u);
    EXPECT_EQ(rsclient::pieceCount(5, UINT64_MAX), 1u) << "a whole-file upload is one piece";
    EXPECT_EQ(rsclient::pieceCount(UINT64_MAX, UINT64_MAX), 1u) << "no overflow near the maximum";
    EXPECT_EQ(rsclient::pieceCount(3, 0), 3u) << "a piece size of 0 counts as 1";
    EXPECT_EQ(rsclient::pieceFlag(0, 1), kLastPiece);
}

TEST(UploadWindow, BoundedByPieceCountAndByBytes)
{
    rsclient::UploadWindow byCount(optionsWith(2));
    byCount.sent(kMiddlePiece, 1);
    EXPECT_FALSE(byCount.mustWaitBefore(kMiddlePiece, 1));
    byCount.sent(kMiddlePiece, 1);
    EXPECT_TRUE(byCount.mustWaitBefore(kMiddlePiece, 1));

    rsclient::UploadWindow byBytes(optionsWith(8, 10));
    byBytes.sent(kMiddlePiece, 6);
    EXPECT_FALSE(byBytes.mustWaitBefore(kMiddlePiece, 4));
    EXPECT_TRUE(byBytes.mustWaitBefore(kMiddlePiece, 5));
    byBytes.answered();
    EXPECT_EQ(byBytes.bytesInFlight(), 0u);
    // A piece larger than the limit still goes when nothing is in flight.
    EXPECT_FALSE(byBytes.mustWaitBefore(kMiddlePiece, 50));
}

// A service that answers in order, and only when the uploader, following
// the window rules, cannot send its next piece without an answer: an
// uploader that waits where it need not times out. One that sends beyond
// its window is seen by the window's own test above.
class FakeService {
public:
    FakeService(size_t pieces, size_t window)
        : pieces_(pieces)
        , window_(window)
    {
    }

    // Answer piece `index` with this failure code.
    void failPiece(size_t index, int32_t code) { failures_.emplace_back(index, code); }

    rsclient::PendingReply<Answer> start(std::string_view bytes, int32_t flag)
    {
        const size_t index = flags_.size();
        flags_.push_back(flag);
        sizes_.push_back(bytes.size());
        auto waiter = std::make_shared<rsclient::detail::Waiter>();
        unanswered_.push_back(waiter);
        maxInFlight_ = std::max(maxInFlight_, unanswered_.size());
        const bool nextIsLast = index + 2 == pieces_;
        if (flag == kLastPiece || nextIsLast)
            answerAll();
        else if (flag == kFirstPiece || unanswered_.size() >= window_)
            answerOldest();
        return rsclient::PendingReply<Answer>(waiter);
    }

    const std::vector<int32_t>& flags() const { return flags_; }
    const std::vector<size_t>& sizes() const { return sizes_; }
    size_t maxInFlight() const { return maxInFlight_; }

private:
    void answerAll()
    {
        while (!unanswered_.empty())
            answerOldest();
    }

    void answerOldest()
    {
        // Once a failure is answered the uploader sends nothing more but
        // collects what is in flight: everything is answered at once.
        do {
            const size_t index = answered_++;
            int32_t code = 0;
            for (const auto& [failing, failure] : failures_)
                if (failing == index)
                    code = failure;
            failed_ = failed_ || code != 0;
            unanswered_.front()->finish(0, answerWith(code, index + 1 == pieces_ ? "7" : ""));
            unanswered_.pop_front();
        } while (failed_ && !unanswered_.empty());
    }

    static std::unique_ptr<zephcomm::Call> answerWith(int32_t code, const std::string& version)
    {
        const kav::KavErrorInfo error(code, "FakeService", "", "");
        Answer sent(&error, std::string_view(version));
        std::unique_ptr<zephcomm::Call> received(sent.create());
        received->unmarshal(rpc::makeBlock(rpc::blockText(sent.payload())).get());
        return received;
    }

    const size_t pieces_;
    const size_t window_;
    std::vector<std::pair<size_t, int32_t>> failures_;
    std::vector<int32_t> flags_;
    std::vector<size_t> sizes_;
    std::deque<std::shared_ptr<rsclient::detail::Waiter>> unanswered_;
    size_t answered_ = 0;
    size_t maxInFlight_ = 0;
    bool failed_ = false;
};

rsclient::Reply<Answer> uploadThrough(FakeService& service, const std::string& bytes, uint64_t pieceBytes,
    const rsclient::UploadOptions& options)
{
    rsclient::PieceUpload<Answer> upload(
        [&](std::string_view piece, int32_t flag) { return service.start(piece, flag); }, options);
    return rsclient::uploadInPieces(upload, bytes, pieceBytes);
}

TEST(PieceUpload, KeepsTheWindowFullAndEndsWithTheLastAnswer)
{
    const std::string bytes(10 * 100 + 37, 'x');
    FakeService service(11, 4);
    auto reply = uploadThrough(service, bytes, 100, optionsWith(4));
    ASSERT_EQ(reply.code(), 0) << reply.rc;
    EXPECT_EQ(*reply->version(), "7");
    ASSERT_EQ(service.flags().size(), 11u);
    EXPECT_EQ(service.flags().front(), kFirstPiece);
    EXPECT_EQ(service.flags().back(), kLastPiece);
    EXPECT_EQ(std::count(service.flags().begin(), service.flags().end(), kMiddlePiece), 9);
    EXPECT_EQ(service.sizes().back(), 37u);
    EXPECT_EQ(service.maxInFlight(), 4u);
}

TEST(PieceUpload, RefusedFirstPieceStopsTheUpload)
{
    FakeService service(5, 4);
    service.failPiece(0, kav::rc::RS_PERMISSION_DENIED);
    auto reply = uploadThrough(service, std::string(500, 'x'), 100, optionsWith(4));
    EXPECT_EQ(reply.code(), kav::rc::RS_PERMISSION_DENIED);
    EXPECT_EQ(service.flags().size(), 1u);
}

TEST(PieceUpload, FailedMiddlePieceIsReportedAndTheLastPieceNeverSent)
{
    FakeService service(10, 4);
    service.failPiece(2, kav::rc::RS_FILE_WRITE_FAILED);
    auto reply = uploadThrough(service, std::string(1000, 'x'), 100, optionsWith(4));
    EXPECT_EQ(reply.code(), kav::rc::RS_FILE_WRITE_FAILED);
    EXPECT_LT(service.flags().size(), 10u);
    EXPECT_EQ(std::count(service.flags().begin(), service.flags().end(), kLastPiece), 0);
    EXPECT_LE(service.maxInFlight(), 4u);
}

TEST(PieceUpload, FailedLaterPieceDoesNotHideTheFirstFailure)
{
    FakeService service(10, 4);
    service.failPiece(2, kav::rc::RS_FILE_WRITE_FAILED);
    service.failPiece(3, kav::rc::RS_PERMISSION_DENIED);
    auto reply = uploadThrough(service, std::string(1000, 'x'), 100, optionsWith(4));
    EXPECT_EQ(reply.code(), kav::rc::RS_FILE_WRITE_FAILED);
}

TEST(PieceUpload, AWindowOfZeroSendsStrictlyInTurn)
{
    FakeService service(6, 1);
    auto reply = uploadThrough(service, std::string(600, 'x'), 100, optionsWith(0));
    EXPECT_EQ(reply.code(), 0);
    EXPECT_EQ(service.flags().size(), 6u);
    EXPECT_EQ(service.maxInFlight(), 1u);
}

} // namespace
