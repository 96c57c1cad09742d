#include "slurm/SlurmTestCluster.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace rs::slurmtest {

namespace {

std::string script()
{
    return RS_SLURM_SCRIPT;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

} // namespace

SlurmTestCluster::SlurmTestCluster()
{
    std::string output;
    if (run(script() + " check 2>&1", &output) != 0) {
        why_ = output.empty() ? "scripts/slurm-test-cluster check failed" : output;
        return;
    }
    // A daemon of a cluster that just stopped can still hold what the next
    // one needs, so a failed start is tried again in a fresh directory with
    // fresh ports before the tests give up.
    constexpr int kAttempts = 3;
    for (int attempt = 1; attempt <= kAttempts && !running_; ++attempt) {
        char pattern[] = "/tmp/rs-slurm.XXXXXX";
        if (!mkdtemp(pattern)) {
            why_ = "no scratch directory";
            return;
        }
        dir_ = pattern;
        running_ = run(script() + " start " + dir_ + " 2>&1", &output) == 0;
        if (!running_) {
            why_ = "the Slurm cluster did not start (" + std::to_string(attempt) + " attempts): " + output;
            if (attempt < kAttempts) {
                std::error_code ignored;
                std::filesystem::remove_all(dir_, ignored);
                dir_.clear();
            }
        }
    }
}

SlurmTestCluster::~SlurmTestCluster()
{
    if (dir_.empty())
        return;
    run(script() + " stop " + dir_ + " >/dev/null 2>&1");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

int SlurmTestCluster::run(const std::string& command, std::string* output) const
{
    std::string line = dir_.empty() ? command : "export SLURM_CONF='" + conf() + "'; " + command;
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        text.append(buffer, n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SlurmTestCluster::hold(const std::string& nodes, int count) const
{
    // A batch job is queued at once, whether the nodes are free yet or not.
    std::string output;
    if (run("sbatch --parsable -N" + std::to_string(count) + " -w " + nodes + " -p "
                + std::string(kAllPartition)
                + " --chdir=/ -o /dev/null -J holder --wrap 'exec sleep 3600' 2>&1",
            &output)
        != 0)
        return "";
    std::vector<std::string> words = lines(output);
    return words.empty() ? "" : words.back();
}

void SlurmTestCluster::cancel(const std::string& jobId) const
{
    run("scancel " + jobId);
}

std::string SlurmTestCluster::state() const
{
    std::string output;
    run("squeue -o '%i %j %T %N %r'; squeue --steps; sinfo -N -o '%N %T' 2>&1", &output);
    return output;
}

} // namespace rs::slurmtest
