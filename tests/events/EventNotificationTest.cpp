// kav::EventNotification over the event library and its file plug-in.

#include "rs/events/EventNotification.h"
#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "events/CapturingAppender.h"
#include "platform/notev/notev.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <log4cxx/level.h>

#include <map>

namespace {

using Values = std::map<std::string, std::string>;

kav::ConfParamReader paramsOf(Values values)
{
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        const auto it = values.find(name);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    };
}

class EventNotificationTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (events)
            events->fini();
        kav::clearErrorInfo();
    }

    int32_t init(Values values)
    {
        events = std::make_unique<kav::EventNotification>(paramsOf(std::move(values)));
        return events->init("");
    }

    // Parameters that load the file plug-in once per given file.
    Values withFilePlugins(const std::vector<std::string>& files, const std::string& mask = "LOG_INFO")
    {
        std::string plugins;
        for (const auto& file : files)
            plugins += "event_file[" + file + "] ";
        return { { "QEL_LIBDIR", RS_TEST_PLUGIN_DIR }, { "QEL_EVENT_PLUGIN", plugins },
            { "QEL_EVENT_MASK", mask } };
    }

    rs::test::ScratchDir dir;
    std::unique_ptr<kav::EventNotification> events;
    testutil::CaptureScope capture { kav::loggers::get(kav::loggers::kEventAgent) };
};

// Each plug-in is loaded with its own parameter and every event goes to all
// of them; the list ends at the first entry without brackets.
TEST_F(EventNotificationTest, EveryPluginIsLoadedWithItsParameterAndGetsTheEvents)
{
    const std::string a = dir.file("a.events"), b = dir.file("b.events");
    ASSERT_EQ(init({ { "QEL_LIBDIR", RS_TEST_PLUGIN_DIR },
                  { "QEL_EVENT_PLUGIN",
                      "event_syslog[rs-test]event_file[" + a + "] event_file[" + b
                          + "] no_such_plugin[unclosed" } }),
        0);
    EXPECT_TRUE(events->isInitialised());
    ASSERT_EQ(events->raiseEvent(kav::EventNotification::EVENT_NARV_RS_STARTED, "rs started on h1:1234"), 0);
    for (const auto& file : { a, b }) {
        const auto lines = rs::test::readLines(file);
        ASSERT_EQ(lines.size(), 1u) << file;
        EXPECT_NE(lines[0].find(" KAV 75063 4 rs started on h1:1234"), std::string::npos) << lines[0];
    }
}

TEST_F(EventNotificationTest, ThresholdKeepsInformationOutOfThePlugins)
{
    const std::string file = dir.file("errors.events");
    ASSERT_EQ(init(withFilePlugins({ file }, "LOG_ERR")), 0);
    ASSERT_EQ(events->triggerEventInterface(75063, "h1", "1234", "", "", ""), 0);
    ASSERT_EQ(events->triggerEventInterface(75061, "99999", "h1", "Port is in use.", "", ""), 0);
    const auto lines = rs::test::readLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" KAV 75061 2 "), std::string::npos);
    EXPECT_NE(lines[0].find("99999"), std::string::npos);
    // Both are still logged locally, at the level of their row.
    const auto logged = capture.lines();
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[logged.size() - 2].level, log4cxx::Level::getInfo());
    EXPECT_EQ(logged.back().level, log4cxx::Level::getError());
    EXPECT_EQ(logged.back().message.rfind("Code[S75061]: ", 0), 0u);
}

TEST_F(EventNotificationTest, ReservedAndForeignCodesAreRefused)
{
    ASSERT_EQ(init(withFilePlugins({ dir.file("e") })), 0);
    for (int32_t code : { 75026, 75027, 75000, 75066, 0 }) {
        EXPECT_EQ(events->raiseEvent(code, "x"), kav::rc::EVENT_BAD_CODE) << code;
        const kav::KavErrorInfo* info = kav::peekErrorInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->getParams().at(0), std::to_string(code));
    }
    EXPECT_TRUE(rs::test::readLines(dir.file("e")).empty());
}

// Without plug-ins events stay in the local log. No plug-in configured is a
// normal set-up, said at INFO; a plug-in without its directory is an error.
// Neither fails the caller.
TEST_F(EventNotificationTest, WithoutPluginsEventsStayLocal)
{
    const struct {
        const char* setUp;
        Values values;
        int32_t result;
        log4cxx::LevelPtr said;
    } rows[] = {
        { "plug-in without directory", { { "QEL_EVENT_PLUGIN", "event_file[" + dir.file("e") + "]" } },
            kav::rc::NO_QEL_LIBDIR, log4cxx::Level::getError() },
        { "plug-in directory only", { { "QEL_LIBDIR", RS_TEST_PLUGIN_DIR } }, kav::rc::NO_QEL_EVENT_PLUGIN,
            log4cxx::Level::getInfo() },
        { "nothing", {}, kav::rc::NO_QEL_LIBDIR, log4cxx::Level::getInfo() },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setUp);
        const size_t before = capture.lines().size();
        EXPECT_EQ(init(row.values), row.result);
        EXPECT_GE(row.result, 0);
        EXPECT_FALSE(events->isInitialised());
        auto lines = capture.lines();
        ASSERT_GT(lines.size(), before);
        const auto worst = std::max_element(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end(),
            [](auto& a, auto& b) { return a.level->toInt() < b.level->toInt(); });
        EXPECT_EQ(worst->level, row.said);
        ASSERT_EQ(events->raiseEvent(75063, "started anyway"), 0);
        lines = capture.lines();
        EXPECT_EQ(lines.back().level, log4cxx::Level::getInfo());
        EXPECT_EQ(lines.back().message, "Code[S75063]: started anyway");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("e")));
}

TEST_F(EventNotificationTest, PluginThatCannotLoadFailsInitAndFreesTheLibrary)
{
    const int32_t result = init({ { "QEL_LIBDIR", RS_TEST_PLUGIN_DIR },
        { "QEL_EVENT_PLUGIN", "event_file[" + dir.file("ok") + "]no_such_plugin[p]" } });
    EXPECT_EQ(result, kav::rc::EVENT_PLUGIN_LOAD_FAILED);
    const kav::KavErrorInfo* info = kav::peekErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getParams().at(0), std::string(RS_TEST_PLUGIN_DIR) + "/no_such_plugin");
    EXPECT_EQ(info->getParams().at(1), "p");
    EXPECT_FALSE(events->isInitialised());
    // The library was closed again, so a later init succeeds.
    EXPECT_EQ(init(withFilePlugins({ dir.file("ok") })), 0);
}

} // namespace
