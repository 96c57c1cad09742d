#include "rs/core/LogonGate.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "zephcomm/router/Channel.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

namespace {

// The code and parameters of the refusal admit() raises, or 0 when it passes.
struct Refusal {
    int32_t code = 0;
    std::vector<std::string> parameters;
};

Refusal tryAdmit(const rs::LogonGate& gate, const char* operation)
{
    kav::clearErrorInfo();
    int32_t code = KAV_GUARDED([&] {
        gate.admit(operation);
        return 0;
    });
    auto info = kav::takeErrorInfo();
    Refusal refusal;
    if (code < 0) {
        refusal.code = info ? info->getCode() : code;
        refusal.parameters = info ? info->getParams() : kav::Params {};
    }
    return refusal;
}

TEST(LogonGate, RefusesEveryRequestBeforeALogonNamingTheOperation)
{
    rs::LogonGate gate(true);
    for (auto operation : { "addModule", "getPackage", "setPackageStatus" }) {
        Refusal refusal = tryAdmit(gate, operation);
        EXPECT_EQ(refusal.code, kav::rc::RS_LOGON_REQUIRED);
        EXPECT_EQ(refusal.parameters, std::vector<std::string> { operation });
    }
    EXPECT_FALSE(gate.isLoggedOn());
    EXPECT_EQ(gate.userName(), "");
}

TEST(LogonGate, AdmitsAfterASuccessfulLogon)
{
    rs::LogonGate gate(true);
    gate.loggedOn("admin");
    EXPECT_EQ(tryAdmit(gate, "removeModule").code, 0);
    EXPECT_EQ(gate.userName(), "admin");
}

TEST(LogonGate, ARefusedLogonKeepsTheEarlierOne)
{
    rs::LogonGate gate(true);
    EXPECT_FALSE(gate.logonFailed());
    EXPECT_EQ(tryAdmit(gate, "getModuleList").code, kav::rc::RS_LOGON_REQUIRED);
    gate.loggedOn("admin");
    EXPECT_FALSE(gate.logonFailed());
    EXPECT_EQ(tryAdmit(gate, "getModuleList").code, 0);
    EXPECT_EQ(gate.userName(), "admin");
}

TEST(LogonGate, WithoutTheRequirementEverythingPasses)
{
    rs::LogonGate gate(false);
    EXPECT_FALSE(gate.required());
    EXPECT_EQ(tryAdmit(gate, "installPackage").code, 0);
}

TEST(LogonGate, TheFifthFailureClosesEvenWithSuccessesBetween)
{
    rs::LogonGate gate(true);
    std::vector<bool> closing;
    for (int i = 0; i < rs::LogonGate::kMaxFailedLogons; ++i) {
        closing.push_back(gate.logonFailed());
        gate.loggedOn("admin"); // a success does not reset the count
    }
    std::vector<bool> expected(rs::LogonGate::kMaxFailedLogons, false);
    expected.back() = true;
    EXPECT_EQ(closing, expected);
}

TEST(LogonGate, FailuresFromManyThreadsCloseExactlyAtTheLimit)
{
    rs::LogonGate gate(true);
    std::vector<std::future<bool>> results;
    for (int i = 0; i < rs::LogonGate::kMaxFailedLogons - 1; ++i)
        results.push_back(std::async(std::launch::async, [&gate] { return gate.logonFailed(); }));
    for (auto& result : results)
        EXPECT_FALSE(result.get());
    EXPECT_TRUE(gate.logonFailed());
}

TEST(LogonGate, HoldsTheAttachedChannelUntilClosedAndReleasesItOnce)
{
    auto* channel = new zephcomm::Channel("test", nullptr); // one reference: ours
    {
        rs::LogonGate gate(true);
        gate.attach(channel);
        EXPECT_EQ(channel->referenceCount(), 2);
        gate.closeConnection();
        EXPECT_EQ(channel->referenceCount(), 1);
        gate.closeConnection(); // nothing attached any more
        EXPECT_EQ(channel->referenceCount(), 1);
        gate.attach(channel);
    }
    // The gate's destructor gave its reference back.
    EXPECT_EQ(channel->referenceCount(), 1);
    channel->release();
}

} // namespace
