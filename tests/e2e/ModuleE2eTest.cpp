// The module operations through the client library against the real daemon:
// uploads in one and many pieces, versions, removal, links, lists, downloads,
// permissions, hostile names, the audit records, the message size limit and
// the uploads of connections that went away.

#include "e2e/ModuleE2eSupport.h"

#include "common/ResultCodes.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <thread>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;
using kav::rc::code;

constexpr const char* kConsumer = kKnownConsumer;
// The daemon's message size limit: small, so that a module can cross it.
constexpr size_t kMessageLimit = 1024 * 1024;

// Whether `done` holds within a minute (the daemon acts on its own time).
bool eventually(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ModuleOperations : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new ModuleDaemon();
        if (!daemon_->start({ { "ZEPHCOMM_MAX_MESSAGE_SIZE", std::to_string(kMessageLimit) } }))
            startFailure_ = daemon_->failure();
    }
    static void TearDownTestSuite()
    {
        delete daemon_;
        daemon_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(startFailure_.empty()) << startFailure_;
        admin_ = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
        ASSERT_TRUE(admin_);
    }

    fs::path moduleDir(const std::string& module) const
    {
        return daemon_->storageDir() / "apps" / "web" / module;
    }

    // Every path below the storage directory.
    static std::set<std::string> storageTree()
    {
        std::set<std::string> paths;
        for (auto& entry : fs::recursive_directory_iterator(daemon_->storageDir()))
            paths.insert(entry.path().string());
        return paths;
    }

    static ModuleDaemon* daemon_;
    static std::string startFailure_;
    std::unique_ptr<ModuleSession> admin_;
};

ModuleDaemon* ModuleOperations::daemon_ = nullptr;
std::string ModuleOperations::startFailure_;

TEST_F(ModuleOperations, OnePieceUploadIsStoredAndServed)
{
    const std::string bytes = patternBytes(70000, 1);
    AddResult added = admin_->addPiece("single", "single.zip", bytes, 1);
    ASSERT_EQ(added.code, 0);
    EXPECT_EQ(added.version, "1");

    GetResult got = admin_->get("single", "1", kConsumer);
    ASSERT_EQ(got.code, 0);
    EXPECT_EQ(got.packageName, "single");
    EXPECT_EQ(got.fileName, "single.zip");
    EXPECT_EQ(got.contents, bytes);

    ListResult listed = admin_->list();
    ASSERT_EQ(listed.code, 0);
    const RepositoryAppEntry* record = listed.find("single", kConsumer);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->version, "1");
    EXPECT_EQ(record->fileName, "single.zip");
    EXPECT_EQ(record->fileSize, bytes.size());
    EXPECT_EQ(record->owner, kAdminUser);
    EXPECT_FALSE(record->deleted);
    EXPECT_TRUE(record->linkedApps.empty());
    EXPECT_FALSE(fs::exists(moduleDir("single") / "single.zip.tmp"));
}

TEST_F(ModuleOperations, ManyPieceUploadAnswersTheVersionOnlyForTheLastPiece)
{
    const std::string bytes = patternBytes(5 * 40000 + 123, 2);
    for (size_t offset = 0, piece = 0; offset < bytes.size(); offset += 40000, ++piece) {
        const bool last = offset + 40000 >= bytes.size();
        AddResult added = admin_->addPiece("pieces", "pieces.bin", bytes.substr(offset, 40000),
            piece == 0 ? 0
                : last ? 1
                       : 7);
        ASSERT_EQ(added.code, 0) << piece;
        EXPECT_EQ(added.version, last ? "1" : "") << piece;
    }
    GetResult got = admin_->get("pieces", "1", kConsumer);
    ASSERT_EQ(got.code, 0);
    EXPECT_EQ(got.contents, bytes);
}

TEST_F(ModuleOperations, UploadWithoutItsLastPieceChangesNothingServed)
{
    const std::string first = patternBytes(3000, 3);
    ASSERT_EQ(admin_->upload("unfinished", "u.bin", first, 1000).code, 0);
    ASSERT_EQ(admin_->addPiece("unfinished", "u.bin", patternBytes(1000, 4), 0).code, 0);
    ASSERT_EQ(admin_->addPiece("unfinished", "u.bin", patternBytes(1000, 5), 2).code, 0);

    EXPECT_TRUE(fs::exists(moduleDir("unfinished") / "u.bin.tmp"));
    EXPECT_EQ(admin_->list().find("unfinished", kConsumer)->version, "1");
    GetResult got = admin_->get("unfinished", "1", kConsumer);
    ASSERT_EQ(got.code, 0);
    EXPECT_EQ(got.fileName, "u.bin");
    EXPECT_EQ(got.contents, first);

    // A new first piece starts the upload file again.
    const std::string second = patternBytes(2500, 6);
    AddResult replaced = admin_->upload("unfinished", "u.bin", second, 1000);
    ASSERT_EQ(replaced.code, 0);
    EXPECT_EQ(replaced.version, "2");
    EXPECT_EQ(admin_->get("unfinished", "2", kConsumer).contents, second);
}

TEST_F(ModuleOperations, UploadThatCouldNotBeFetchedIsRefusedAtThePieceThatCrossesTheLimit)
{
    constexpr size_t kPiece = kMessageLimit / 4;
    const std::string fits = patternBytes(kMessageLimit - kPiece / 2, 20);
    ASSERT_EQ(admin_->upload("large", "large.bin", fits, kPiece).version, "1");
    GetResult served = admin_->get("large", "1", kConsumer);
    ASSERT_EQ(served.code, 0) << "what is accepted can be fetched";
    EXPECT_TRUE(served.contents == fits);

    // Three pieces fit; with the fourth the file alone fills a message.
    const std::string over = patternBytes(kMessageLimit, 21);
    for (size_t piece = 0; piece < 3; ++piece)
        ASSERT_EQ(
            admin_->addPiece("large", "large.bin", over.substr(piece * kPiece, kPiece), piece == 0 ? 0 : 2)
                .code,
            0)
            << piece;
    EXPECT_EQ(admin_->addPiece("large", "large.bin", over.substr(3 * kPiece), 2).code, code(0xD0014C62));
    EXPECT_FALSE(fs::exists(moduleDir("large") / "large.bin.tmp")) << "the refused upload is discarded";
    EXPECT_TRUE(admin_->get("large", "1", kConsumer).contents == fits) << "the served version stays";
}

TEST_F(ModuleOperations, UnfinishedUploadsOfAConnectionThatWentAwayAreDiscarded)
{
    ASSERT_EQ(admin_->addPiece("survivor", "s.bin", "served", 1).code, 0);
    auto other = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
    ASSERT_TRUE(other);
    ASSERT_EQ(other->addPiece("neighbour", "n.bin", "in progress", 0).code, 0);
    {
        auto leaving = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
        ASSERT_TRUE(leaving);
        ASSERT_EQ(leaving->addPiece("orphan", "o.bin", patternBytes(300000, 30), 0).code, 0);
        ASSERT_EQ(leaving->addPiece("orphan", "o.bin", patternBytes(300000, 31), 2).code, 0);
        ASSERT_EQ(leaving->addPiece("survivor", "s.bin", "unfinished replacement", 0).code, 0);
        ASSERT_EQ(leaving->addPiece("neighbour", "other.bin", "unfinished", 0).code, 0);
        ASSERT_TRUE(fs::exists(moduleDir("orphan") / "o.bin.tmp"));
    } // the client goes away in the middle of its uploads

    EXPECT_TRUE(eventually([&] {
        return !fs::exists(moduleDir("orphan")) && !fs::exists(moduleDir("survivor") / "s.bin.tmp")
            && !fs::exists(moduleDir("neighbour") / "other.bin.tmp");
    })) << "the unfinished uploads and the directory they alone filled are removed";
    EXPECT_EQ(admin_->get("survivor", "1", kConsumer).contents, "served") << "a completed module stays";
    EXPECT_TRUE(fs::exists(moduleDir("neighbour") / "n.bin.tmp")) << "another connection's upload stays";
    ASSERT_EQ(other->addPiece("neighbour", "n.bin", " and done", 1).code, 0);
    EXPECT_EQ(admin_->get("neighbour", "1", kConsumer).contents, "in progress and done");
}

TEST_F(ModuleOperations, RepeatedDownloadsServeTheReplacedFileAfterAnUpload)
{
    ASSERT_EQ(admin_->addPiece("cached", "c.bin", "old contents", 1).code, 0);
    ASSERT_EQ(admin_->get("cached", "1", kConsumer).contents, "old contents");
    ASSERT_EQ(admin_->get("cached", "1", kConsumer).contents, "old contents");
    ASSERT_EQ(admin_->addPiece("cached", "c.bin", "new contents", 1).code, 0);
    EXPECT_EQ(admin_->get("cached", "2", kConsumer).contents, "new contents");
}

TEST_F(ModuleOperations, HostileNamesAreRefusedBeforeAnythingIsWritten)
{
    ASSERT_EQ(admin_->addPiece("victim", "v.bin", "x", 1).code, 0);
    const auto before = storageTree();
    const int32_t bad = code(0xD0014C60);
    const std::vector<std::string> hostile { "", ".", "..", "../escape", "a/b", "a|b", "a\nb", "a\rb",
        std::string("a\0b", 3), std::string(256, 'n'), ".index" };
    for (const std::string& name : hostile) {
        SCOPED_TRACE(testing::PrintToString(name));
        EXPECT_EQ(admin_->addPiece(name, "ok.bin", "x", 1).code, bad);
        EXPECT_EQ(admin_->addPiece(name, "ok.bin", "x", 0).code, bad);
        EXPECT_EQ(admin_->addPiece("fine", name, "x", 1).code, bad);
        EXPECT_EQ(admin_->remove(name), bad);
        // An application name is a field of the index line, never a path.
        if (name.empty() || name.find_first_of("|\n\r") != std::string::npos) {
            EXPECT_EQ(admin_->link(name, "victim", true), bad);
        } else {
            EXPECT_EQ(admin_->link(name, "victim", true), 0);
            EXPECT_EQ(
                admin_->list().find("victim", kConsumer)->linkedApps, std::vector<std::string> { name });
            EXPECT_EQ(admin_->link(name, "victim", false), 0);
        }
        EXPECT_EQ(admin_->link("app", name, true), bad);
        EXPECT_EQ(admin_->get(name, "1", kConsumer).code, bad);
    }
    for (const char* consumer : { "/apps/../..", "/apps//web", "/apps/web/", "/a|b" })
        EXPECT_EQ(admin_->get("victim", "1", consumer).code, bad) << consumer;
    EXPECT_EQ(admin_->addPiece("ok", "ok.bin", "x", 1).code, 0) << "names of 255 bytes and less pass";
    EXPECT_EQ(admin_->remove("ok"), 0);
    EXPECT_EQ(admin_->addPiece(std::string(255, 'm'), "f", "x", 1).code, 0);
    EXPECT_EQ(admin_->remove(std::string(255, 'm')), 0);
    EXPECT_EQ(admin_->link("app", "victim", false), 0);
    EXPECT_EQ(admin_->link("web/front", "victim", true), 0);
    EXPECT_EQ(admin_->list().find("victim", kConsumer)->linkedApps, std::vector<std::string> { "web/front" });
    EXPECT_EQ(admin_->link("web/front", "victim", false), 0);

    auto after = storageTree();
    for (const std::string& path : before)
        EXPECT_EQ(after.count(path), 1u) << path;
    for (const std::string& path : after)
        EXPECT_TRUE(before.count(path) || path.find("/ok") != std::string::npos
            || path.find(std::string(255, 'm')) != std::string::npos)
            << "unexpected " << path;
    EXPECT_NE(daemon_->cluster().logText().find("Refused"), std::string::npos);
}

// Consumers and modules share the directories of the repository. A global
// module whose directory is the packages' or holds a consumer's index, and
// the removal of a module whose directory is a nested consumer's, are
// refused like hostile names, with no role asked and nothing lost.
TEST_F(ModuleOperations, AModuleDirectoryThatIsAConsumersIsRefused)
{
    ASSERT_EQ(admin_->addPiece("kept", "k.bin", "x", 1).code, 0);
    auto global = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
    ASSERT_TRUE(global);
    ASSERT_EQ(global->logon(kAdminUser, kAdminPassword, ""), 0);
    auto parent = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
    ASSERT_TRUE(parent);
    parent->logon(kAdminUser, kAdminPassword, "/apps"); // the connection takes the consumer either way
    ASSERT_EQ(parent->addPiece("web", "w.bin", "module web of /apps", 1).code, 0);
    const auto before = storageTree();

    const int32_t bad = code(0xD0014C60);
    for (const char* name : { ".global", "apps" }) {
        EXPECT_EQ(global->addPiece(name, "x.bin", "x", 1).code, bad) << name;
        EXPECT_EQ(global->remove(name), bad) << name;
    }
    EXPECT_EQ(parent->remove("web"), bad);
    EXPECT_EQ(storageTree(), before);
    EXPECT_EQ(admin_->get("kept", "1", kConsumer).contents, "x");
}

TEST_F(ModuleOperations, UploadsAndRemovalsAreAudited)
{
    const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+ .+)");
    const size_t start = daemon_->auditLines().size();
    auto auditedSince = [&](size_t from) {
        auto lines = daemon_->auditLines();
        return std::vector<std::string>(
            lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
    };

    ASSERT_EQ(admin_->addPiece("audited", "a.bin", "x", 0).code, 0);
    ASSERT_EQ(admin_->addPiece("audited", "a.bin", "y", 2).code, 0);
    EXPECT_TRUE(auditedSince(start).empty()) << "first and middle pieces write no record";
    ASSERT_EQ(admin_->addPiece("audited", "a.bin", "z", 1).code, 0);
    ASSERT_EQ(admin_->link("app", "audited", true), 0);
    EXPECT_EQ(admin_->remove("audited"), code(0xD0014C1F));
    ASSERT_EQ(admin_->link("app", "audited", false), 0);
    ASSERT_EQ(admin_->remove("audited"), 0);
    EXPECT_EQ(admin_->addPiece("a|b", "a.bin", "x", 0).code, code(0xD0014C60));

    auto global = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kConsumer);
    ASSERT_TRUE(global);
    EXPECT_EQ(global->logon(kAdminUser, kAdminPassword, ""), 0) << "the empty consumer is the global index";
    ASSERT_EQ(global->addPiece("audited-global", "g.bin", "x", 1).code, 0);

    // Completed upload, failed removal, removal, failed upload; the global upload writes none.
    std::vector<std::string> lines = auditedSince(start);
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, prefix)) << line;
        EXPECT_TRUE(line.find(kAdminUser) != std::string::npos || line.ends_with(" ERROR")) << line;
        EXPECT_EQ(line.find("ZOZARAVODO"), std::string::npos) << "no internal marker in operator text: " << line;
    }
}

} // namespace
} // namespace rs::e2e
