// A start-up that cannot go on, as the operator sees it: the reason on
// standard error and exit status 1.

#include "e2e/E2eSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using namespace rs::e2e;
namespace fs = std::filesystem;

// Something else listening on a port while it lives.
class PortHolder {
public:
    PortHolder()
        : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 1) != 0)
            throw std::runtime_error("cannot hold a port");
    }
    ~PortHolder() { ::close(fd_); }
    int port() const { return port_; }

private:
    int port_ = DaemonProcess::freePort();
    int fd_;
};

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// Each start-up that cannot go on says why on standard error, in the
// operator's terms (file and line, the system's reason), and exits with 1.
TEST(DaemonStartup, RefusalsSayTheirReasonOnStandardError)
{
    using Setup = std::function<void(TestCluster&, RunOptions&)>;
    auto clusterFile = [](std::string text) {
        return [text](TestCluster& cluster, RunOptions& options) {
            writeText(cluster.root() / "bad.toml", "[params]\nQEL_SEC_PLUGIN = \"sec_passwd\"\n" + text);
            options.env["ZOR_CLUSTER_FILE"] = (cluster.root() / "bad.toml").string();
        };
    };
    PortHolder busy;
    struct Row {
        const char* name;
        Setup setup;
        std::vector<std::string> said; // on standard error, each
    };
    const Row rows[] = {
        { "unknown key", clusterFile("[[hosts]]\nname = \"n1\"\nslot = 2\n"),
            { "bad.toml:5", "hosts.slot" } },
        { "syntax error", clusterFile("[[hosts]]\nname = \"n1\n"), { "bad.toml:4" } },
        { "unknown host in a group",
            clusterFile("[[hosts]]\nname = \"n1\"\n[groups]\nG = [\"n1\", \"zz\"]\n"),
            { "bad.toml:", "zz" } },
        { "missing cluster file",
            [](TestCluster& cluster, RunOptions& options) {
                options.env["ZOR_CLUSTER_FILE"] = (cluster.root() / "none.toml").string();
            },
            { "none.toml", "No such file or directory" } },
        { "cluster file unset",
            [](TestCluster&, RunOptions& options) { options.unsetEnv = { "ZOR_CLUSTER_FILE" }; },
            { "ZOR_CLUSTER_FILE is not set" } },
        { "storage path is a file",
            [](TestCluster& cluster, RunOptions& options) {
                writeText(cluster.root() / "plain", "");
                options.args.push_back("-d");
                options.args.push_back((cluster.root() / "plain").string());
            },
            { "plain", "is not a directory" } },
        { "port in use",
            [&busy](TestCluster&, RunOptions& options) {
                options.args = { "-p", std::to_string(busy.port()) };
            },
            { "port " + std::to_string(busy.port()), "Address already in use" } },
        { "no catalogue",
            [](TestCluster&, RunOptions& options) {
                options.env["RS_I18N_DATA"] = "/nonexistent/catalogue";
                options.args.clear(); // and no port: it cannot start
            },
            { "message catalogue cannot be opened", "message 85002" } },
        { "check of a malformed cluster file",
            [&](TestCluster& cluster, RunOptions& options) {
                clusterFile("[[hosts]]\nname = \"n1\"\nslot = 2\n")(cluster, options);
                options.args.push_back("--check");
            },
            { "bad.toml:5", "hosts.slot", "not usable" } },
    };
    for (const Row& row : rows) {
        TestCluster cluster;
        RunOptions options { .args = { "-p", std::to_string(DaemonProcess::freePort()) } };
        row.setup(cluster, options);
        DaemonProcess process;
        process.start(options, cluster.environment());
        EXPECT_EQ(process.waitForExit(), 1) << row.name;
        const std::string said = process.standardError();
        for (const auto& text : row.said)
            EXPECT_NE(said.find(text), std::string::npos) << row.name << ": no \"" << text << "\" in\n"
                                                          << said;
    }
}

} // namespace
