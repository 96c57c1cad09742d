#include "common/KavErrorInfo.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>

namespace kav {
namespace {

class ErrorSlot : public ::testing::Test {
protected:
    void SetUp() override { clearErrorInfo(); }
    void TearDown() override { clearErrorInfo(); }
};

TEST_F(ErrorSlot, TakingTwiceGivesTheRecordThenNone)
{
    auto owned = std::make_unique<KavErrorInfo>(-7, "L", "", "d");
    const KavErrorInfo* info = owned.get();
    setErrorInfo(std::move(owned));
    auto first = takeErrorInfo();
    EXPECT_EQ(first.get(), info);
    EXPECT_EQ(takeErrorInfo(), nullptr);
}

TEST_F(ErrorSlot, SettingNoneKeepsTheCurrentRecord)
{
    auto owned = std::make_unique<KavErrorInfo>(-7, "L", "", "d");
    const KavErrorInfo* info = owned.get();
    setErrorInfo(std::move(owned));
    setErrorInfo(nullptr);
    EXPECT_EQ(peekErrorInfo(), info);
}

TEST_F(ErrorSlot, SettingReplacesTheCurrentRecord)
{
    setErrorInfo(std::make_unique<KavErrorInfo>(-1, "old", "", ""));
    setErrorInfo(std::make_unique<KavErrorInfo>(-2, "new", "", ""));
    auto taken = takeErrorInfo();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->getCode(), -2);
}

TEST_F(ErrorSlot, EachThreadHasItsOwnSlot)
{
    setErrorInfo(std::make_unique<KavErrorInfo>(-3, "main", "", ""));
    auto other = std::async(std::launch::async, [] {
        bool emptyAtStart = peekErrorInfo() == nullptr;
        setErrorInfo(std::make_unique<KavErrorInfo>(-4, "other", "", ""));
        auto mine = takeErrorInfo();
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
