#include "platform/zor/ContainerProcess.h"

#include "platform/zor/zor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

// What the child gets: its own process group, the standard files, no other
// descriptor of the daemon (its sockets and files stay with it), and the
// work directory.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    bool prepare(int in, int out, const std::string& workDir, std::string& error)
    {
        const bool ready = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP) == 0
            && posix_spawnattr_setpgroup(&attributes, 0) == 0
            && (in < 0 || posix_spawn_file_actions_adddup2(&actions, in, 0) == 0)
            && (out < 0
                || (posix_spawn_file_actions_adddup2(&actions, out, 1) == 0
                    && posix_spawn_file_actions_adddup2(&actions, out, 2) == 0))
            && posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0
            && posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str()) == 0;
        if (!ready)
            error = "cannot prepare the start of the command";
        return ready;
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
    std::vector<std::string> entries;
    for (auto& [k, v] : env)
        entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dashC = "-c", cmd = command;
    char* argv[] = { sh.data(), dashC.data(), cmd.data(), nullptr };

    // Spawned rather than forked: a fork copies the daemon's page tables and
    // makes its threads fault on every page they write until the child has
    // exec'd, a cost paid again for every host a deployment starts.
    SpawnSetup setup;
    if (!setup.prepare(files.in, files.out, workDir, error))
        return false;
    pid_t pid = -1;
    if (int failed = posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv, envp.data())) {
        error = "cannot run '" + command + "' in '" + workDir + "': " + std::strerror(failed);
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
