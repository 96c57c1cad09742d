// The audit log: choice of directory, the file, and the line prefix.

#include "rs/logging/AuditLog.h"
#include "common/Loggers.h"
#include "events/CapturingAppender.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <log4cxx/logmanager.h>

#include <sys/stat.h>

namespace {

namespace audit = kav::audit;

class AuditLogTest : public ::testing::Test {
protected:
    void TearDown() override { log4cxx::LogManager::resetConfiguration(); }

    const log4cxx::LoggerPtr& auditLogger() { return kav::loggers::get(kav::loggers::kAudit); }

    rs::test::ScratchDir dir;
    testutil::CaptureScope daemonLog { kav::loggers::get(kav::loggers::kDaemon) };
};

// Without a usable directory there is no audit file, and a warning says so.
TEST_F(AuditLogTest, NoUsableDirectoryMeansAWarningAndNoAuditFile)
{
    const std::string blocker = dir.file("plain-file");
    rs::test::writeFile(blocker, "not a directory");
    audit::DirectorySources none;
    none.configuredDir = "";
    none.gridMode = true; // grid mode alone is not enough without QEL_TOP
    audit::DirectorySources unusable;
    unusable.configuredDir = blocker + "/audits";
    for (const auto& sources : { none, unusable }) {
        const std::string configured = *sources.configuredDir;
        EXPECT_FALSE(audit::init(sources).has_value()) << configured;
        EXPECT_TRUE(auditLogger()->getAllAppenders().empty());
        const auto lines = daemonLog.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().level, log4cxx::Level::getWarn());
        EXPECT_NE(lines.back().message.find(configured), std::string::npos);
    }
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
    audit::write("user1 failed\nforged record", true); // a name from the network forges no record
    audit::writeMessage(0xFFFFFF, { "user1", "module1" }, true); // no catalogue message
    const auto lines = rs::test::readLines(*file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].ends_with(" user1 added module m1")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" user1 failed\\x0Aforged record")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" ERROR")) << lines[2];

    struct stat info { };
    ASSERT_EQ(::stat(file->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(auditDir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
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

} // namespace
