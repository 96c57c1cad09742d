#pragma once
// In-process runs of rsadmin for tests: string streams, a private
// environment, a registry look-up that answers what the test says, and
// pauses that wait only when asked to.

#include "tools/rsadmin/AdminApp.h"

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace rsadmin::test {

struct AdminRun {
    int status = -1;
    std::string out;
    std::string err;
};

class AdminRunner {
public:
    std::map<std::string, std::string> env;
    std::string registered; // what the registry answers for RS_DEPLOY
    std::string input; // standard input
    bool inIsTerminal = false;
    bool errIsTerminal = false; // progress bars are drawn then
    // Pauses of `package status --watch` wait for real when set (a live
    // service is watched); otherwise they are skipped.
    bool realPauses = false;
    // The clock of progress bars and watches (default: the steady clock).
    ProgressBar::Clock clock;

    AdminRun run(const std::vector<std::string>& args)
    {
        std::istringstream in(input);
        std::ostringstream out, err;
        AdminIo io { in, out, err };
        io.inIsTerminal = inIsTerminal;
        io.errIsTerminal = errIsTerminal;
        io.getenv = [this](const std::string& name) -> std::optional<std::string> {
            auto found = env.find(name);
            if (found == env.end())
                return std::nullopt;
            return found->second;
        };
        io.pause = [this](std::chrono::milliseconds interval) {
            if (realPauses)
                std::this_thread::sleep_for(interval);
        };
        AdminHooks hooks;
        hooks.clock = clock;
        hooks.lookup = [this](const std::string& name) { return name == kRegisteredName ? registered : ""; };
        AdminRun result;
        result.status = runAdmin(args, io, hooks);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
};

} // namespace rsadmin::test
