// The event library with its file plug-in: plug-in loading, the line format
// and the threshold, and the file shared by concurrent writers.

#include "platform/notev/notev.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <regex>

namespace {

const std::string kLibDir = RS_TEST_LIB_DIR;
const std::string kPluginDir = RS_TEST_PLUGIN_DIR;

const event_def kTable[] = {
    { "KAV", 100, "FATAL_ONE", 1, 1, "", 1 },
    { "KAV", 101, "ERROR_ONE", 2, 1, "", 1 },
    { "KAV", 102, "WARN_ONE", 3, 1, "", 1 },
    { "KAV", 103, "INFO_ONE", 4, 1, "", 1 },
    { "OTHER", 103, "FOREIGN", 2, 1, "", 1 },
};

class NotevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(event_init("test", std::size(kTable), kTable), EVENT_OK);
        event_setthreshold(0);
    }
    void TearDown() override { event_fini(); }

    void loadFilePlugin(const std::string& file)
    {
        ASSERT_EQ(event_loadplugin((kPluginDir + "/event_file").c_str(), file.c_str()), EVENT_OK);
    }

    rs::test::ScratchDir dir;
};

TEST_F(NotevTest, PluginLoadFailures)
{
    EXPECT_EQ(event_loadplugin((kPluginDir + "/no_such_plugin").c_str(), "x"), EVENT_E_LOAD);
    // A shared object without the plug-in entry points.
    EXPECT_EQ(event_loadplugin((kLibDir + "/libnotev").c_str(), "x"), EVENT_E_LOAD);
    // The file plug-in refuses a path it cannot open.
    EXPECT_EQ(event_loadplugin((kPluginDir + "/event_file").c_str(), dir.file("missing/dir/file").c_str()),
        EVENT_E_PLUGIN);
}

TEST_F(NotevTest, FilePluginWritesOneLinePerEvent)
{
    const std::string file = dir.file("events.log");
    loadFilePlugin(file); // without ".so": the library adds it
    ASSERT_EQ(event_trigger("KAV", 103, "service started\non host a"), EVENT_OK);
    ASSERT_EQ(event_trigger("OTHER", 103, "foreign"), EVENT_OK);

    const auto lines = rs::test::readLines(file);
    ASSERT_EQ(lines.size(), 2u);
    const std::regex iso(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z )");
    EXPECT_TRUE(std::regex_search(lines[0], iso)) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].find(' ') + 1), "KAV 103 4 service started on host a");
    EXPECT_EQ(lines[1].substr(lines[1].find(' ') + 1), "OTHER 103 2 foreign");
    EXPECT_EQ(event_trigger("KAV", 555, "unknown"), EVENT_E_UNKNOWN);
}

TEST_F(NotevTest, ThresholdDropsLessSevereEvents)
{
    const std::string file = dir.file("events.log");
    loadFilePlugin(file);
    event_setthreshold(3);
    for (int32_t code : { 100, 101, 102, 103 })
        ASSERT_EQ(event_trigger("KAV", code, "e"), EVENT_OK);
    const auto lines = rs::test::readLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("KAV 102 3 e"), std::string::npos);
}

TEST_F(NotevTest, ConcurrentProcessesDoNotInterleaveLines)
{
    const std::string file = dir.file("shared.log");
    loadFilePlugin(file);
    constexpr int kPerWriter = 300;
    const std::string text(200, 'x'); // long enough that torn writes would show
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        for (int i = 0; i < kPerWriter; ++i)
            failures += event_trigger("KAV", 101, ("child " + text).c_str()) != EVENT_OK;
        ::_exit(failures == 0 ? 0 : 1);
    }
    for (int i = 0; i < kPerWriter; ++i)
        ASSERT_EQ(event_trigger("KAV", 102, ("parent " + text).c_str()), EVENT_OK);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto lines = rs::test::readLines(file);
    ASSERT_EQ(lines.size(), 2u * kPerWriter);
    const std::regex wellFormed(R"(^\S+ KAV (101 2 child|102 3 parent) x{200}$)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, wellFormed)) << line;
}

} // namespace
