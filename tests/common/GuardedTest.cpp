#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace kav {
namespace {

class Guarded : public ::testing::Test {
protected:
    void SetUp() override { clearErrorInfo(); }
    void TearDown() override { clearErrorInfo(); }

    static std::unique_ptr<KavErrorInfo> taken() { return takeErrorInfo(); }
};

TEST_F(Guarded, ThrowErrorCarriesCodeRecordAndLocation)
{
    const int line = __LINE__ + 2;
    try {
        KAV_THROW(rc::RS_NO_SUCH_MODULE, "gone", Params { "mod", "cons" });
        FAIL() << "nothing thrown";
    } catch (KavException* e) {
        RefPtr<KavException> hold = RefPtr<KavException>::adopt(e);
        EXPECT_EQ(e->code(), rc::RS_NO_SUCH_MODULE);
        ASSERT_NE(e->info(), nullptr);
        EXPECT_EQ(e->info()->getCode(), rc::RS_NO_SUCH_MODULE);
        EXPECT_EQ(e->info()->getLocation(), "GuardedTest.cpp:" + std::to_string(line));
        EXPECT_TRUE(e->info()->getContext().empty());
        EXPECT_EQ(e->info()->getDetail(), "gone");
        EXPECT_EQ(e->info()->getParams(), (Params { "mod", "cons" }));
    }
}

TEST_F(Guarded, RethrowUsesTheRecordsCodeOrMinusOne)
{
    auto owned = std::make_unique<KavErrorInfo>(-42, "L", "", "");
    const KavErrorInfo* info = owned.get();
    try {
        rethrowError(std::move(owned));
    } catch (KavException* e) {
        EXPECT_EQ(e->code(), -42);
        EXPECT_EQ(e->info(), info);
        e->release();
    }
    try {
        rethrowError(nullptr);
    } catch (KavException* e) {
        EXPECT_EQ(e->code(), -1);
        EXPECT_EQ(e->info(), nullptr);
        e->release();
    }
}

TEST_F(Guarded, SuccessReturnsTheBodysValueAndLeavesTheSlotAlone)
{
    auto owned = std::make_unique<KavErrorInfo>(-5, "earlier", "", "");
    const KavErrorInfo* before = owned.get();
    setErrorInfo(std::move(owned));
    EXPECT_EQ(KAV_GUARDED([] { return 17; }), 17);
    EXPECT_EQ(peekErrorInfo(), before);
}

TEST_F(Guarded, KavExceptionGivesItsCodeAndRecord)
{
    int32_t result = KAV_GUARDED([]() -> int { KAV_THROW(rc::RS_MODULE_LINKED, "", Params { "calc" }); });
    EXPECT_EQ(result, rc::RS_MODULE_LINKED);
    auto info = taken();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), rc::RS_MODULE_LINKED);
    EXPECT_EQ(info->getParams(), Params { "calc" });
}

TEST_F(Guarded, VoidBodyGivesZeroOnSuccess)
{
    bool ran = false;
    EXPECT_EQ(KAV_GUARDED([&ran] { ran = true; }), 0);
    EXPECT_TRUE(ran);
}

TEST_F(Guarded, KavExceptionWithoutRecordStillLeavesOneWithItsCode)
{
    setErrorInfo(std::make_unique<KavErrorInfo>(-5, "stale", "", ""));
    int32_t result = KAV_GUARDED([] { rethrowError(nullptr); });
    EXPECT_EQ(result, -1);
    auto info = taken();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), -1);
    EXPECT_NE(info->getLocation(), "stale");
}

TEST_F(Guarded, StandardExceptionGivesUnexpectedCodeWithItsText)
{
    const int line = __LINE__;
    int32_t result = runGuarded(__FILE__, line, []() -> int { throw std::runtime_error("disk on fire"); });
    EXPECT_EQ(result, rc::UNEXPECTED_STD_EXCEPTION);
    auto info = taken();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), rc::UNEXPECTED_STD_EXCEPTION);
    EXPECT_EQ(info->getDetail(), "disk on fire");
    EXPECT_EQ(info->getLocation(), "GuardedTest.cpp:" + std::to_string(line));
    EXPECT_TRUE(info->getContext().empty());
    EXPECT_TRUE(info->getParams().empty());
}

TEST_F(Guarded, AnythingElseGivesUnknownCodeWithEmptyDetail)
{
    const int line = __LINE__;
    int32_t result = runGuarded(__FILE__, line, []() -> int { throw 42; });
    EXPECT_EQ(result, rc::UNKNOWN_EXCEPTION);
    EXPECT_LT(result, 0);
    auto info = taken();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getCode(), rc::UNKNOWN_EXCEPTION);
    EXPECT_TRUE(info->getDetail().empty());
    EXPECT_EQ(info->getLocation(), "GuardedTest.cpp:" + std::to_string(line));
}

TEST_F(Guarded, AbsorbingInsideACatchBlockClassifiesTheSameWay)
{
    int32_t result = 0;
    try {
        throw std::logic_error("bad state");
    } catch (...) {
        result = absorbCurrentException(__FILE__, __LINE__);
    }
    EXPECT_EQ(result, rc::UNEXPECTED_STD_EXCEPTION);
    auto info = taken();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getDetail(), "bad state");
}

TEST(ResultCodes, TableHoldsEveryCodeOnce)
{
    for (size_t i = 0; i < rc::kAllResultCodes.size(); ++i)
        for (size_t j = i + 1; j < rc::kAllResultCodes.size(); ++j)
            EXPECT_NE(rc::kAllResultCodes[i].code, rc::kAllResultCodes[j].code)
                << rc::kAllResultCodes[i].name << " and " << rc::kAllResultCodes[j].name;
}

} // namespace
} // namespace kav
