#include "interfaces/types/HostDeployState.h"

#include <gtest/gtest.h>

using namespace rs;

// The numbers are part of the wire format.
TEST(HostDeployState, EveryStateHasItsNumberAndDisplayString)
{
    const std::pair<uint32_t, const char*> states[] = {
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
    for (const auto& [state, name] : states) {
        EXPECT_EQ(state, number++);
        ASSERT_NE(hostDeployStateName(state), nullptr);
        EXPECT_STREQ(hostDeployStateName(state), name);
        EXPECT_EQ(hostDeployStateText(state), name);
    }
}
