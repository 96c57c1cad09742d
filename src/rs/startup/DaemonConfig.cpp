#include "rs/startup/DaemonConfig.h"

#include <ace/Get_Opt.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace rs {

namespace {

constexpr const char* kOptions = "h;V;l:p:d:";

void readText(const EnvLookup& env, const char* name, std::string& field)
{
    if (const char* value = env(name))
        field = value;
}

void readNumber(const EnvLookup& env, const char* name, int32_t& field)
{
    if (const char* value = env(name))
        field = std::atoi(value);
}

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n\f\v";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

} // namespace

EnvLookup processEnvironment()
{
    return [](const char* name) { return static_cast<const char*>(std::getenv(name)); };
}

void readEnvironment(DaemonConfig& config, const EnvLookup& env)
{
    readText(env, "REPOSITORY_SERVICE_PORT", config.portText);
    readText(env, "RS_LOG_PROPERTY_FILE", config.logPropertyFile);
    readText(env, "RS_STORAGE_DIR", config.storageDir);
    readNumber(env, "REPOSITORY_CACHE_SIZE", config.cacheSize);
    readNumber(env, "REPOSITORY_CACHE_TIMEOUT", config.cacheTimeout);
    readNumber(env, "RSDEPLOY_HOST_TIMEOUT", config.hostTimeout);
    if (const char* audit = env("RS_AUDIT_LOG"))
        config.auditLog = strcasecmp(audit, "ON") == 0;
}

OptionsOutcome parseOptions(DaemonConfig& config, int argc, char* argv[])
{
    ACE_Get_Opt options(argc, argv, kOptions, 1, 0, ACE_Get_Opt::REQUIRE_ORDER);
    for (int option; (option = options()) != EOF;) {
        switch (option) {
        case 'd':
            config.storageDir = options.opt_arg();
            break;
        case 'p':
            config.portText = options.opt_arg();
            config.port = std::atoi(options.opt_arg());
            break;
        case 'l':
            config.logPropertyFile = options.opt_arg();
            break;
        case 'V':
            return OptionsOutcome::ShowVersion;
        default: // -h and anything not in the list
            return OptionsOutcome::ShowUsage;
        }
    }
    return OptionsOutcome::Run;
}

std::string usageLine(const std::string& program)
{
    return "Usage: " + program + " [-h] [-V] [-p <port number>] [-d <repository directory>]\n";
}

std::string applyDirectoryDefaults(DaemonConfig& config, const EnvLookup& env, const DefaultSources& sources)
{
    const char* topValue = env("QEL_TOP");
    const char* homeValue = env("NARV_HOME");
    std::string top = topValue ? topValue : "";
    std::string home = homeValue ? homeValue : "";
    if (home.empty())
        home = sources.currentDir.empty() ? "." : sources.currentDir;

    std::string logDir;
    std::string base = home;
    if (!top.empty() && sources.gridMode) {
        base = top + "/eservice/rs";
        logDir = base + "/log";
    }
    if (config.logPropertyFile.empty())
        config.logPropertyFile = base + "/conf/rs.log4j.properties";
    if (config.storageDir.empty())
        config.storageDir = base + "/.cache";
    return logDir;
}

bool parsePort(const std::string& portText, int32_t& port)
{
    std::string text = trimmed(portText);
    if (text.empty())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool sign = i == 0 && text[i] == '-';
        if (!sign && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < 1 || value > 65535)
        return false;
    port = static_cast<int32_t>(value);
    return true;
}

} // namespace rs
