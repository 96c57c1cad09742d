#include "common/KavAssert.h"
#include "common/KavTraceDebugger.h"

#include "common/LogCapture.h"

#include <gtest/gtest.h>

#include <string>

namespace kav {
namespace {

int checked(int value, int& assertLine)
{
    assertLine = __LINE__ + 1;
    KAV_ASSERT(value != 0, -1);
    return value * 2;
}

TEST(KavAssert, TrueExpressionContinues)
{
    test::LogCapture capture(log4cxx::Logger::getRootLogger());
    int line = 0;
    EXPECT_EQ(checked(4, line), 8);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(KavAssert, FalseExpressionReturnsTheFailValueAndLogsAtError)
{
    test::LogCapture capture(log4cxx::Logger::getRootLogger());
    int line = 0;
    EXPECT_EQ(checked(0, line), -1);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::getError());
    EXPECT_EQ(lines[0].message,
        std::string("KAV_ASSERT: <value != 0> failed File: ") + __FILE__ + " Line: " + std::to_string(line));
}

TEST(KavTraceDebugger, LogsEntryAndExitAtLevelAll)
{
    auto logger = log4cxx::Logger::getLogger("test.trace");
    test::LogCapture capture(logger);
    {
        KavTraceDebugger trace(log4cxx::Logger::getLogger("test.trace"), "Work::process");
        ASSERT_EQ(capture.lines().size(), 1u);
    }
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Entered Work::process");
    EXPECT_EQ(lines[1].message, "Leaving Work::process");
    EXPECT_EQ(lines[0].level, log4cxx::Level::getAll());
}

} // namespace
} // namespace kav
