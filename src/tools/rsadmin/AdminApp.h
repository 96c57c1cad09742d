#pragma once
// rsadmin's command line: parses the arguments with CLI11, runs the chosen
// command of AdminCommands and turns failures into messages on standard
// error and the exit status.
//
// Single-threaded.

#include "tools/rsadmin/AdminIo.h"
#include "tools/rsadmin/GlobalOptions.h"
#include "tools/rsadmin/Transfer.h"

#include <string>
#include <vector>

namespace rsadmin {

struct AdminHooks {
    RegistryLookup lookup = lookUpRegisteredUrl;
    ProgressBar::Clock clock;
};

// Runs one command; `args` without the program name. Returns the exit status.
int runAdmin(const std::vector<std::string>& args, AdminIo& io, const AdminHooks& hooks = {});

} // namespace rsadmin
