#pragma once
// One container of the embedded cluster: a local child process started
// through /bin/sh in a process group of its own, and the thread that reaps it.
//
// Threads: start() and signal() from any thread; the reaper thread calls
// onExit once, when the process has ended. join() waits for the reaper and
// must not be called from onExit.

#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zor {

using Environment = std::map<std::string, std::string>;

// Replaces every ${NAME} by its value in env (empty when unset); text without
// a closing brace stays as it is.
std::string expandVariables(const std::string& text, const Environment& env);

struct ExitInfo {
    int reason = 0; // zor_exit_reason
    int status = 0; // exit status or signal number
};

class ContainerProcess {
public:
    ContainerProcess() = default;
    ContainerProcess(const ContainerProcess&) = delete;
    ContainerProcess& operator=(const ContainerProcess&) = delete;
    ~ContainerProcess(); // kills and reaps a process still running

    // Runs command in workDir (created when missing) with exactly env, stdin
    // from /dev/null and stdout and stderr appended to outputFile (its
    // directory is created; empty: the daemon's own). No other descriptor of
    // the daemon reaches the command. On failure returns false and fills
    // error; onExit is not called then.
    bool start(const std::string& command, const std::string& workDir, const Environment& env,
        const std::string& outputFile, std::function<void(ExitInfo)> onExit, std::string& error);
    // Sends sig to the process group; false when it has ended already.
    bool signal(int sig);
    void join();
    pid_t pid() const { return pid_; }

private:
    void reap();

    pid_t pid_ = -1;
    std::mutex mutex_; // guards exited_
    bool exited_ = false;
    std::function<void(ExitInfo)> onExit_;
    std::thread reaper_;
};

} // namespace zor
