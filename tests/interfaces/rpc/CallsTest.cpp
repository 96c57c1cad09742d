// Requests and answers as the generated calls encode them: what a truncated
// request turns into on its way to the operation, the two forms of the error
// record, and how an answer leaves.

#include "zephcomm/router/FakeDriver.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "zephcomm/wire/Cdr.h"

#include <gtest/gtest.h>

namespace {

using namespace zephcomm::test;

// The bytes a payload has after the byte-order flag and the given strings.
size_t lengthAfterStrings(std::initializer_list<std::string_view> strings)
{
    auto out = zephcomm::wire::makeOutput();
    zephcomm::wire::beginPayload(*out);
    for (auto text : strings)
        zephcomm::wire::writeString(*out, text);
    return out->total_length();
}

// Rebuilds a call of class C from the first `cut` bytes of `sent`'s payload.
template <class C> std::unique_ptr<C> received(const C& sent, size_t cut = std::string::npos)
{
    std::string bytes = rpc::blockText(sent.payload()).substr(0, cut);
    std::unique_ptr<ACE_Message_Block> block(blockOf(bytes));
    std::unique_ptr<C> call(static_cast<C*>(sent.create()));
    EXPECT_EQ(call->unmarshal(block.get()), 0);
    return call;
}

TEST(CallsTest, ATruncatedRequestKeepsWhatArrivedAndCountsTheArgumentsRead)
{
    IAppDeployment::addPackage_Call sent("pkg", "rpm", "pkg.rpm", rpc::makeBlock("DATA").get(), 7);
    auto whole = received(sent);
    EXPECT_EQ(whole->unmarshalResult(), 0);
    EXPECT_EQ(rpc::blockText(whole->packageData()), "DATA");
    EXPECT_EQ(whole->flag(), 7);

    auto cut = received(sent, lengthAfterStrings({ "pkg", "rpm" }));
    EXPECT_EQ(cut->unmarshalResult(), 3);
    EXPECT_EQ(*cut->packageType(), "rpm");
    ASSERT_NE(cut->packageFileName(), nullptr); // the failed one is empty, not null
    EXPECT_EQ(*cut->packageFileName(), "");
    EXPECT_EQ(cut->packageData(), nullptr);
}

TEST(CallsTest, TheErrorRecordTravelsWholeAndSuccessIsASingleZero)
{
    kav::KavErrorInfo failure(-5, "Server.cpp:42", "", "name has a slash", { "a/b", "module" });
    failure.setContext("getModule");
    auto got = received(IAppDeployment::setPackageStatus_Call(&failure, "p", "h", 7));
    ASSERT_NE(got->error(), nullptr);
    EXPECT_EQ(got->error()->getCode(), -5);
    EXPECT_EQ(got->error()->getLocation(), "Server.cpp:42");
    EXPECT_EQ(got->error()->getContext(), "getModule");
    EXPECT_EQ(got->error()->getDetail(), "name has a slash");
    EXPECT_EQ(got->error()->getParams(), (std::vector<std::string> { "a/b", "module" }));
    EXPECT_EQ(*got->packageName(), "p");

    IAppDeployment::setPackageStatus_Call success(nullptr, "p", "h", 7);
    const std::string bytes = rpc::blockText(success.payload());
    EXPECT_EQ(bytes.substr(4, 10), std::string("\0\0\0\0\x02\0\0\0p\0", 10));
    got = received(success);
    ASSERT_NE(got->error(), nullptr);
    EXPECT_EQ(got->error()->getCode(), 0);
}

class ResponseClientTest : public ::testing::Test {
protected:
    void SetUp() override { channel->accept_CB(0, &io); }
    void TearDown() override
    {
        client->detach();
        channel->destroy();
    }

    FakeDriver driver;
    FakeDriverChannel io;
    Ref<zephcomm::Channel> channel = make<zephcomm::Channel>("server", &driver);
    Ref<IAppDeploymentRespClient> client = make<IAppDeploymentRespClient>(channel.get());
    kav::KavErrorInfo success;
};

TEST_F(ResponseClientTest, AnswerIsSentUnderTheResponseInterfaceWhileAttached)
{
    rs::DplStatusList list;
    list.entries.push_back({ "host1", 7, "" });
    ASSERT_EQ(client->getPackageStatusResp(&success, &list), 0);
    ASSERT_EQ(io.sends.size(), 1u);
    const std::string& bytes = io.sends[0].bytes;
    auto header = zephcomm::wire::decodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
    EXPECT_EQ(header.typeId, zephcomm::wire::typeIdentifier("IAppDeploymentResp::getPackageStatusResp"));
    EXPECT_EQ(header.payloadSize, bytes.size() - zephcomm::wire::kHeaderSize);
    std::unique_ptr<ACE_Message_Block> payload(blockOf(bytes.substr(zephcomm::wire::kHeaderSize)));
    IAppDeploymentResp::getPackageStatusResp_Call got(zephCDRMarshal::prototype);
    got.unmarshal(payload.get());
    EXPECT_EQ(got.unmarshalResult(), 0);
    EXPECT_EQ(*got.list(), list);
    io.completeSend(0);
    client->detach();
    EXPECT_EQ(client->installPackageResp(&success), -9);
}

} // namespace
