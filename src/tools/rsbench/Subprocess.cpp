#include "tools/rsbench/Subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rsbench {

Subprocess::~Subprocess()
{
    stop();
}

bool Subprocess::start(const std::vector<std::string>& args, bool captureOutput)
{
    if (args.empty() || pid_ > 0)
        return false;
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = { -1, -1 };
    if (captureOutput) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput)
        ::close(pipeFds[1]);
    if (rc != 0) {
        pid_ = -1;
        if (captureOutput)
            ::close(pipeFds[0]);
        return false;
    }
    outFd_ = pipeFds[0];
    output_.clear();
    return true;
}

std::optional<int> Subprocess::finish()
{
    if (pid_ <= 0)
        return std::nullopt;
    if (outFd_ >= 0) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(outFd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            output_.append(buffer, static_cast<size_t>(n));
        }
        ::close(outFd_);
        outFd_ = -1;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Subprocess::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        finish();
    }
}

std::optional<Subprocess::Outcome> Subprocess::run(const std::vector<std::string>& args)
{
    Subprocess child;
    if (!child.start(args, true))
        return std::nullopt;
    Outcome outcome;
    outcome.status = child.finish().value_or(-1);
    outcome.output = child.output();
    // posix_spawnp reports a missing program as exit status 127 of the child.
    if (outcome.status == 127)
        return std::nullopt;
    return outcome;
}

bool Subprocess::available(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = dirs.find(':', begin);
        if (end == std::string::npos)
            end = dirs.size();
        const std::filesystem::path candidate
            = std::filesystem::path(dirs.substr(begin, end - begin)) / program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

} // namespace rsbench
