#include "interfaces/types/HostDeployState.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace rs;

TEST(HostDeployState, EveryStateHasItsDisplayString)
{
    const std::pair<uint32_t, const char*> expected[] = {
        { HOST_STATE_NONE, "" },
        { HOST_NOT_STARTED, "NOT STARTED" },
        { HOST_ALLOCATING, "ALLOCATING" },
        { HOST_ALLOCATED, "ALLOCATED" },
        { HOST_WAITING, "WAITING" },
        { HOST_DOWNLOADING, "DOWNLOADING" },
        { HOST_RUNNING, "RUNNING" },
        { HOST_INSTALLED, "INSTALLED" },
        { HOST_UNINSTALLED, "UNINSTALLED" },
        { HOST_ERROR, "ERROR" },
        { HOST_CANCELLED, "CANCELLED" },
    };
    uint32_t number = 0;
    for (const auto& [state, name] : expected) {
        EXPECT_EQ(state, number++) << "the numbers are part of the wire format";
        ASSERT_NE(hostDeployStateName(state), nullptr);
        EXPECT_STREQ(hostDeployStateName(state), name);
        EXPECT_EQ(hostDeployStateText(state), name);
    }
}

// States arrive from the deploy command and the persisted state unchecked:
// a value outside the table has no display string, and whatever names one
// shows it with its number.
TEST(HostDeployState, ValuesFromElevenOnHaveNoDisplayStringButAText)
{
    const std::pair<uint32_t, std::string> expected[]
        = { { 11, "UNKNOWN(11)" }, { 42, "UNKNOWN(42)" }, { 0xFFFFFFFFu, "UNKNOWN(4294967295)" } };
    for (const auto& [state, text] : expected) {
        EXPECT_EQ(hostDeployStateName(state), nullptr) << state;
        EXPECT_EQ(hostDeployStateText(state), text);
    }
}

TEST(HostDeployState, WidthIsTheLongestDisplayString)
{
    size_t longest = 0;
    for (uint32_t s = 0; s < kHostDeployStateCount; ++s)
        longest = std::max(longest, std::strlen(hostDeployStateName(s)));
    EXPECT_EQ(hostDeployStateNameWidth(), longest);
    EXPECT_EQ(hostDeployStateNameWidth(), std::string("NOT STARTED").size());
}
