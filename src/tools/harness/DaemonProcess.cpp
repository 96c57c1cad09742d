#include "tools/harness/DaemonProcess.h"

#include "common/ResultCodes.h"
#include "platform/wardn/PasswordFile.h"
#include "rs/i18n/NarvI18n.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rs::harness {

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string clusterFile(const fs::path& root)
{
    return "[cluster]\n"
           "state_dir = \""
        + (root / "cluster").string()
        + "\"\n"
          "[params]\n"
          "QEL_SEC_PLUGIN = \"sec_passwd\"\n"
          "QEL_SEC_CONF = \""
        + (root / "passwd").string()
        + "\"\n"
          "[[hosts]]\nname = \"node1\"\n"
          "[[hosts]]\nname = \"node2\"\n"
          "[[consumers]]\npath = \""
        + kKnownConsumer
        + "\"\n"
          "[[roles]]\nuser = \""
        + kAdminUser + "\"\nconsumer = \"/\"\nlevel = 1\n";
}

std::string logProperties(const fs::path& logFile)
{
    return "log4j.rootLogger=DEBUG, file\n"
           "log4j.appender.file=org.apache.log4j.FileAppender\n"
           "log4j.appender.file.File="
        + logFile.string()
        + "\n"
          "log4j.appender.file.layout=org.apache.log4j.PatternLayout\n"
          "log4j.appender.file.layout.ConversionPattern=%p %c - %m%n\n";
}

} // namespace

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "rs-run-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto& entry : fs::recursive_directory_iterator(path_, ignored))
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

TestCluster::TestCluster()
{
    // Readable by an unprivileged daemon as well (the read-only storage test).
    fs::permissions(root(),
        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec);
    writeFile(root() / "cluster.toml", clusterFile(root()));
    writeFile(root() / "rs.log4j.properties", logProperties(logFile()));
    writeFile(logFile(), "");
    fs::permissions(logFile(),
        fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
    wardn::setPassword((root() / "passwd").string(), kAdminUser, kAdminPassword);
    wardn::setPassword((root() / "passwd").string(), kServiceUser, kServicePassword);
    fs::permissions(root() / "passwd",
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

std::map<std::string, std::string> TestCluster::environment() const
{
    std::map<std::string, std::string> env;
    for (const char* keep : { "PATH", "LD_LIBRARY_PATH", "HOME", "TMPDIR" })
        if (const char* value = std::getenv(keep))
            env[keep] = value;
    env["ZOR_CLUSTER_FILE"] = (root() / "cluster.toml").string();
    env["QEL_SERVICE_CREDENTIAL"] = std::string(kServiceUser) + ":" + kServicePassword;
    env["NARV_HOME"] = root().string();
    env["RS_STORAGE_DIR"] = storageDir().string();
    env["RS_LOG_PROPERTY_FILE"] = (root() / "rs.log4j.properties").string();
    return env;
}

std::string TestCluster::logText() const
{
    return readFile(logFile());
}

DaemonProcess::~DaemonProcess()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(30));
    }
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
}

std::string DaemonProcess::binary()
{
    const char* build = std::getenv("RS_BUILD_DIR");
    return (fs::path(build ? build : "build") / "bin" / "rs").string();
}

int DaemonProcess::freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string DaemonProcess::startedText()
{
    auto& catalogue = kav::NarvI18n::instance();
    if (!catalogue.isInitialised())
        catalogue.init();
    std::string text;
    catalogue.i18n(kav::msg::STARTED, text);
    return text;
}

void DaemonProcess::start(
    const RunOptions& options, const std::map<std::string, std::string>& baseEnvironment)
{
    std::map<std::string, std::string> environment = baseEnvironment;
    // A sanitizer build's daemon runs with the options the test run was given.
    for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS" })
        if (const char* value = std::getenv(name); value && !environment.count(name))
            environment[name] = value;
    for (const auto& [name, value] : options.env)
        environment[name] = value;
    for (const auto& name : options.unsetEnv)
        environment.erase(name);
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : environment)
        envStrings.push_back(name + "=" + value);
    std::vector<std::string> argStrings { options.program.empty() ? binary() : options.program };
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (options.runAsUser && (::setgid(*options.runAsUser) != 0 || ::setuid(*options.runAsUser) != 0))
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    openStreams_ = 2;
    outReader_ = std::thread([this, fd = outPipe[0]] { collect(fd, out_); });
    errReader_ = std::thread([this, fd = errPipe[0]] { collect(fd, err_); });
}

void DaemonProcess::collect(int fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            --openStreams_;
            changed_.notify_all();
            break;
        }
        into.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

bool DaemonProcess::waitUntilServing(std::chrono::seconds limit)
{
    const std::string started = startedText();
    std::unique_lock lock(mutex_);
    changed_.wait_for(
        lock, limit, [&] { return err_.find(started) != std::string::npos || openStreams_ == 0; });
    return err_.find(started) != std::string::npos;
}

std::optional<int> DaemonProcess::waitForExit(std::chrono::seconds limit)
{
    if (status_)
        return status_;
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return openStreams_ == 0; }))
            return std::nullopt;
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_)
        return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

std::optional<int> DaemonProcess::stop()
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, SIGTERM);
    return waitForExit();
}

std::string DaemonProcess::standardOutput()
{
    std::lock_guard lock(mutex_);
    return out_;
}

std::string DaemonProcess::standardError()
{
    std::lock_guard lock(mutex_);
    return err_;
}

bool ServingDaemon::start(RunOptions options)
{
    port = DaemonProcess::freePort();
    options.args.insert(options.args.begin(), { "-p", std::to_string(port) });
    process.start(options, cluster.environment());
    if (process.waitUntilServing())
        return true;
    failure = process.standardError() + "\n--- log ---\n" + cluster.logText();
    return false;
}

} // namespace rs::harness
