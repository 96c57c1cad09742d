#include "rs/startup/DaemonConfig.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using rs::DaemonConfig;
using rs::OptionsOutcome;

// An environment of `values` only.
rs::EnvLookup environment(std::map<std::string, std::string> values)
{
    auto shared = std::make_shared<const std::map<std::string, std::string>>(std::move(values));
    return [shared](const char* name) -> const char* {
        auto it = shared->find(name);
        return it == shared->end() ? nullptr : it->second.c_str();
    };
}

OptionsOutcome parse(DaemonConfig& config, std::vector<std::string> args)
{
    std::vector<char*> argv; // as main() receives it
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return rs::parseOptions(config, static_cast<int>(args.size()), argv.data()).outcome;
}

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
        { "REPOSITORY_CACHE_SIZE", " 64", &DaemonConfig::cacheSize, 64, "" },
        { "RSDEPLOY_HOST_TIMEOUT", "-5", &DaemonConfig::hostTimeout, 60,
            "RSDEPLOY_HOST_TIMEOUT='-5' is below 0; 60 is used" },
        { "RSDEPLOY_HOST_TIMEOUT", "0", &DaemonConfig::hostTimeout, 0, "" },
    };
    for (const auto& row : rows) {
        DaemonConfig config;
        auto warnings = rs::readEnvironment(config, environment({ { row.variable, row.value } }));
        EXPECT_EQ(config.*row.field, row.used) << row.value;
        if (row.warning.empty()) {
            EXPECT_TRUE(warnings.empty()) << row.value;
        } else {
            ASSERT_EQ(warnings.size(), 1u) << row.value;
            EXPECT_EQ(warnings[0].rfind(row.warning, 0), 0u) << warnings[0];
        }
    }
    // The audit log is on for "on" in any case only; other values than on and off are named.
    for (auto [value, on, warned] : std::vector<std::tuple<std::string, bool, bool>> {
             { "On", true, false }, { "yes", false, true }, { "off", false, false }, { "", false, false } }) {
        DaemonConfig config;
        auto warnings = rs::readEnvironment(config, environment({ { "RS_AUDIT_LOG", value } }));
        EXPECT_EQ(config.auditLog, on) << value;
        EXPECT_EQ(warnings.size(), warned ? 1u : 0u) << value;
    }
}

TEST(DaemonOptions, OptionsOverrideTheEnvironment)
{
    DaemonConfig config;
    rs::readEnvironment(
        config, environment({ { "REPOSITORY_SERVICE_PORT", "7001" }, { "RS_STORAGE_DIR", "/from/env" } }));
    EXPECT_EQ(
        parse(config, { "rs", "-p", "7002", "-d", "/from/option", "-l", "/log.xml" }), OptionsOutcome::Run);
    EXPECT_EQ(config.portText, "7002");
    EXPECT_EQ(config.port, 7002);
    EXPECT_EQ(config.storageDir, "/from/option");
    EXPECT_EQ(config.logPropertyFile, "/log.xml");
}

TEST(DaemonOptions, HelpVersionCheckAndUnknownOptions)
{
    DaemonConfig config;
    EXPECT_EQ(parse(config, { "rs", "--help" }), OptionsOutcome::ShowHelp);
    EXPECT_EQ(parse(config, { "rs", "-V" }), OptionsOutcome::ShowVersion);
    EXPECT_EQ(parse(config, { "rs", "-x" }), OptionsOutcome::ShowUsage);
    EXPECT_EQ(parse(config, { "rs", "-p" }), OptionsOutcome::ShowUsage); // missing argument
    EXPECT_EQ(parse(config, { "rs", "-c", "-p", "7004" }), OptionsOutcome::Check);
    EXPECT_EQ(config.portText, "7004") << "the check takes the other options into account";
}
TEST(DaemonPort, TakesDecimalPortsFrom1To65535Only)
{
    for (auto [text, expected] : std::vector<std::pair<std::string, int>> {
             { " 8080 ", 8080 }, { "\t1\n", 1 }, { "65535", 65535 }, { "00080", 80 } }) {
        int32_t port = -1;
        EXPECT_TRUE(rs::parsePort(text, port)) << "'" << text << "'";
        EXPECT_EQ(port, expected);
    }
    for (const std::string text :
        { "0", "65536", "80a", "", "-1", "8 080", "+80", "0x50", "99999999999999999999999" }) {
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
        { { { "QEL_TOP", "/qel" }, { "NARV_HOME", "/narv" } }, true, "/cwd", "/qel/eservice/rs/.cache",
            "/qel/eservice/rs/conf/rs.log4j.properties", "/qel/eservice/rs/log" },
        { { { "NARV_HOME", "/narv" } }, true, "/cwd", "/narv/.cache", "/narv/conf/rs.log4j.properties", "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.storage);
        DaemonConfig config;
        const std::string logDir = rs::applyDirectoryDefaults(config, environment(c.env), { c.grid, c.cwd });
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
        given, environment({ { "NARV_HOME", std::string("/narv") } }), { false, "/cwd" });
    EXPECT_EQ(given.storageDir, "/given/store");
    EXPECT_EQ(given.logPropertyFile, "/given/log.properties");
}

} // namespace
