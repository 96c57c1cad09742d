#pragma once
// The daemon's configuration: what the environment and the command line say,
// the directory defaults filled in afterwards, and the port rule. Everything
// here is a pure function of its inputs so that start-up can be tested
// without starting anything.
//
// Threads: main thread only, during start-up.

#include <cstdint>
#include <functional>
#include <string>

namespace rs {

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
// their field unchanged.
void readEnvironment(DaemonConfig& config, const EnvLookup& env);

enum class OptionsOutcome { Run, ShowUsage, ShowVersion };

// Parses "h;V;l:p:d:" after argv[0]; options override the environment.
// Any option outside the list asks for the usage line.
OptionsOutcome parseOptions(DaemonConfig& config, int argc, char* argv[]);

// "Usage: <program> [-h] [-V] [-p <port number>] [-d <repository directory>]\n"
std::string usageLine(const std::string& program);

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
