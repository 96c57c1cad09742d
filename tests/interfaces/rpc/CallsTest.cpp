#include "zephcomm/router/FakeDriver.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "zephcomm/wire/Cdr.h"

#include "common/LogCapture.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using namespace zephcomm::test;

std::string bytesOf(const ACE_Message_Block* block)
{
    return rpc::blockText(block);
}

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
    std::string bytes = bytesOf(sent.payload()).substr(0, cut);
    std::unique_ptr<ACE_Message_Block> block(blockOf(bytes));
    std::unique_ptr<C> call(static_cast<C*>(sent.create()));
    EXPECT_EQ(call->unmarshal(block.get()), 0);
    return call;
}

TEST(CallsTest, OperationWithoutArgumentsHasAOneBytePayload)
{
    IRepository::getModuleList_Call call;
    EXPECT_EQ(bytesOf(call.payload()), std::string("\x01", 1));
    EXPECT_EQ(received(call)->unmarshalResult(), 0);
}

TEST(CallsTest, CompletePayloadGivesStatusZero)
{
    IAppDeployment::addPackage_Call sent("pkg", "rpm", "pkg.rpm", rpc::makeBlock("DATA").get(), 7);
    auto got = received(sent);
    EXPECT_EQ(got->unmarshalResult(), 0);
    EXPECT_EQ(*got->packageFileName(), "pkg.rpm");
    EXPECT_EQ(bytesOf(got->packageData()), "DATA");
    EXPECT_EQ(got->flag(), 7);
}

TEST(CallsTest, PayloadCutAfterTheSecondOfFiveArgumentsGivesStatusThree)
{
    IAppDeployment::addPackage_Call sent("pkg", "rpm", "pkg.rpm", rpc::makeBlock("DATA").get(), 7);
    auto got = received(sent, lengthAfterStrings({ "pkg", "rpm" }));
    EXPECT_EQ(got->unmarshalResult(), 3);
    EXPECT_EQ(*got->packageType(), "rpm");
    ASSERT_NE(got->packageFileName(), nullptr); // the failed one is empty, not null
    EXPECT_EQ(*got->packageFileName(), "");
    EXPECT_EQ(got->packageData(), nullptr);
}

TEST(CallsTest, StringsAreLengthCountedWithTheirNul)
{
    IRepository::removeModule_Call call("abc");
    std::string bytes = bytesOf(call.payload());
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(bytes[0], '\x01');
    EXPECT_EQ(bytes.substr(4), std::string("\x04\0\0\0abc\0", 8)); // bytes 1-3 are alignment padding
}

TEST(CallsTest, SuccessRecordIsASingleZeroBeforeThePackageName)
{
    IAppDeployment::setPackageStatus_Call call(nullptr, "p", "h", 7);
    std::string bytes = bytesOf(call.payload());
    EXPECT_EQ(bytes.substr(4, 4), std::string("\0\0\0\0", 4));
    EXPECT_EQ(bytes.substr(8, 6), std::string("\x02\0\0\0p\0", 6));
    auto got = received(call);
    ASSERT_NE(got->error(), nullptr);
    EXPECT_EQ(got->error()->getCode(), 0);
}

TEST(CallsTest, LogonAnswerCarriesTheTokenBeforeTheUser)
{
    IRepositoryResp::logonResp_Call call(nullptr, "token", "user");
    std::string bytes = bytesOf(call.payload());
    EXPECT_LT(bytes.find("token"), bytes.find("user"));
    auto got = received(call);
    EXPECT_EQ(*got->responseToken(), "token");
    EXPECT_EQ(*got->responseUser(), "user");
}

TEST(CallsTest, VersionRecordRoundTrips)
{
    KavVersion narv { 3, 1, 4, "build 15" };
    KavVersion qel { 9, 2, 0, "" };
    IRepository::getRSVersion_Call sent(narv, qel, 1);
    auto got = received(sent);
    EXPECT_EQ(*got->narvVersion(), narv);
    EXPECT_EQ(*got->qelVersion(), qel);
    EXPECT_EQ(narv.display(), "3.1");
}

TEST(CallsTest, InstallPackageRecheckIsItsOwnRequestAnsweredByInstallPackageResp)
{
    static_assert(std::is_same_v<IAppDeployment::installPackageRecheck_Call::Response,
        IAppDeploymentResp::installPackageResp_Call>);
    static_assert(std::is_same_v<IAppDeployment::installPackage_Call::Response,
        IAppDeploymentResp::installPackageResp_Call>);
    static_assert(std::is_void_v<IRepository::shutdownRS_Call::Response>);
    IAppDeployment::installPackageRecheck_Call call("p", "g", "h");
    EXPECT_EQ(call.methodName(), "installPackageRecheck");
}

// --- the dispatcher ------------------------------------------------------------

// Records what getModule and addPackage reach the implementation with.
class RecordingRepository final : public IRepository::CallCompletionImp {
public:
    void addModule(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, rpc::BlockPtr, int32_t) override
    {
    }
    void removeModule(std::unique_ptr<std::string>) override { }
    void getModuleList() override { statuses.push_back(status()); }
    void getModule(std::unique_ptr<std::string> name, std::unique_ptr<std::string> version,
        std::unique_ptr<std::string> consumer) override
    {
        statuses.push_back(status());
        moduleName = std::move(name);
        this->version = std::move(version);
        this->consumer = std::move(consumer);
    }
    void linkModuleApplication(std::unique_ptr<std::string>, std::unique_ptr<std::string>, int32_t) override
    {
    }
    void logon(std::unique_ptr<std::string>, std::unique_ptr<std::string>) override { }
    void shutdownRS(std::unique_ptr<std::string>) override { }
    void getRSVersion(std::unique_ptr<KavVersion>, std::unique_ptr<KavVersion>, int32_t) override { }

    std::vector<int> statuses;
    std::unique_ptr<std::string> moduleName, version, consumer;
};

TEST(DispatcherTest, GetModuleCutAfterItsFirstStringReachesTheOperationWithStatusTwo)
{
    IRepository::getModule_Call sent("mod", "1.0", "cons");
    auto repository = make<RecordingRepository>();
    repository->complete(0, received(sent, lengthAfterStrings({ "mod" })).release());
    EXPECT_EQ(repository->statuses, std::vector<int> { 2 });
    EXPECT_EQ(*repository->moduleName, "mod");
    ASSERT_TRUE(repository->version);
    EXPECT_EQ(*repository->version, "");
    EXPECT_FALSE(repository->consumer);
    EXPECT_EQ(repository->status(), 0); // reset after the operation
}

TEST(DispatcherTest, CallWithoutArgumentsHasStatusZero)
{
    auto repository = make<RecordingRepository>();
    repository->complete(0, received(IRepository::getModuleList_Call()).release());
    EXPECT_EQ(repository->statuses, std::vector<int> { 0 });
}

class RecordingDeployment final : public IAppDeployment::CallCompletionImp {
public:
    void logon(std::unique_ptr<std::string>, std::unique_ptr<std::string>) override { }
    void addPackage(std::unique_ptr<std::string>, std::unique_ptr<std::string>,
        std::unique_ptr<std::string> fileName, rpc::BlockPtr data, int32_t flag) override
    {
        status_ = status();
        fileName_ = std::move(fileName);
        data_ = std::move(data);
        flag_ = flag;
    }
    void removePackage(std::unique_ptr<std::string>, std::unique_ptr<std::string>) override { }
    void installPackage(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, std::unique_ptr<std::string>) override
    {
    }
    void cancelPackage(std::unique_ptr<std::string>) override { }
    void uninstallPackage(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, std::unique_ptr<std::string>) override
    {
    }
    void getPackageList() override { }
    void getPackage(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, std::unique_ptr<std::string>) override
    {
    }
    void setPackageStatus(std::unique_ptr<kav::KavErrorInfo>, std::unique_ptr<std::string>,
        std::unique_ptr<std::string>, int32_t) override
    {
    }
    void getPackageStatus(std::unique_ptr<std::string>, int32_t) override { }
    void installPackageRecheck(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, std::unique_ptr<std::string>) override
    {
    }
    void getRSVersion(std::unique_ptr<KavVersion>, int32_t) override { }

    int status_ = -1;
    std::unique_ptr<std::string> fileName_;
    rpc::BlockPtr data_;
    int32_t flag_ = -1;
};

TEST(DispatcherTest, AddPackageCutAfterTheFileNameHasStatusFourAndNoData)
{
    IAppDeployment::addPackage_Call sent("pkg", "", "pkg.zip", rpc::makeBlock("DATA").get(), 1);
    auto deployment = make<RecordingDeployment>();
    deployment->complete(0, received(sent, lengthAfterStrings({ "pkg", "", "pkg.zip" })).release());
    EXPECT_EQ(deployment->status_, 4);
    EXPECT_EQ(*deployment->fileName_, "pkg.zip");
    EXPECT_FALSE(deployment->data_);
    EXPECT_EQ(deployment->flag_, 0);
}

// --- the response clients --------------------------------------------------------

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

TEST_F(ResponseClientTest, NullArgumentFailsTheAssertionAndSendsNothing)
{
    kav::test::LogCapture capture(log4cxx::Logger::getRootLogger());
    EXPECT_EQ(client->getPackageStatusResp(&success, nullptr), -1);
    EXPECT_EQ(client->installPackageResp(nullptr), -1);
    EXPECT_TRUE(io.sends.empty());
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].message.find("KAV_ASSERT: <list != 0> failed"), std::string::npos);
    EXPECT_NE(lines[1].message.find("KAV_ASSERT: <error != 0> failed"), std::string::npos);
}

TEST_F(ResponseClientTest, AnswerIsSentUnderTheResponseInterface)
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
}

TEST_F(ResponseClientTest, DetachedClientAnswersMinusNine)
{
    client->detach();
    EXPECT_EQ(client->installPackageResp(&success), -9);
}

} // namespace
