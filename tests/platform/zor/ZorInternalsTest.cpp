// The parts behind libzor's calls that its C API does not show: what a
// container inherits, and the Slurm backend's names and description.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ContainerProcess.h"
#include "platform/zor/SlurmClient.h"
#include "platform/zor/zor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

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
    EXPECT_EQ(d.slurm.hostTop, "/st/hosts/${SLURMD_NODENAME}"); // the embedded cluster's layout
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
    refused("[cluster]\nbackend = \"slurm\"\n[slurm.partitions]\nWeb = 3\n", "slurm.partitions.Web");
    refused("[[hosts]]\nname = \"a\"\n[slurm]\nconf = \"x\"\n", "only used with backend");
    refused("[cluster]\nbackend = \"slurm\"\n[[hosts]]\nname = \"a\"\n", "not allowed with backend");
    refused("[cluster]\nbackend = \"cloud\"\n", "cluster.backend");
}
