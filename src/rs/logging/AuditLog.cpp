#include "rs/logging/AuditLog.h"

#include "common/Loggers.h"
#include "rs/logging/CatalogueText.h"

#include <log4cxx/helpers/pool.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/rolling/rollingfileappender.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace kav::audit {

namespace {

constexpr uint32_t kNoDirectory = 85037;
constexpr uint32_t kDirectoryUnusable = 85038;
constexpr uint32_t kAppenderFailed = 85039;
constexpr uint32_t kDirectoryConfigured = 85063;
constexpr uint32_t kDirectoryDerived = 85064;

struct ChosenDirectory {
    std::string path;
    bool configured;
};

std::optional<ChosenDirectory> chooseDirectory(const DirectorySources& sources)
{
    if (sources.configuredDir && !sources.configuredDir->empty())
        return ChosenDirectory { *sources.configuredDir, true };
    if (sources.gridMode && !sources.qelTop.empty())
        return ChosenDirectory { sources.qelTop + "/audits", false };
    if (!sources.narvHome.empty())
        return ChosenDirectory { sources.narvHome + "/../audits", false };
    return std::nullopt;
}

// Creates the directory (and missing parents) with mode 0755; an existing
// directory keeps the mode its owner gave it. True when the directory is
// there afterwards and the service may write in it (a regular file of that
// name is no directory, whatever its permissions).
bool makeUsableDirectory(const std::string& path)
{
    std::error_code error;
    const bool created = std::filesystem::create_directories(path, error);
    if (created)
        ::chmod(path.c_str(), 0755);
    return std::filesystem::is_directory(path, error) && ::access(path.c_str(), R_OK | W_OK | X_OK) == 0;
}

bool attachAppender(const log4cxx::LoggerPtr& logger, const std::string& file)
{
    try {
        auto appender = std::make_shared<log4cxx::rolling::RollingFileAppender>();
        appender->setLayout(std::make_shared<log4cxx::PatternLayout>("%m%n"));
        appender->setFile(file);
        appender->setAppend(true);
        appender->setMaxBackupIndex(10);
        appender->setMaxFileSize("100000KB");
        log4cxx::helpers::Pool pool;
        appender->activateOptions(pool);
        logger->addAppender(appender);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string envOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

DirectorySources DirectorySources::collect(const ConfParamReader& params, bool gridMode)
{
    DirectorySources sources;
    sources.configuredDir = params ? params("QEL_AUDIT_LOGDIR") : std::nullopt;
    sources.gridMode = gridMode;
    sources.qelTop = envOrEmpty("QEL_TOP");
    sources.narvHome = envOrEmpty("NARV_HOME");
    return sources;
}

std::optional<std::string> directoryFor(const DirectorySources& sources)
{
    if (auto dir = chooseDirectory(sources))
        return dir->path;
    return std::nullopt;
}

std::optional<std::string> init(const DirectorySources& sources, std::string* why)
{
    const auto& log = loggers::get(loggers::kDaemon);
    const auto& auditLogger = loggers::get(loggers::kAudit);
    auto refuse = [&](uint32_t number, const Params& params) -> std::optional<std::string> {
        const std::string text = logText(number, params);
        LOG4CXX_WARN(log, text);
        if (why)
            *why = text;
        return std::nullopt;
    };
    const auto dir = chooseDirectory(sources);
    if (!dir)
        return refuse(kNoDirectory, {});
    LOG4CXX_INFO(log, logText(dir->configured ? kDirectoryConfigured : kDirectoryDerived, { dir->path }));
    if (!makeUsableDirectory(dir->path))
        return refuse(kDirectoryUnusable, { dir->path });
    const std::string file = dir->path + "/" + kFileName;
    if (!attachAppender(auditLogger, file))
        return refuse(kAppenderFailed, { file });
    ::chmod(file.c_str(), 0600);
    auditLogger->setLevel(log4cxx::Level::getInfo());
    return file;
}

std::string auditLine(std::chrono::system_clock::time_point when, const std::string& text)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis
        = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    struct tm local { };
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char zone[64];
    std::strftime(zone, sizeof zone, "%Z", &local);
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%s.%03d %s ", date, static_cast<int>(millis), zone);
    return prefix + text;
}

// Names in records come from the network: a control character written as it
// stands could end a record early and forge the next one, so it is written
// as \xNN (and a backslash doubled, to keep the escape unambiguous).
std::string escapeControls(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            escaped += hex;
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

void write(const std::string& text, bool isError)
{
    const auto& logger = loggers::get(loggers::kAudit);
    const std::string line = auditLine(std::chrono::system_clock::now(), escapeControls(text));
    if (isError)
        LOG4CXX_ERROR(logger, line);
    else
        LOG4CXX_INFO(logger, line);
}

void writeMessage(uint32_t number, const Params& params, bool isError)
{
    write(formatCatalogueMessage(number, params).value_or("ERROR"), isError);
}

} // namespace kav::audit
