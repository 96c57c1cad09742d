// Configuring log4cxx: the default rolling file, the configuration files and
// the per-process override files.

#include "rs/logging/LoggingSetup.h"
#include "common/Loggers.h"
#include "rs/logging/ProcessProperties.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>

namespace {

using kav::LoggingSetup;

class LoggingSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(home.path() / "conf");
        std::filesystem::create_directories(home.path() / "logs");
        dirs = kav::LogDirectories::compute("", home.path().string());
        log4cxx::LogManager::resetConfiguration();
    }
    void TearDown() override
    {
        setup.shutdown();
        log4cxx::LogManager::resetConfiguration();
    }

    // A property file sending the root logger at level to file.
    static std::string propertiesTo(const std::string& file, const std::string& level)
    {
        return "log4j.rootLogger=" + level
            + ", F\n"
              "log4j.appender.F=org.apache.log4j.FileAppender\n"
              "log4j.appender.F.File="
            + file
            + "\n"
              "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
              "log4j.appender.F.layout.ConversionPattern=%p %m%n\n";
    }

    rs::test::ScratchDir home;
    kav::LogDirectories dirs;
    // Set by the watchdog thread; declared before setup so that they outlive its watchdogs.
    std::promise<std::string> reconfigured;
    std::atomic<bool> fired { false };
    LoggingSetup setup;
};

TEST_F(LoggingSetupTest, WithoutConfigurationARollingFileCarriesThePid)
{
    const auto source = setup.configure({}, dirs);
    ASSERT_EQ(source, LoggingSetup::Source::DefaultRollingFile);
    const std::string expected = home.file("logs") + "/rs." + kav::localHostName() + ".log";
    EXPECT_EQ(setup.defaultLogFile(), expected);
    EXPECT_EQ(setup.configFile(), home.file("conf") + "/rs.log4j.properties");

    LOG4CXX_INFO(kav::loggers::get(kav::loggers::kDaemon), "hello from the test");
    LOG4CXX_DEBUG(kav::loggers::get(kav::loggers::kDaemon), "entry and exit lines");
    const std::string text = rs::test::readFile(expected);
    EXPECT_EQ(text.find("entry and exit lines"), std::string::npos) << "the default level is INFO";
    const std::string pid = std::to_string(::getpid());
    EXPECT_NE(text.find(" INFO [" + pid + ":"), std::string::npos) << text;
    EXPECT_NE(text.find("] rs - hello from the test"), std::string::npos) << text;
    EXPECT_EQ(text.find("${log4cxx_pid}"), std::string::npos);
}

TEST_F(LoggingSetupTest, PropertyFileIsUsedWhenPresent)
{
    const std::string out = home.file("from-properties.log");
    rs::test::writeFile(home.file("conf") + "/rs.log4j.properties", propertiesTo(out, "WARN"));
    ASSERT_EQ(setup.configure({}, dirs), LoggingSetup::Source::Properties);
    LOG4CXX_INFO(kav::loggers::get(kav::loggers::kDaemon), "filtered");
    LOG4CXX_WARN(kav::loggers::get(kav::loggers::kDaemon), "kept");
    EXPECT_EQ(rs::test::readFile(out), "WARN kept\n");
}

TEST_F(LoggingSetupTest, OverrideFileOfThisProcessChangesTheLevel)
{
    auto done = reconfigured.get_future();
    LoggingSetup::Options options;
    options.watchDelay = std::chrono::milliseconds(20);
    options.onReconfigured = [this](const std::string& file) {
        if (!fired.exchange(true))
            reconfigured.set_value(file);
    };
    ASSERT_EQ(setup.configure(options, dirs), LoggingSetup::Source::DefaultRollingFile);
    const std::string pid = std::to_string(::getpid());
    const std::string override = home.file("conf") + "//log4j.properties." + pid;
    const auto watched = setup.watchedFiles();
    ASSERT_EQ(watched.size(), 2u);
    EXPECT_EQ(watched[0], override + ".xml");
    EXPECT_EQ(watched[1], override);

    const auto root = log4cxx::Logger::getRootLogger();
    EXPECT_TRUE(root->isInfoEnabled());
    rs::test::writeFile(override, propertiesTo(home.file("override.log"), "ERROR"));
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(done.get(), override);
    EXPECT_FALSE(root->isInfoEnabled());
    EXPECT_TRUE(root->isErrorEnabled());
}

} // namespace
