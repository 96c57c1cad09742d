#pragma once
// The daemon's configuration: what the environment and the command line say,
// the directory defaults filled in afterwards, and the port rule. Everything
// here is a pure function of its inputs so that start-up can be tested
// without starting anything.
//
// Threads: main thread only, during start-up.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace rs {

// The deployment host time-out, in seconds, that RSDEPLOY_HOST_TIMEOUT
// below 0 stands for (as 0 does, for the service object).
inline constexpr int32_t kDefaultHostTimeout = 60;

struct DaemonConfig {
    int32_t cacheSize = 0;
    int32_t cacheTimeout = 0;
    int32_t port = 0;
    bool auditLog = false;
    std::string portText;
    std::string storageDir;
    int32_t hostTimeout = 0;
    std::string logPropertyFile;
};

// Looks an environment variable up; null when unset. Tests pass a map.
using EnvLookup = std::function<const char*(const char*)>;
EnvLookup processEnvironment();

// Reads the daemon's environment variables into config; unset ones leave
// their field unchanged. A value that is not understood is still converted
// the usual way (atoi, "ON" in any case), except a host time-out below 0,
// which becomes kDefaultHostTimeout; the returned warnings say which
// variable it was and what is used instead, for the operator to see.
std::vector<std::string> readEnvironment(DaemonConfig& config, const EnvLookup& env);

// One option of the daemon's command line: the parser, the usage line, the
// help text (and the manual page made from it) all come from this table.
struct OptionSpec {
    char shortName;
    const char* longName;
    const char* argument; // null for an option without an argument
    const char* help;
};
std::span<const OptionSpec> optionSpecs();

enum class OptionsOutcome { Run, ShowUsage, ShowHelp, ShowVersion, Check };

struct OptionsResult {
    OptionsOutcome outcome = OptionsOutcome::Run;
    std::string problem; // "unknown option -x", "option -p needs an argument"
};

// Parses the options after argv[0] in order, stopping at the first argument
// that is not one; options override the environment. An option outside the
// table, or one missing its argument, asks for the usage line.
OptionsResult parseOptions(DaemonConfig& config, int argc, char* argv[]);

// "Usage: <program> [-h] [-V] [-c] [-p <port number>] ...\n"
std::string usageLine(const std::string& program);
// The usage line, then one line per option and the environment it reads.
std::string helpText(const std::string& program);

// Where the defaults come from besides the environment.
struct DefaultSources {
    bool gridMode = false;
    std::string currentDir; // empty when it cannot be obtained
};

// Fills the log property file and the storage directory when they are still
// empty. Returns the log directory to create in grid mode (empty otherwise).
std::string applyDirectoryDefaults(DaemonConfig& config, const EnvLookup& env, const DefaultSources& sources);

// The port rule: blanks around it are ignored; decimal digits with an
// optional leading '-'; 1..65535. Sets port to the value on success.
bool parsePort(const std::string& portText, int32_t& port);

} // namespace rs
