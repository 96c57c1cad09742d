// The daemon killed with SIGKILL while uploads and removals run: restarted
// on the same storage directory, every index is whole and every upload that
// was acknowledged before the kill (and not removed since) is served.

#include "e2e/ModuleE2eSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 4;
constexpr int kAcknowledgementsBeforeKill = 40;
constexpr size_t kPieceSize = 64 * 1024;

// What one writer knows of its module: the last acknowledged state and the
// request that was in flight when the daemon died.
struct ModuleHistory {
    std::string module;
    std::optional<std::string> acknowledgedContents; // none: never added, or removed
    std::string acknowledgedVersion;
    bool removalInFlight = false;
    std::optional<std::string> uploadInFlight;
};

class Acknowledgements {
public:
    void count()
    {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool waitFor(int wanted)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(5), [&] { return count_ >= wanted; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// Uploads new contents in several pieces, and every third round removes the module.
void writeUntilTheDaemonDies(
    int port, ModuleHistory& history, Acknowledgements& acknowledgements, unsigned seed)
{
    auto session = ModuleSession::open(port, kAdminUser, kAdminPassword, kKnownConsumer);
    if (!session)
        return;
    for (unsigned round = 0;; ++round) {
        if (round % 3 == 2) {
            history.removalInFlight = true;
            if (session->remove(history.module) != 0)
                return;
            history.removalInFlight = false;
            history.acknowledgedContents.reset();
        } else {
            const std::string contents = patternBytes(kPieceSize * 3 + round, seed * 1000 + round);
            history.uploadInFlight = contents;
            AddResult added = session->upload(history.module, "payload.bin", contents, kPieceSize);
            if (added.code != 0)
                return;
            history.uploadInFlight.reset();
            history.acknowledgedContents = contents;
            history.acknowledgedVersion = added.version;
        }
        acknowledgements.count();
    }
}

// Every line of every index has its eight fields and a numeric version.
void expectIndexesWhole(const fs::path& storage)
{
    int indexes = 0;
    for (auto& entry : fs::recursive_directory_iterator(storage)) {
        if (entry.path().filename() != ".index")
            continue;
        ++indexes;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            ASSERT_GE(std::count(line.begin(), line.end(), '|'), 7) << entry.path() << ": " << line;
            ASSERT_FALSE(line.empty());
            ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(line[line.find('|') + 1]))) << line;
        }
    }
    EXPECT_GE(indexes, 1);
}

TEST(ModuleCrash, KilledDuringUploadsAndRemovalsLosesNoAcknowledgedUpload)
{
    ModuleDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.failure();
    std::vector<ModuleHistory> histories(kWriters);
    Acknowledgements acknowledgements;
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        histories[i].module = "crash" + std::to_string(i);
        writers.emplace_back(writeUntilTheDaemonDies, daemon.port(), std::ref(histories[i]),
            std::ref(acknowledgements), static_cast<unsigned>(i + 1));
    }
    ASSERT_TRUE(acknowledgements.waitFor(kAcknowledgementsBeforeKill));
    ASSERT_EQ(::kill(daemon.process().pid(), SIGKILL), 0);
    ASSERT_TRUE(daemon.process().waitForExit().has_value());
    for (auto& writer : writers)
        writer.join();

    expectIndexesWhole(daemon.storageDir());

    DaemonProcess restarted;
    RunOptions options;
    const int port = DaemonProcess::freePort();
    options.args = { "-p", std::to_string(port) };
    options.env["RS_AUDIT_LOG"] = "on";
    auto environment = daemon.cluster().environment();
    for (auto& [name, value] : options.env)
        environment[name] = value;
    restarted.start(options, environment);
    ASSERT_TRUE(restarted.waitUntilServing()) << restarted.standardError();

    auto session = ModuleSession::open(port, kAdminUser, kAdminPassword, kKnownConsumer);
    ASSERT_TRUE(session);
    ListResult listed = session->list();
    ASSERT_EQ(listed.code, 0);
    for (const ModuleHistory& history : histories) {
        SCOPED_TRACE(history.module);
        const RepositoryAppEntry* record = listed.find(history.module, kKnownConsumer);
        if (!history.acknowledgedContents) {
            // Removed (or never added): only the upload in flight may have landed.
            if (record && !record->deleted) {
                ASSERT_TRUE(history.uploadInFlight.has_value()) << "a removed module came back";
                EXPECT_EQ(session->get(history.module, record->version, kKnownConsumer).contents,
                    *history.uploadInFlight);
            }
            continue;
        }
        ASSERT_NE(record, nullptr);
        if (record->deleted) {
            EXPECT_TRUE(history.removalInFlight) << "an acknowledged upload was lost";
            continue;
        }
        GetResult got = session->get(history.module, record->version, kKnownConsumer);
        ASSERT_EQ(got.code, 0);
        if (record->version == history.acknowledgedVersion) {
            EXPECT_EQ(got.contents, *history.acknowledgedContents);
        } else {
            ASSERT_TRUE(history.uploadInFlight.has_value()) << "version " << record->version;
            EXPECT_EQ(record->version, std::to_string(std::stoi(history.acknowledgedVersion) + 1));
            EXPECT_EQ(got.contents, *history.uploadInFlight);
        }
    }
    restarted.stop();
}

} // namespace
} // namespace rs::e2e
