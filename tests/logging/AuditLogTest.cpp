// The audit log: choice of directory, the file, and the line prefix.

#include "rs/logging/AuditLog.h"
#include "common/Loggers.h"
#include "events/CapturingAppender.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <log4cxx/logmanager.h>

#include <sys/stat.h>

#include <regex>

namespace {

namespace audit = kav::audit;

class AuditLogTest : public ::testing::Test {
protected:
    void TearDown() override { log4cxx::LogManager::resetConfiguration(); }

    const log4cxx::LoggerPtr& auditLogger() { return kav::loggers::get(kav::loggers::kAudit); }

    rs::test::ScratchDir dir;
    testutil::CaptureScope daemonLog { kav::loggers::get(kav::loggers::kDaemon) };
};

TEST_F(AuditLogTest, NoDirectoryMeansAWarningAndNoAuditFile)
{
    audit::DirectorySources sources;
    sources.configuredDir = "";
    sources.gridMode = true; // grid mode alone is not enough without QEL_TOP
    EXPECT_FALSE(audit::init(sources).has_value());
    EXPECT_TRUE(auditLogger()->getAllAppenders().empty());
    const auto lines = daemonLog.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::getWarn());
}

TEST_F(AuditLogTest, ConfiguredDirectoryIsCreatedAndTheFileIsPrivate)
{
    const std::string auditDir = dir.file("audits/nested");
    audit::DirectorySources sources;
    sources.configuredDir = auditDir;
    sources.narvHome = dir.file("home"); // the configured directory comes first
    const auto file = audit::init(sources);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(*file, auditDir + "/repositoryservice.audit.log");

    audit::write("user1 added module m1");
    audit::write("user1 failed", true);
    const auto lines = rs::test::readLines(*file);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex prefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \S+ user1 added module m1$)");
    EXPECT_TRUE(std::regex_match(lines[0], prefix)) << lines[0];
    EXPECT_NE(lines[1].find(" user1 failed"), std::string::npos);

    struct stat info { };
    ASSERT_EQ(::stat(file->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(auditDir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(auditLogger()->getLevel(), log4cxx::Level::getInfo());
    // The directory is announced with its origin's message.
    const auto logged = daemonLog.lines();
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged[0].message.find(auditDir), std::string::npos);
}

TEST_F(AuditLogTest, UnformattableMessageIsWrittenAsError)
{
    audit::DirectorySources sources;
    sources.configuredDir = dir.file("audits");
    const auto file = audit::init(sources);
    ASSERT_TRUE(file.has_value());
    // 0xFFFFFF is no catalogue message (and the catalogue may not even be open).
    audit::writeMessage(0xFFFFFF, { "user1", "module1" }, true);
    const auto lines = rs::test::readLines(*file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 6), " ERROR");
}

TEST_F(AuditLogTest, DirectoryDerivedFromTheEnvironment)
{
    audit::DirectorySources grid;
    grid.gridMode = true;
    grid.qelTop = dir.file("top");
    grid.narvHome = dir.file("home");
    EXPECT_EQ(audit::init(grid), dir.file("top") + "/audits/repositoryservice.audit.log");

    log4cxx::LogManager::resetConfiguration();
    audit::DirectorySources standalone = grid;
    standalone.gridMode = false;
    std::filesystem::create_directories(dir.file("home"));
    EXPECT_EQ(audit::init(standalone), dir.file("home") + "/../audits/repositoryservice.audit.log");
}

TEST_F(AuditLogTest, UnusableDirectoryGivesUp)
{
    const std::string blocker = dir.file("plain-file");
    rs::test::writeFile(blocker, "not a directory");
    audit::DirectorySources sources;
    sources.configuredDir = blocker + "/audits";
    EXPECT_FALSE(audit::init(sources).has_value());
    const auto lines = daemonLog.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, log4cxx::Level::getWarn());
    EXPECT_NE(lines.back().message.find(blocker + "/audits"), std::string::npos);
}

TEST(AuditLine, PrefixIsLocalTimeWithMillisecondsAndZone)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 2026-01-02 03:04:05.678 UTC
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1767323045))
        + std::chrono::milliseconds(678);
    EXPECT_EQ(audit::auditLine(when, "text"), "2026-01-02 03:04:05.678 UTC text");
    EXPECT_EQ(audit::auditLine(when - std::chrono::milliseconds(678), ""), "2026-01-02 03:04:05.000 UTC ");
}

TEST(Loggers, LookedUpOnceAndKept)
{
    const auto& first = kav::loggers::get(kav::loggers::kWork);
    const auto& again = kav::loggers::get("repository.work");
    EXPECT_EQ(&first, &again);
    EXPECT_EQ(first->getName(), "repository.work");
    EXPECT_EQ(first, kav::loggers::get(kav::loggers::kWork));
}

} // namespace
