#include "common/KavErrorInfo.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

namespace kav {
namespace {

class ErrorSlot : public ::testing::Test {
protected:
    void SetUp() override { delete takeErrorInfo(); }
    void TearDown() override { delete takeErrorInfo(); }
};

TEST_F(ErrorSlot, TakingTwiceGivesTheRecordThenNone)
{
    auto* info = new KavErrorInfo(-7, "L", "", "d");
    setErrorInfo(info);
    std::unique_ptr<KavErrorInfo> first(takeErrorInfo());
    EXPECT_EQ(first.get(), info);
    EXPECT_EQ(takeErrorInfo(), nullptr);
}

TEST_F(ErrorSlot, SettingNoneKeepsTheCurrentRecord)
{
    auto* info = new KavErrorInfo(-7, "L", "", "d");
    setErrorInfo(info);
    setErrorInfo(nullptr);
    EXPECT_EQ(peekErrorInfo(), info);
}

TEST_F(ErrorSlot, SettingReplacesTheCurrentRecord)
{
    setErrorInfo(new KavErrorInfo(-1, "old", "", ""));
    setErrorInfo(new KavErrorInfo(-2, "new", "", ""));
    std::unique_ptr<KavErrorInfo> taken(takeErrorInfo());
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->getCode(), -2);
}

TEST_F(ErrorSlot, EachThreadHasItsOwnSlot)
{
    setErrorInfo(new KavErrorInfo(-3, "main", "", ""));
    auto other = std::async(std::launch::async, [] {
        bool emptyAtStart = peekErrorInfo() == nullptr;
        setErrorInfo(new KavErrorInfo(-4, "other", "", ""));
        std::unique_ptr<KavErrorInfo> mine(takeErrorInfo());
        return emptyAtStart && mine && mine->getCode() == -4;
    });
    EXPECT_TRUE(other.get());
    ASSERT_NE(peekErrorInfo(), nullptr);
    EXPECT_EQ(peekErrorInfo()->getCode(), -3);
}

TEST_F(ErrorSlot, SetErrorFillsTheSlotAndReturnsTheCode)
{
    EXPECT_EQ(setError(-9, "why", "Here.cpp:1", { "p" }), -9);
    const KavErrorInfo* info = peekErrorInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getDetail(), "why");
    EXPECT_EQ(info->getLocation(), "Here.cpp:1");
    EXPECT_TRUE(info->getContext().empty());
    EXPECT_EQ(info->getParams(), Params { "p" });
}

} // namespace
} // namespace kav
