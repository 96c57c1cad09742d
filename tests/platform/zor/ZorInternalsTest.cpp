// The parts behind libzor's calls: variable expansion, consumer paths, the
// callback dispatcher, the URL registry and the naming of the Slurm hosts.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ContainerProcess.h"
#include "platform/zor/Dispatcher.h"
#include "platform/zor/SlurmClient.h"
#include "platform/zor/UrlRegistry.h"
#include "platform/zor/zor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = zor::Dispatcher::Clock;

class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/zorunit.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

TEST(ZorExpansion, ReplacesKnownVariablesAndDropsUnknownOnes)
{
    zor::Environment env { { "A", "1" }, { "TOP", "/x/y" }, { "EMPTY", "" } };
    EXPECT_EQ(zor::expandVariables("${TOP}/bin", env), "/x/y/bin");
    EXPECT_EQ(zor::expandVariables("${A}${A}-${EMPTY}-${NOPE}.", env), "11--.");
    EXPECT_EQ(zor::expandVariables("$A and ${A", env), "$A and ${A"); // only ${...} with a closing brace
    EXPECT_EQ(zor::expandVariables("", env), "");
    // A value is not expanded again.
    zor::Environment nested { { "B", "${A}" }, { "A", "1" } };
    EXPECT_EQ(zor::expandVariables("${B}", nested), "${A}");
}

TEST(ZorConsumerPaths, AreNormalisedAndAncestorsAreValid)
{
    EXPECT_EQ(zor::normaliseConsumerPath("a/b/"), "/a/b");
    EXPECT_EQ(zor::normaliseConsumerPath("//a//b"), "/a/b");
    EXPECT_EQ(zor::normaliseConsumerPath(""), "/");

    zor::ClusterDescription d;
    d.sourceFile = "cluster.toml";
    d.consumers = { "/apps/web" };
    EXPECT_TRUE(d.isConsumer("/apps/web"));
    EXPECT_TRUE(d.isConsumer("apps"));
    EXPECT_FALSE(d.isConsumer("/apps/we")); // a prefix is not an ancestor
    EXPECT_FALSE(d.isConsumer("/apps/web/deeper"));
    EXPECT_TRUE(d.isConsumer("/")) << "the root consumer of every cluster";
    EXPECT_TRUE(d.isConsumer("/KeepAlive"));
    EXPECT_TRUE(d.isConsumer("/ClusterServices"));
    EXPECT_TRUE(zor::ClusterDescription::builtInDefault().isConsumer("/anything/at/all"));
}

TEST(ZorDispatcher, RunsTasksByDueTimeThenInPostingOrder)
{
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> order;
    auto record = [&](int n) {
        return [&, n] {
            std::lock_guard lock(m);
            order.push_back(n);
            cv.notify_all();
        };
    };
    {
        zor::Dispatcher dispatcher;
        std::promise<void> gate;
        std::shared_future<void> opened = gate.get_future().share();
        // Hold the thread so that everything below is queued before any runs.
        dispatcher.post([opened] { opened.wait(); });
        auto now = Clock::now();
        dispatcher.post(now + std::chrono::milliseconds(30), record(4));
        dispatcher.post(now, record(1));
        dispatcher.post(now, record(2));
        dispatcher.post(now - std::chrono::seconds(1), record(0)); // overdue runs first
        dispatcher.post(now + std::chrono::milliseconds(10), record(3));
        gate.set_value();
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return order.size() == 5; }));
    }
    EXPECT_EQ(order, (std::vector<int> { 0, 1, 2, 3, 4 }));
}

TEST(ZorDispatcher, DestructionDropsTasksNotYetDue)
{
    bool ran = false;
    {
        zor::Dispatcher dispatcher;
        dispatcher.post(Clock::now() + std::chrono::hours(1), [&] { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(ZorUrlRegistry, KeepsEveryNameAcrossWritersAndRefusesHostileNames)
{
    ScratchDir dir;
    zor::UrlRegistry registry(dir.path() + "/state");
    EXPECT_FALSE(registry.get("A").has_value());
    EXPECT_EQ(registry.put("A", "h:1"), "");
    EXPECT_EQ(registry.put("B", "h:2"), "");
    EXPECT_EQ(registry.put("A", "h:3"), ""); // replaced, B kept
    EXPECT_EQ(registry.get("A"), "h:3");
    EXPECT_EQ(registry.get("B"), "h:2");
    EXPECT_NE(registry.put("C|D", "x"), "");
    EXPECT_NE(registry.put("E", "x\ny"), "");
    EXPECT_NE(registry.put("", "x"), "");

    // Writers in parallel lose nothing: each holds the lock across read-modify-write.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                registry.put("W" + std::to_string(t) + "_" + std::to_string(i), "u" + std::to_string(i));
        });
    for (auto& w : writers)
        w.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(
                registry.get("W" + std::to_string(t) + "_" + std::to_string(i)), "u" + std::to_string(i));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/state/urls.tmp." + std::to_string(getpid())));
}

TEST(ZorUrlRegistry, UnwritableStateDirIsReported)
{
    ScratchDir dir;
    std::ofstream(dir.path() + "/file") << "x";
    zor::UrlRegistry registry(dir.path() + "/file/state"); // a file where a directory should be
    EXPECT_NE(registry.put("A", "h:1"), "");
    EXPECT_FALSE(registry.get("A").has_value());
}

TEST(ZorContainerProcess, MissingWorkDirectoryParentIsReportedWithoutStarting)
{
    ScratchDir dir;
    std::ofstream(dir.path() + "/file") << "x";
    zor::ContainerProcess process;
    std::string error;
    bool exited = false;
    EXPECT_FALSE(process.start(
        "true", dir.path() + "/file/work", {}, "", [&](zor::ExitInfo) { exited = true; }, error));
    EXPECT_NE(error.find("work directory"), std::string::npos) << error;
    EXPECT_FALSE(process.signal(SIGTERM));
    EXPECT_FALSE(exited);
}

TEST(ZorContainerProcess, OutputGoesToItsFileAndNoDaemonDescriptorLeaks)
{
    ScratchDir dir;
    int inherited = open("/dev/null", O_RDONLY); // no O_CLOEXEC, like a careless socket
    ASSERT_GE(inherited, 3);
    std::string fd = std::to_string(inherited);
    std::promise<zor::ExitInfo> done;
    zor::ContainerProcess process;
    std::string error;
    ASSERT_TRUE(process.start(
        "echo out; echo err >&2; read line || echo eof; "
        "if [ -e /proc/$$/fd/"
            + fd + " ]; then echo leaked; else echo clean; fi; exit 4",
        dir.path() + "/work", { { "PATH", "/usr/bin:/bin" } }, dir.path() + "/logs/c1.out",
        [&](zor::ExitInfo exit) { done.set_value(exit); }, error))
        << error;
    auto exit = done.get_future();
    ASSERT_EQ(exit.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    process.join();
    close(inherited);
    zor::ExitInfo info = exit.get();
    EXPECT_EQ(info.reason, ZOR_EXIT_NORMAL);
    EXPECT_EQ(info.status, 4);
    std::ifstream in(dir.path() + "/logs/c1.out");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "out\nerr\neof\nclean\n");
}

TEST(ZorSlurmNames, NodeTreesPartitionsAndShellWordsAreBuiltExactly)
{
    EXPECT_EQ(zor::nodeTree("/s/hosts/${SLURMD_NODENAME}", "node2"), "/s/hosts/node2");
    EXPECT_EQ(zor::nodeTree("/a/${SLURMD_NODENAME}/b/${SLURMD_NODENAME}", "n"), "/a/n/b/n");
    EXPECT_EQ(zor::nodeTree("/fixed", "node1"), "/fixed");
    // A node name that spells the variable again is not expanded twice.
    EXPECT_EQ(zor::nodeTree("${SLURMD_NODENAME}", "${SLURMD_NODENAME}"), "${SLURMD_NODENAME}");

    zor::SlurmSettings settings;
    settings.internalPartition = "batch";
    settings.partitions["Web"] = "web_nodes";
    EXPECT_EQ(zor::partitionOfGroup(settings, "Web"), "web_nodes");
    EXPECT_EQ(zor::partitionOfGroup(settings, "InternalResourceGroup"), "batch");
    EXPECT_EQ(zor::partitionOfGroup(settings, "debug"), "debug");

    // Every word survives /bin/sh as it was, whatever it holds.
    ScratchDir dir;
    const std::string hostile = "it's $(touch pwned) `x` \"q\" ; \\ end";
    std::string out = dir.path() + "/out";
    std::string command = "printf '%s' " + zor::shellQuote(hostile) + " > " + zor::shellQuote(out);
    ASSERT_EQ(std::system(("cd " + zor::shellQuote(dir.path()) + " && " + command).c_str()), 0);
    std::ifstream in(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), hostile);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/pwned"));
}

TEST(ZorSlurmDescription, SlurmKeysAreReadAndHostListsRefused)
{
    ScratchDir dir;
    std::string file = dir.path() + "/c.toml";
    std::ofstream(file) << "[cluster]\nbackend = \"slurm\"\nstate_dir = \"/st\"\n"
                           "[slurm]\nconf = \"/etc/s.conf\"\ninternal_partition = \"batch\"\n"
                           "type_feature_prefix = \"os_\"\n[slurm.partitions]\nWeb = \"web\"\n";
    zor::ClusterDescription d = zor::ClusterDescription::fromFile(file);
    EXPECT_TRUE(d.usesSlurm());
    EXPECT_EQ(d.slurm.conf, "/etc/s.conf");
    EXPECT_EQ(d.slurm.internalPartition, "batch");
    EXPECT_EQ(d.slurm.typeFeaturePrefix, "os_");
    EXPECT_EQ(d.slurm.partitions.at("Web"), "web");
    EXPECT_EQ(d.slurm.hostTop, "/st/hosts/${SLURMD_NODENAME}"); // the embedded cluster's layout
    EXPECT_EQ(d.slurm.srun, "srun");
    EXPECT_TRUE(d.hosts.empty()); // they come from the controller

    auto refused = [&](const std::string& text, const std::string& key) {
        std::ofstream(file, std::ios::trunc) << text;
        try {
            zor::ClusterDescription::fromFile(file);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const zor::DescriptionError& e) {
            EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
        }
    };
    refused("[cluster]\nbackend = \"slurm\"\n[groups]\nG = []\n", "groups");
    refused("[cluster]\nbackend = \"slurm\"\n[slurm]\npartition = \"x\"\n", "slurm.partition");
    refused("[cluster]\nbackend = \"slurm\"\n[slurm.partitions]\nWeb = 3\n", "slurm.partitions.Web");
    refused("[cluster]\nbackend = \"slurm\"\n[slurm]\nsrun = \"\"\n", "slurm.srun");
    refused("[[hosts]]\nname = \"a\"\n[slurm]\nconf = \"x\"\n", "only used with backend");
    refused("[cluster]\nbackend = \"slurm\"\n[[hosts]]\nname = \"a\"\n", "not allowed with backend");
    refused("[cluster]\nbackend = \"cloud\"\n", "cluster.backend");
}
