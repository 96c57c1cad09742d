// Where configuration and log files are looked for.

#include "rs/logging/LogDirectories.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

namespace {

using kav::LogDirectories;

TEST(LogDirectories, QelTopGivesTheServiceLayout)
{
    rs::test::ScratchDir top, home;
    std::filesystem::create_directories(top.path() / "eservice/rs/conf");
    std::filesystem::create_directories(top.path() / "eservice/rs/log");
    const auto dirs = LogDirectories::compute(top.path().string(), home.path().string());
    EXPECT_TRUE(dirs.topBased);
    EXPECT_EQ(dirs.top, top.path().string());
    EXPECT_EQ(dirs.confDir, top.file("eservice/rs/conf"));
    EXPECT_EQ(dirs.logDir, top.file("eservice/rs/log"));
}

TEST(LogDirectories, QelTopEqualToNarvHomeUsesTheHomeLayout)
{
    rs::test::ScratchDir home;
    std::filesystem::create_directories(home.path() / "conf");
    std::filesystem::create_directories(home.path() / "logs");
    const auto dirs = LogDirectories::compute(home.path().string(), home.path().string());
    EXPECT_FALSE(dirs.topBased);
    EXPECT_EQ(dirs.confDir, home.file("conf"));
    EXPECT_EQ(dirs.logDir, home.file("logs"));
}

TEST(LogDirectories, MissingDirectoriesFallBack)
{
    rs::test::ScratchDir home;
    const auto dirs = LogDirectories::compute("", home.path().string());
    EXPECT_EQ(dirs.confDir, ".");
    EXPECT_EQ(dirs.logDir, home.path().string() + "/.");

    const auto nowhere = LogDirectories::compute("", home.file("does-not-exist"));
    EXPECT_EQ(nowhere.top, ".");
    EXPECT_FALSE(nowhere.topBased);
}

} // namespace
