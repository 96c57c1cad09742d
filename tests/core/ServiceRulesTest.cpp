#include "rs/core/ServiceRules.h"

#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(RequireLogonSetting, OnUnlessExplicitlyTurnedOff)
{
    EXPECT_TRUE(rs::requireLogonSetting(nullptr));
    for (auto value : { "", "on", "1", "yes", "true", "ON", "offf", " off", "disabled" })
        EXPECT_TRUE(rs::requireLogonSetting(value)) << '"' << value << '"';
    for (auto value : { "off", "OFF", "Off", "0", "false", "False", "no", "NO" })
        EXPECT_FALSE(rs::requireLogonSetting(value)) << '"' << value << '"';
}

TEST(ConsumerCleanupList, AddsEachNameOnce)
{
    rs::ConsumerCleanupList list;
    list.add("/a");
    list.add("/b");
    list.add("/a");
    EXPECT_EQ(list.pending(), (std::vector<std::string> { "/a", "/b" }));
}

TEST(ConsumerCleanupList, KeepsOnlyConsumersWhoseReleaseFailedOtherwise)
{
    rs::ConsumerCleanupList list;
    for (auto name : { "/released", "/gone", "/busy" })
        list.add(name);
    std::map<std::string, int32_t> results { { "/released", 0 }, { "/gone", kav::rc::ZOR_CONSUMER_GONE },
        { "/busy", kav::rc::ZOR_CALL_FAILED } };
    std::vector<std::string> asked;
    list.cleanup([&](const std::string& consumer) {
        asked.push_back(consumer);
        return results.at(consumer);
    });
    EXPECT_EQ(asked, (std::vector<std::string> { "/released", "/gone", "/busy" }));
    EXPECT_EQ(list.pending(), (std::vector<std::string> { "/busy" }));

    list.cleanup([](const std::string&) { return 0; });
    EXPECT_TRUE(list.pending().empty());
}

TEST(ConsumerCleanupList, NamesAddedDuringARoundWaitForTheNext)
{
    rs::ConsumerCleanupList list;
    list.add("/first");
    int calls = 0;
    list.cleanup([&](const std::string&) {
        ++calls;
        list.add("/late");
        return 0;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(list.pending(), (std::vector<std::string> { "/late" }));
}

} // namespace
