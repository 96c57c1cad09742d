#pragma once
// A child program started by the benchmark: an anchor server (redis-server,
// nginx) that runs until stopped, or a load tool (redis-benchmark, wrk,
// curl, dd) whose standard output is collected until it ends.
//
// Threads: owned and driven by one thread. The destructor stops a child
// that still runs (SIGTERM, then waits).

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace rsbench {

class Subprocess {
public:
    Subprocess() = default;
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Starts args[0] (searched in PATH). With `captureOutput` the child's
    // standard output goes to a pipe that finish() reads; otherwise both
    // its output streams go to /dev/null. False when it cannot start.
    bool start(const std::vector<std::string>& args, bool captureOutput);
    // Reads the captured output to its end and waits for the child.
    // Returns the exit status (128 + signal when killed); nothing when no child ran.
    std::optional<int> finish();
    // SIGTERM and wait.
    void stop();
    const std::string& output() const { return output_; }
    pid_t pid() const { return pid_; }

    // Runs to the end; the exit status and the output, or nothing when it could not start.
    struct Outcome {
        int status = -1;
        std::string output;
    };
    static std::optional<Outcome> run(const std::vector<std::string>& args);
    // True when `program` is found in PATH.
    static bool available(const std::string& program);

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string output_;
};

} // namespace rsbench
