// The daemon killed with SIGKILL at random moments while modules are
// uploaded and removed and a deployment is requested; restarted on the same
// storage directory after each kill. After every restart each .index and
// .persist file is whole, nothing acknowledged is lost, what is served is the
// last acknowledged state or the request in flight at the kill (with that
// version's contents: uploads replace the served file under the same name),
// and no upload file or replacement record is left over.
//
// RS_CRASH_ROUNDS sets the number of kills (default 12); RS_CRASH_SEED
// repeats a run's choice of moments.

#include "e2e/E2eSupport.h"

#include "interfaces/rpc/RpcCodecs.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <thread>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kModuleWriters = 3;
constexpr size_t kPieceSize = 64 * 1024;
constexpr const char* kDeployed = "deployed";
constexpr const char* kHost = "node1";
constexpr const char* kModuleFile = "payload.bin";

int envInt(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

enum class Change { None, Upload, Remove };

// What one writer knows of its object: the last acknowledged state and the
// change that was in flight when the daemon died.
struct History {
    std::string name;
    std::optional<std::string> contents; // none: never stored, or removed
    std::string version;
    Change inFlight = Change::None;
    std::string pending; // the contents of an upload in flight
    unsigned round = 0;
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

// --- Writers: each runs its cycle until a request fails (the daemon died) ---

void writeModule(int port, History& history, Acknowledgements& acknowledgements)
{
    auto session = loggedOn(port, kRepository);
    if (!session)
        return;
    for (;; ++history.round) {
        const bool stored = history.contents.has_value();
        int32_t result = 0;
        if (stored && history.round % 3 == 0) {
            history.inFlight = Change::Remove;
            result = session->call<IRepository::removeModule_Call>(kAnswerWait, history.name).code();
            if (result == 0)
                history.contents.reset();
        } else {
            history.inFlight = Change::Upload;
            history.pending = patternBytes(kPieceSize * 2 + history.round, history.round * 7919 + 13);
            // Always the same file name, so that most uploads replace the served
            // file in place; every third one is a single last piece, which must
            // not pick up what an upload cut short by a kill left behind.
            const size_t pieceSize = history.round % 3 == 2 ? history.pending.size() : kPieceSize;
            Added added = upload(*session, history.name, kModuleFile, history.pending, pieceSize);
            result = added.code;
            if (result == 0) {
                history.contents = history.pending;
                history.version = added.version;
            }
        }
        if (result != 0)
            return;
        history.inFlight = Change::None;
        acknowledgements.count();
    }
}

// --- Checks after a kill -----------------------------------------------------

// Every index line has its eight fields and a numeric version; every
// persisted line is "package|count" and count groups of four fields.
void expectFilesWhole(const fs::path& storage)
{
    static const std::regex indexLine(R"(^[^|]*\|[0-9]+(\|[^|]*){6,}$)");
    static const std::regex persistedLine(R"(^[^|]*\|([0-9]+)(\|.*)?$)");
    int indexes = 0;
    for (auto& entry : fs::recursive_directory_iterator(storage)) {
        const std::string name = entry.path().filename().string();
        indexes += name == ".index";
        std::ifstream in(entry.path());
        for (std::string line; (name == ".index" || name == ".persist") && std::getline(in, line);) {
            if (name == ".index") {
                ASSERT_TRUE(std::regex_match(line, indexLine)) << entry.path() << ": " << line;
                continue;
            }
            std::smatch count;
            ASSERT_TRUE(std::regex_match(line, count, persistedLine)) << line;
            ASSERT_EQ(std::count(line.begin(), line.end(), '|'), 1 + 4 * std::stol(count[1])) << line;
        }
    }
    EXPECT_GE(indexes, 1);
}

// Once the restarted daemon serves, no upload file and no record of an
// interrupted replacement is left below the storage directory's own files.
void expectNothingLeftOver(const fs::path& storage)
{
    for (auto& entry : fs::recursive_directory_iterator(storage)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            EXPECT_NE(name.front(), '|') << "a replacement record survived the restart: " << entry.path();
        } else if (entry.path().parent_path() != storage) {
            EXPECT_FALSE(name.ends_with(".tmp")) << "an upload file survived the restart: " << entry.path();
        }
    }
}

// Compares what the restarted daemon serves with the history and adopts the
// change in flight when it landed.
void reconcileModule(rsclient::Client& session, History& history)
{
    SCOPED_TRACE(history.name + " round " + std::to_string(history.round));
    const auto record = listed(session, history.name);
    const bool present = record && !record->deleted;
    if (!present) {
        if (history.contents) {
            EXPECT_EQ(history.inFlight, Change::Remove) << "an acknowledged upload was lost";
            history.contents.reset();
        }
        history.inFlight = Change::None;
        return;
    }
    Fetched got = fetch(session, history.name, record->version);
    ASSERT_EQ(got.code, 0);
    if (!history.contents) {
        ASSERT_EQ(history.inFlight, Change::Upload) << "a removed module came back";
        EXPECT_TRUE(got.contents == history.pending);
        history.contents = got.contents;
    } else if (record->version != history.version) {
        ASSERT_EQ(history.inFlight, Change::Upload) << "version " << record->version;
        EXPECT_EQ(record->version, std::to_string(std::stoi(history.version) + 1));
        EXPECT_TRUE(got.contents == history.pending);
        history.contents = got.contents;
    } else {
        EXPECT_TRUE(got.contents == *history.contents) << "the served version has other contents";
    }
    history.version = record->version;
    history.inFlight = Change::None;
}

// The one deployment of the run: once acknowledged, its host stays listed.
void expectDeploymentKept(rsclient::Client& client, bool acknowledged)
{
    if (!acknowledged)
        return;
    auto status = client.call<IAppDeployment::getPackageStatus_Call>(kAnswerWait, kDeployed, 0);
    ASSERT_EQ(status.code(), 0) << "an acknowledged deployment was lost";
    ASSERT_TRUE(status->list());
    bool listed = false;
    for (const auto& entry : status->list()->entries)
        listed = listed || entry.hostName.find(kHost) == 0;
    EXPECT_TRUE(listed);
}

class CrashRounds : public ::testing::Test {
protected:
    // Starts the daemon on the cluster's storage; false when it did not serve.
    bool startDaemon()
    {
        process_ = std::make_unique<DaemonProcess>();
        port_ = DaemonProcess::freePort();
        process_->start({ .args = { "-p", std::to_string(port_) } }, cluster_.environment());
        return process_->waitUntilServing();
    }

    TestCluster cluster_;
    std::unique_ptr<DaemonProcess> process_;
    int port_ = 0;
};

TEST_F(CrashRounds, KilledAtRandomMomentsLosesNothingAcknowledged)
{
    const int rounds = envInt("RS_CRASH_ROUNDS", 12);
    const unsigned seed
        = static_cast<unsigned>(envInt("RS_CRASH_SEED", static_cast<int>(std::random_device {}())));
    std::mt19937 random(seed);
    RecordProperty("seed", static_cast<int>(seed));
    SCOPED_TRACE("RS_CRASH_SEED=" + std::to_string(seed));

    ASSERT_TRUE(startDaemon()) << process_->standardError();
    std::vector<History> modules(kModuleWriters);
    for (int i = 0; i < kModuleWriters; ++i)
        modules[i].name = "crash" + std::to_string(i);
    bool deploymentAcknowledged = false;
    {
        auto client = loggedOn(port_, kDeployment);
        ASSERT_TRUE(client);
        auto data = rpc::makeBlock("deployed package");
        ASSERT_EQ(
            client->call<IAppDeployment::addPackage_Call>(kAnswerWait, kDeployed, "", "d.bin", data.get(), 1)
                .code(),
            0);
    }

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Acknowledgements acknowledgements;
        std::vector<std::thread> writers;
        for (History& history : modules)
            writers.emplace_back(writeModule, port_, std::ref(history), std::ref(acknowledgements));
        // The deployment request races the kill as well.
        writers.emplace_back([&, port = port_] {
            auto client = loggedOn(port, kDeployment);
            if (client
                && client->call<IAppDeployment::installPackage_Call>(kAnswerWait, kDeployed, "", kHost).code()
                    == 0)
                deploymentAcknowledged = true;
        });
        const int killAfter = std::uniform_int_distribution<int>(1, 12)(random);
        ASSERT_TRUE(acknowledgements.waitFor(killAfter));
        ASSERT_EQ(::kill(process_->pid(), SIGKILL), 0);
        ASSERT_TRUE(process_->waitForExit().has_value());
        for (auto& writer : writers)
            writer.join();

        expectFilesWhole(cluster_.storageDir());
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(startDaemon()) << process_->standardError();
        expectNothingLeftOver(cluster_.storageDir());

        auto session = loggedOn(port_, kRepository);
        ASSERT_TRUE(session);
        for (History& history : modules)
            reconcileModule(*session, history);
        auto client = loggedOn(port_, kDeployment);
        ASSERT_TRUE(client);
        expectDeploymentKept(*client, deploymentAcknowledged);
        ASSERT_FALSE(HasFatalFailure());
    }
    EXPECT_EQ(process_->stop(), 0);
}

} // namespace
} // namespace rs::e2e
