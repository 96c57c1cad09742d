#include "rs/startup/DaemonConfig.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using rs::DaemonConfig;
using rs::OptionsOutcome;

class FakeEnvironment {
public:
    explicit FakeEnvironment(std::map<std::string, std::string> values)
        : values_(std::move(values))
    {
    }
    rs::EnvLookup lookup() const
    {
        return [this](const char* name) -> const char* {
            auto it = values_.find(name);
            return it == values_.end() ? nullptr : it->second.c_str();
        };
    }

private:
    std::map<std::string, std::string> values_;
};

// Owns an argv the way main() receives it.
class Arguments {
public:
    Arguments(std::initializer_list<std::string> args)
        : storage_(args)
    {
        for (auto& arg : storage_)
            pointers_.push_back(arg.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

OptionsOutcome parse(DaemonConfig& config, std::initializer_list<std::string> args)
{
    Arguments arguments(args);
    return rs::parseOptions(config, arguments.argc(), arguments.argv()).outcome;
}

TEST(DaemonEnvironment, FillsEveryFieldFromItsVariable)
{
    FakeEnvironment env({ { "REPOSITORY_SERVICE_PORT", "7001" },
        { "RS_LOG_PROPERTY_FILE", "/etc/rs/log.properties" }, { "RS_STORAGE_DIR", "/srv/repo" },
        { "REPOSITORY_CACHE_SIZE", "12" }, { "REPOSITORY_CACHE_TIMEOUT", "30" },
        { "RSDEPLOY_HOST_TIMEOUT", "45" }, { "RS_AUDIT_LOG", "ON" } });
    DaemonConfig config;
    rs::readEnvironment(config, env.lookup());
    EXPECT_EQ(config.portText, "7001");
    EXPECT_EQ(config.port, 0); // the port value is taken from the text later
    EXPECT_EQ(config.logPropertyFile, "/etc/rs/log.properties");
    EXPECT_EQ(config.storageDir, "/srv/repo");
    EXPECT_EQ(config.cacheSize, 12);
    EXPECT_EQ(config.cacheTimeout, 30);
    EXPECT_EQ(config.hostTimeout, 45);
    EXPECT_TRUE(config.auditLog);
}

TEST(DaemonEnvironment, UnsetVariablesLeaveTheDefaults)
{
    DaemonConfig config;
    rs::readEnvironment(config, FakeEnvironment({}).lookup());
    EXPECT_TRUE(config.portText.empty());
    EXPECT_TRUE(config.storageDir.empty());
    EXPECT_EQ(config.cacheSize, 0);
    EXPECT_EQ(config.hostTimeout, 0);
    EXPECT_FALSE(config.auditLog);
}

TEST(DaemonEnvironment, AuditLogOnlyForOnInAnyCase)
{
    for (auto [value, expected] : std::vector<std::pair<std::string, bool>> { { "on", true }, { "On", true },
             { "ON", true }, { "1", false }, { "yes", false }, { "", false }, { "on ", false } }) {
        DaemonConfig config;
        rs::readEnvironment(config,
            FakeEnvironment(std::map<std::string, std::string> { { "RS_AUDIT_LOG", value } }).lookup());
        EXPECT_EQ(config.auditLog, expected) << "'" << value << "'";
    }
}

// A value that is not understood keeps the conversion the service always
// made, and the warning names the variable, the value and what is used.
TEST(DaemonEnvironment, ValuesNotUnderstoodAreNamedWithWhatIsUsed)
{
    struct Row {
        std::string variable, value;
        int32_t DaemonConfig::*field;
        int32_t used;
        std::string warning; // empty: none
    };
    const std::vector<Row> rows {
        { "REPOSITORY_CACHE_SIZE", "abc", &DaemonConfig::cacheSize, 0,
            "REPOSITORY_CACHE_SIZE='abc' is not a whole number; 0 is used" },
        { "RSDEPLOY_HOST_TIMEOUT", "1m", &DaemonConfig::hostTimeout, 1,
            "RSDEPLOY_HOST_TIMEOUT='1m' is not a whole number; 1 is used" },
        { "REPOSITORY_CACHE_TIMEOUT", "30s", &DaemonConfig::cacheTimeout, 30,
            "REPOSITORY_CACHE_TIMEOUT='30s' is not a whole number; 30 is used" },
        { "REPOSITORY_CACHE_SIZE", " 64", &DaemonConfig::cacheSize, 64, "" },
        { "RSDEPLOY_HOST_TIMEOUT", "-5", &DaemonConfig::hostTimeout, 60,
            "RSDEPLOY_HOST_TIMEOUT='-5' is below 0; 60 is used" },
        { "RSDEPLOY_HOST_TIMEOUT", "-1s", &DaemonConfig::hostTimeout, 60,
            "RSDEPLOY_HOST_TIMEOUT='-1s' is below 0; 60 is used" },
        { "RSDEPLOY_HOST_TIMEOUT", "0", &DaemonConfig::hostTimeout, 0, "" },
    };
    for (const auto& row : rows) {
        DaemonConfig config;
        auto warnings = rs::readEnvironment(config,
            FakeEnvironment(std::map<std::string, std::string> { { row.variable, row.value } }).lookup());
        EXPECT_EQ(config.*row.field, row.used) << row.value;
        if (row.warning.empty()) {
            EXPECT_TRUE(warnings.empty()) << row.value;
        } else {
            ASSERT_EQ(warnings.size(), 1u) << row.value;
            EXPECT_EQ(warnings[0].rfind(row.warning, 0), 0u) << warnings[0];
        }
    }
    for (auto [value, warned] : std::vector<std::pair<std::string, bool>> {
             { "yes", true }, { "1", true }, { "on", false }, { "off", false }, { "", false } }) {
        DaemonConfig config;
        auto warnings = rs::readEnvironment(config,
            FakeEnvironment(std::map<std::string, std::string> { { "RS_AUDIT_LOG", value } }).lookup());
        EXPECT_EQ(warnings.size(), warned ? 1u : 0u) << value;
        if (warned) {
            EXPECT_NE(warnings[0].find("RS_AUDIT_LOG='" + value + "'"), std::string::npos) << warnings[0];
        }
    }
}

TEST(DaemonOptions, OptionsOverrideTheEnvironment)
{
    DaemonConfig config;
    rs::readEnvironment(config,
        FakeEnvironment({ { "REPOSITORY_SERVICE_PORT", "7001" }, { "RS_STORAGE_DIR", "/from/env" } })
            .lookup());
    EXPECT_EQ(
        parse(config, { "rs", "-p", "7002", "-d", "/from/option", "-l", "/log.xml" }), OptionsOutcome::Run);
    EXPECT_EQ(config.portText, "7002");
    EXPECT_EQ(config.port, 7002);
    EXPECT_EQ(config.storageDir, "/from/option");
    EXPECT_EQ(config.logPropertyFile, "/log.xml");
}

TEST(DaemonOptions, HelpVersionAndUnknownOptions)
{
    DaemonConfig config;
    EXPECT_EQ(
        parse(config, { "rs", "-h" }), OptionsOutcome::ShowHelp); // the usage line and what each option does
    EXPECT_EQ(parse(config, { "rs", "-V" }), OptionsOutcome::ShowVersion);
    EXPECT_EQ(parse(config, { "rs", "-x" }), OptionsOutcome::ShowUsage);
    EXPECT_EQ(parse(config, { "rs", "-p" }), OptionsOutcome::ShowUsage); // missing argument
    EXPECT_EQ(parse(config, { "rs", "--help" }), OptionsOutcome::ShowHelp);
    EXPECT_EQ(parse(config, { "rs", "--version" }), OptionsOutcome::ShowVersion);
}

TEST(DaemonOptions, CheckTakesTheOtherOptionsIntoAccount)
{
    DaemonConfig config;
    EXPECT_EQ(parse(config, { "rs", "-c", "-p", "7004", "--storage-dir", "/srv/x" }), OptionsOutcome::Check);
    EXPECT_EQ(config.portText, "7004");
    EXPECT_EQ(config.storageDir, "/srv/x");
}

TEST(DaemonOptions, StopsAtTheFirstNonOption)
{
    DaemonConfig config;
    EXPECT_EQ(parse(config, { "rs", "-p", "7003", "extra", "-d", "/ignored" }), OptionsOutcome::Run);
    EXPECT_EQ(config.port, 7003);
    EXPECT_TRUE(config.storageDir.empty());
}

TEST(DaemonOptions, UsageLineNamesTheProgram)
{
    EXPECT_EQ(rs::usageLine("/opt/bin/rs"),
        "Usage: /opt/bin/rs [-h] [-V] [-c] [-p <port number>] "
        "[-d <repository directory>] [-l <log configuration file>]\n");
}

TEST(DaemonPort, AcceptsDecimalPortsWithSurroundingBlanks)
{
    for (auto [text, expected] : std::vector<std::pair<std::string, int>> {
             { "8080", 8080 }, { " 8080 ", 8080 }, { "\t1\n", 1 }, { "65535", 65535 }, { "00080", 80 } }) {
        int32_t port = -1;
        EXPECT_TRUE(rs::parsePort(text, port)) << "'" << text << "'";
        EXPECT_EQ(port, expected);
    }
}

TEST(DaemonPort, RefusesOutOfRangeAndMalformedPorts)
{
    for (const std::string text :
        { "0", "65536", "80a", "", "   ", "-1", "-", "8 080", "+80", "0x50", "99999999999999999999999" }) {
        int32_t port = 4242;
        EXPECT_FALSE(rs::parsePort(text, port)) << "'" << text << "'";
        EXPECT_EQ(port, 4242);
    }
}

// Where the storage and the log configuration go when no option names them.
TEST(DaemonDefaults, DirectoriesFollowTheModeAndTheEnvironment)
{
    struct Case {
        std::map<std::string, std::string> env;
        bool grid;
        std::string cwd;
        std::string storage, logFile, logDir;
    };
    const Case cases[] = {
        { { { "NARV_HOME", "/opt/narv" }, { "QEL_TOP", "/opt/qel" } }, false, "/cwd", "/opt/narv/.cache",
            "/opt/narv/conf/rs.log4j.properties", "" },
        { {}, false, "/work/here", "/work/here/.cache", "/work/here/conf/rs.log4j.properties", "" },
        { {}, false, "", "./.cache", "./conf/rs.log4j.properties", "" },
        { { { "QEL_TOP", "/qel" }, { "NARV_HOME", "/narv" } }, true, "/cwd", "/qel/eservice/rs/.cache",
            "/qel/eservice/rs/conf/rs.log4j.properties", "/qel/eservice/rs/log" },
        { { { "NARV_HOME", "/narv" } }, true, "/cwd", "/narv/.cache", "/narv/conf/rs.log4j.properties", "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.storage);
        DaemonConfig config;
        FakeEnvironment env(c.env);
        const std::string logDir = rs::applyDirectoryDefaults(config, env.lookup(), { c.grid, c.cwd });
        EXPECT_EQ(config.storageDir, c.storage);
        EXPECT_EQ(config.logPropertyFile, c.logFile);
        if (!c.logDir.empty()) {
            EXPECT_EQ(logDir, c.logDir);
        }
    }
    DaemonConfig given;
    given.storageDir = "/given/store";
    given.logPropertyFile = "/given/log.properties";
    rs::applyDirectoryDefaults(
        given, FakeEnvironment({ { "NARV_HOME", std::string("/narv") } }).lookup(), { false, "/cwd" });
    EXPECT_EQ(given.storageDir, "/given/store");
    EXPECT_EQ(given.logPropertyFile, "/given/log.properties");
}

} // namespace
