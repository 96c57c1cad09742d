#include "platform/zor/ContainerProcess.h"

#include "platform/zor/zor.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace zor {

std::string expandVariables(const std::string& text, const Environment& env)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t start = text.find("${", i);
        size_t end = start == std::string::npos ? std::string::npos : text.find('}', start + 2);
        if (end == std::string::npos) {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, start - i);
        auto it = env.find(text.substr(start + 2, end - start - 2));
        if (it != env.end())
            out += it->second;
        i = end + 1;
    }
    return out;
}

ContainerProcess::~ContainerProcess()
{
    signal(SIGKILL);
    join();
}

namespace {

// Descriptors the child gets as 0, 1 and 2; closed when the object goes.
struct StandardFiles {
    int in = -1, out = -1;
    ~StandardFiles()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
    }
    bool open(const std::string& outputFile, std::string& error)
    {
        in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (!outputFile.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(outputFile).parent_path(), ec);
            out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (out < 0) {
                error = "cannot open '" + outputFile + "': " + std::strerror(errno);
                return false;
            }
        }
        return true;
    }
};

} // namespace

bool ContainerProcess::start(const std::string& command, const std::string& workDir, const Environment& env,
    const std::string& outputFile, std::function<void(ExitInfo)> onExit, std::string& error)
{
    std::error_code ec;
    std::filesystem::create_directories(workDir, ec);
    if (ec) {
        error = "cannot create work directory '" + workDir + "': " + ec.message();
        return false;
    }
    StandardFiles files;
    if (!files.open(outputFile, error))
        return false;
    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> entries;
    for (auto& [k, v] : env)
        entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dashC = "-c", cmd = command;
    char* argv[] = { sh.data(), dashC.data(), cmd.data(), nullptr };

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (files.in >= 0)
            dup2(files.in, 0);
        if (files.out >= 0) {
            dup2(files.out, 1);
            dup2(files.out, 2);
        }
        // The daemon's sockets and files stay with the daemon.
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        int err = 0;
        if (chdir(workDir.c_str()) == 0)
            execve(argv[0], argv, envp.data());
        err = errno;
        (void)!write(report[1], &err, sizeof err);
        _exit(127);
    }
    setpgid(pid, pid); // also here, so that a signal right after start reaches the group
    close(report[1]);
    int childErr = 0;
    ssize_t n;
    while ((n = read(report[0], &childErr, sizeof childErr)) < 0 && errno == EINTR) { }
    close(report[0]);
    if (n > 0) {
        waitpid(pid, nullptr, 0);
        error = "cannot run '" + command + "' in '" + workDir + "': " + std::strerror(childErr);
        return false;
    }
    pid_ = pid;
    onExit_ = std::move(onExit);
    reaper_ = std::thread([this] { reap(); });
    return true;
}

void ContainerProcess::reap()
{
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    ExitInfo info;
    if (WIFSIGNALED(status)) {
        info.reason = ZOR_EXIT_SIGNALED;
        info.status = WTERMSIG(status);
    } else {
        info.reason = ZOR_EXIT_NORMAL;
        info.status = WEXITSTATUS(status);
    }
    {
        std::lock_guard lock(mutex_);
        exited_ = true;
    }
    if (onExit_)
        onExit_(info);
}

bool ContainerProcess::signal(int sig)
{
    std::lock_guard lock(mutex_);
    if (pid_ <= 0 || exited_)
        return false;
    // The process is not reaped yet, so its group id cannot have been reused.
    return ::kill(-pid_, sig) == 0 || ::kill(pid_, sig) == 0;
}

void ContainerProcess::join()
{
    if (reaper_.joinable() && reaper_.get_id() != std::this_thread::get_id())
        reaper_.join();
}

} // namespace zor
