#include "rs/startup/DaemonConfig.h"

#include <ace/Get_Opt.h>

#include <algorithm>
#include <optional>
#include <sstream>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <strings.h>

namespace rs {

namespace {

constexpr OptionSpec kOptionSpecs[] = {
    { 'h', "help", nullptr, "print this help and exit" },
    { 'V', "version", nullptr, "print the version banner and exit" },
    { 'c', "check", nullptr,
        "check the configuration (environment, options, cluster description, directories) without "
        "starting the service; exit status 0 when it is usable, 1 with the reasons on standard error" },
    { 'p', "port", "port number", "TCP port to listen on (overrides REPOSITORY_SERVICE_PORT)" },
    { 'd', "storage-dir", "repository directory", "repository directory (overrides RS_STORAGE_DIR)" },
    { 'l', "log-config", "log configuration file",
        "log4cxx configuration, properties or XML (overrides RS_LOG_PROPERTY_FILE)" },
};

constexpr const char* kEnvironmentHelp
    = "Environment:\n"
      "  REPOSITORY_SERVICE_PORT, RS_STORAGE_DIR, RS_LOG_PROPERTY_FILE,\n"
      "  REPOSITORY_CACHE_SIZE, REPOSITORY_CACHE_TIMEOUT, RSDEPLOY_HOST_TIMEOUT,\n"
      "  RS_AUDIT_LOG, QEL_TOP, NARV_HOME, ZOR_CLUSTER_FILE, QEL_SERVICE_CREDENTIAL\n"
      "  (see the operations guide).\n";

void readText(const EnvLookup& env, const char* name, std::string& field)
{
    if (const char* value = env(name))
        field = value;
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

// Whether atoi takes the whole text for what it says: an optional sign and
// decimal digits (blanks around them allowed) that fit the field.
bool isWholeNumber(const std::string& value)
{
    const std::string text = trimmed(value);
    size_t digits = text.find_first_not_of("+-") == 1 ? 1 : 0;
    if (text.size() <= digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    errno = 0;
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    return errno != ERANGE && number >= INT32_MIN && number <= INT32_MAX;
}

// Reads a variable as atoi does. With `belowZero`, a value below 0 is
// replaced by it: for a duration that cannot be negative.
void readNumber(const EnvLookup& env, const char* name, int32_t& field, std::vector<std::string>& warnings,
    std::optional<int32_t> belowZero = std::nullopt)
{
    const char* value = env(name);
    if (!value)
        return;
    field = std::atoi(value);
    if (belowZero && field < 0) {
        field = *belowZero;
        warnings.push_back(
            std::string(name) + "='" + value + "' is below 0; " + std::to_string(field) + " is used");
    } else if (!isWholeNumber(value)) {
        warnings.push_back(std::string(name) + "='" + value + "' is not a whole number; "
            + std::to_string(field) + " is used");
    }
}

std::string optionString()
{
    std::string options;
    for (const OptionSpec& spec : kOptionSpecs)
        options += spec.argument ? std::string { spec.shortName, ':' } : std::string { spec.shortName };
    return options;
}

const OptionSpec* findOption(int shortName)
{
    for (const OptionSpec& spec : kOptionSpecs)
        if (spec.shortName == shortName)
            return &spec;
    return nullptr;
}

} // namespace

EnvLookup processEnvironment()
{
    return [](const char* name) { return static_cast<const char*>(std::getenv(name)); };
}

std::vector<std::string> readEnvironment(DaemonConfig& config, const EnvLookup& env)
{
    std::vector<std::string> warnings;
    readText(env, "REPOSITORY_SERVICE_PORT", config.portText);
    readText(env, "RS_LOG_PROPERTY_FILE", config.logPropertyFile);
    readText(env, "RS_STORAGE_DIR", config.storageDir);
    readNumber(env, "REPOSITORY_CACHE_SIZE", config.cacheSize, warnings);
    readNumber(env, "REPOSITORY_CACHE_TIMEOUT", config.cacheTimeout, warnings);
    // Below 0, every host still being allocated or started would time out at once.
    readNumber(env, "RSDEPLOY_HOST_TIMEOUT", config.hostTimeout, warnings, kDefaultHostTimeout);
    if (const char* audit = env("RS_AUDIT_LOG")) {
        config.auditLog = strcasecmp(audit, "ON") == 0;
        if (!config.auditLog && strcasecmp(audit, "OFF") != 0 && *audit != '\0')
            warnings.push_back(std::string("RS_AUDIT_LOG='") + audit
                + "' is not understood (only ON, in any letter case, switches it on); the audit log is off");
    }
    return warnings;
}

std::span<const OptionSpec> optionSpecs()
{
    return kOptionSpecs;
}

OptionsResult parseOptions(DaemonConfig& config, int argc, char* argv[])
{
    ACE_Get_Opt options(argc, argv, optionString().c_str(), 1, 0, ACE_Get_Opt::REQUIRE_ORDER);
    for (const OptionSpec& spec : kOptionSpecs)
        options.long_option(
            spec.longName, spec.shortName, spec.argument ? ACE_Get_Opt::ARG_REQUIRED : ACE_Get_Opt::NO_ARG);
    bool check = false; // the other options still apply to what is checked
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
            return { OptionsOutcome::ShowVersion, {} };
        case 'c':
            check = true;
            break;
        case 'h':
            return { OptionsOutcome::ShowHelp, {} };
        default: { // anything not in the table, or an option without its argument
            const int index = options.opt_ind() - 1;
            const std::string offending = index > 0 && index < argc ? argv[index] : "";
            if (findOption(options.opt_opt()))
                return { OptionsOutcome::ShowUsage, "option " + offending + " needs an argument" };
            return { OptionsOutcome::ShowUsage, "unknown option " + offending };
        }
        }
    }
    return { check ? OptionsOutcome::Check : OptionsOutcome::Run, {} };
}

std::string usageLine(const std::string& program)
{
    std::string line = "Usage: " + program;
    for (const OptionSpec& spec : kOptionSpecs) {
        line += std::string(" [-") + spec.shortName;
        if (spec.argument)
            line += std::string(" <") + spec.argument + ">";
        line += "]";
    }
    return line + "\n";
}

std::string helpText(const std::string& program)
{
    // GNU layout: names, then the text from a fixed column, wrapped below it.
    constexpr size_t kTextColumn = 44, kWidth = 100;
    std::string text = usageLine(program)
        + "\nThe repository service: keeps modules and deploys application packages to the hosts of the "
          "cluster.\n\nOptions:\n";
    for (const OptionSpec& spec : kOptionSpecs) {
        std::string line = std::string("  -") + spec.shortName + ", --" + spec.longName;
        if (spec.argument)
            line += std::string(" <") + spec.argument + ">";
        line.resize(std::max(line.size() + 2, kTextColumn), ' ');
        std::istringstream words(spec.help);
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && line.size() + 1 + word.size() > kWidth) {
                text += line + "\n";
                line.assign(kTextColumn, ' ');
                first = true;
            }
            line += (first ? "" : " ") + word;
        }
        text += line + "\n";
    }
    return text + "\n" + kEnvironmentHelp;
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
