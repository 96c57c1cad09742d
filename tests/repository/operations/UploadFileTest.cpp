// Uploads in pieces: the message size limit every stored file keeps, and
// what the clean-up of a connection that has gone removes and leaves.

#include "rs/repository/operations/UploadFile.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "support/ScratchDir.h"

#include <ace/Message_Block.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace rs::modules {
namespace {

namespace fs = std::filesystem;

// What the answer that serves a file adds to the file's bytes.
constexpr uint64_t kAnswerWithoutFile = 100;

class UploadFileTest : public ::testing::Test {
protected:
    using Connection = std::shared_ptr<ConnectionUploads>;

    static Connection connection() { return std::make_shared<ConnectionUploads>(); }

    UploadFile upload(const Connection& sender, const std::string& module, const std::string& file,
        uint64_t limit = 1 << 20)
    {
        return UploadFile((dir_.path() / module).string(), file,
            UploadSender { sender, [] { return kAnswerWithoutFile; } }, limit);
    }

    // The piece's result code (0 stored, -1 dropped, else the refusal);
    // the refusal's parameters go to *params.
    static int32_t store(
        UploadFile& upload, const std::string& bytes, int32_t flag, kav::Params* params = nullptr)
    {
        ACE_Message_Block piece(bytes.size() + 1);
        piece.copy(bytes.data(), bytes.size());
        bool stored = false;
        const int32_t code = KAV_GUARDED([&] { stored = upload.store(piece, flag); });
        auto error = kav::takeErrorInfo();
        if (error && params)
            *params = error->getParams();
        return code < 0 ? code : stored ? 0 : -1;
    }

    fs::path path(const std::string& relative) const { return dir_.path() / relative; }

    rs::test::ScratchDir dir_;
};

constexpr int32_t kFirst = UploadFile::kFirstPiece;
constexpr int32_t kLast = UploadFile::kLastPiece;
constexpr int32_t kMiddle = 2;

TEST_F(UploadFileTest, PieceAfterWhichTheFileCouldNotBeServedIsRefusedAndTheUploadDiscarded)
{
    constexpr uint64_t kLimit = 64 * 1024;
    const std::string quarter(kLimit / 4, 'q');
    const Connection sender = connection();
    UploadFile big = upload(sender, "big", "big.bin", kLimit);

    // Three quarters and the answer's own bytes fit; with the fourth the file alone fills a message.
    EXPECT_EQ(store(big, quarter, kFirst), 0);
    EXPECT_EQ(store(big, quarter, kMiddle), 0);
    EXPECT_EQ(store(big, quarter, kMiddle), 0);
    kav::Params refusal;
    EXPECT_EQ(store(big, quarter, kMiddle, &refusal), kav::rc::RS_TRANSFER_TOO_LARGE);
    ASSERT_EQ(refusal.size(), 3u);
    EXPECT_EQ(refusal[0], "big.bin");
    EXPECT_GT(std::stoull(refusal[1]), kLimit) << "the limit it would need";
    EXPECT_EQ(refusal[2], std::to_string(kLimit));
    EXPECT_FALSE(fs::exists(path("big")))
        << "the upload file goes at once, and the directory it alone filled";

    EXPECT_EQ(store(big, "end", kLast), kav::rc::RS_TRANSFER_TOO_LARGE) << "the refused upload stays refused";
    EXPECT_FALSE(fs::exists(big.path()));
    EXPECT_EQ(store(big, quarter, kFirst), 0) << "until a first piece starts it again";
    EXPECT_EQ(store(big, "end", kLast), 0);
    EXPECT_EQ(fs::file_size(big.path()), quarter.size() + 3);
}

TEST_F(UploadFileTest, DiscardRemovesOnlyTheUnfinishedUploadsTheConnectionStillHolds)
{
    const Connection gone = connection();
    const Connection staying = connection();

    UploadFile own = upload(gone, "shared", "own.bin");
    UploadFile neighbour = upload(staying, "shared", "neighbour.bin");
    ASSERT_EQ(store(own, "a", kFirst), 0);
    ASSERT_EQ(store(own, "b", kMiddle), 0);
    ASSERT_EQ(store(neighbour, "c", kFirst), 0);

    UploadFile takenOver = upload(gone, "restarted", "r.bin");
    ASSERT_EQ(store(takenOver, "d", kFirst), 0);
    UploadFile restart = upload(staying, "restarted", "r.bin");
    ASSERT_EQ(store(restart, "e", kFirst), 0);

    UploadFile completed = upload(gone, "completed", "c.bin");
    ASSERT_EQ(store(completed, "f", kFirst), 0);
    ASSERT_EQ(store(completed, "g", kLast), 0);
    fs::rename(completed.path(), path("completed/c.bin"));
    completed.finish();

    UploadFile alone = upload(gone, "alone", "alone.bin");
    ASSERT_EQ(store(alone, "h", kFirst), 0);

    // A module whose stored file is named like the upload file of another name.
    rs::test::writeFile(path(".index").string(), "stored|1|s.bin.tmp|100|admin|0|1|0\n");
    UploadFile clash = upload(gone, "stored", "s.bin");
    ASSERT_EQ(store(clash, "i", kFirst), 0);

    gone->discard();
    EXPECT_FALSE(fs::exists(own.path()));
    EXPECT_TRUE(fs::exists(neighbour.path())) << "another connection's upload stays, and so its directory";
    EXPECT_TRUE(fs::exists(restart.path())) << "an upload another connection started again is that one's";
    EXPECT_TRUE(fs::exists(path("completed/c.bin"))) << "a completed file stays";
    EXPECT_TRUE(fs::exists(clash.path())) << "and so does a file the index names";
    EXPECT_FALSE(fs::exists(path("alone"))) << "a directory the upload alone filled goes with it";

    UploadFile late = upload(gone, "late", "late.bin");
    EXPECT_EQ(store(late, "j", kFirst), -1) << "a piece that runs after the clean-up is dropped";
    EXPECT_FALSE(fs::exists(path("late")));

    staying->discard();
    EXPECT_FALSE(fs::exists(path("shared")));
    EXPECT_FALSE(fs::exists(path("restarted")));
}

} // namespace
} // namespace rs::modules
