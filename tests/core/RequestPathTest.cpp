// The path every request of both interfaces takes on the server before a
// work item runs: the logon gate, the presence of the required arguments,
// the queue, and the answer, audit record and queue state of each refusal.
// The servers run in-process on the fake context (test::ServerHarness).

#include "common/ResultCodes.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "rs/deployment/operations/AppDeploymentServer.h"
#include "rs/repository/operations/RepositoryServer.h"
#include "support/FakeServiceContext.h"
#include "support/ServerHarness.h"

#include <gtest/gtest.h>

#include <string>

namespace rs {
namespace {

// A value for every argument a request can carry.
struct Sample {
    static std::string of(rpc::String) { return "web"; }
    static int32_t of(rpc::Int32) { return 1; }
    static KavVersion of(rpc::Version) { return KavVersion { 1, 0, 0, "" }; }
    static const ACE_Message_Block* of(rpc::Block) { return data.get(); }
    static const kav::IKavErrorInfo* of(rpc::Error) { return &none; }
    static inline rpc::BlockPtr data = rpc::makeBlock("data");
    static inline const kav::KavErrorInfo none;
};

// The call as the server receives it: every argument present, or (malformed)
// the payload cut before the first one.
template <class Call, class... Codecs>
std::unique_ptr<zephcomm::Call> receivedAs(const zephCDRMarshal::TypedCall<Call, Codecs...>*, bool malformed)
{
    Call sent(Sample::of(Codecs {})...);
    auto call = std::make_unique<Call>(zephCDRMarshal::prototype);
    std::unique_ptr<ACE_Message_Block> none;
    call->unmarshal(malformed ? none.get() : sent.payload());
    return call;
}

template <class Interface>
std::unique_ptr<zephcomm::Call> request(const std::string& operation, bool malformed)
{
    std::unique_ptr<zephcomm::Call> found;
    for (auto& prototype : rpc::findInterface(Interface::kName)->prototypes())
        if (prototype->methodName() == operation)
            found.reset(prototype->create());
    if (!found)
        return nullptr;
    std::unique_ptr<zephcomm::Call> out;
    Interface::route(std::move(found), [&](auto typed) { out = receivedAs(typed.get(), malformed); });
    return out;
}

// Every queued request: its answer, its place on the queue (kind, shared),
// and the audit record of a refusal before queueing (a catalogue message, a
// text record at ERROR, or none).
struct Row {
    const char* interfaceName;
    const char* operation;
    const char* answer; // the answer's method when it is not <operation>Resp
    int32_t kind;
    bool shared;
    bool open; // served before a logon
    bool requiresArguments;
    bool audited;
    uint32_t auditMessage; // 0: a text record
};

const Row kRows[] = {
    { "IRepository", "logon", nullptr, 3, true, true, true, false, 0 },
    { "IRepository", "addModule", nullptr, 2, false, false, true, true, 0x14C23 },
    { "IRepository", "removeModule", nullptr, 2, false, false, true, true, 0x14C25 },
    { "IRepository", "getModuleList", nullptr, 3, true, false, false, false, 0 },
    { "IRepository", "getModule", nullptr, 1, true, false, true, false, 0 },
    { "IRepository", "linkModuleApplication", nullptr, 2, false, false, true, false, 0 },
    { "IAppDeployment", "logon", nullptr, 3, true, true, true, false, 0 },
    { "IAppDeployment", "addPackage", nullptr, 2, false, false, true, true, 0 },
    { "IAppDeployment", "removePackage", nullptr, 2, false, false, true, true, 0 },
    { "IAppDeployment", "installPackage", nullptr, 1, true, false, true, true, 0 },
    { "IAppDeployment", "installPackageRecheck", "installPackageResp", 1, true, false, true, true, 0 },
    { "IAppDeployment", "cancelPackage", nullptr, 4, true, false, true, true, 0 },
    { "IAppDeployment", "uninstallPackage", nullptr, 1, true, false, true, true, 0 },
    { "IAppDeployment", "getPackageList", nullptr, 3, true, false, false, false, 0 },
    { "IAppDeployment", "getPackage", nullptr, 1, true, false, true, false, 0 },
    { "IAppDeployment", "setPackageStatus", nullptr, 2, false, false, true, false, 0 },
    { "IAppDeployment", "getPackageStatus", nullptr, 3, true, false, true, false, 0 },
};

class RequestPathTest : public ::testing::Test {
protected:
    // Hands the row's request to a new connection of its interface, then
    // body(connection).
    template <class Body> void onNewConnection(const Row& row, bool malformed, Body body)
    {
        if (std::string(row.interfaceName) == IRepository::kInterfaceName) {
            test::ServerHarness<RepositoryServer> connection(fake, IRepositoryResp::kInterfaceName);
            connection.deliver(request<IRepository::Interface>(row.operation, malformed));
            body(connection);
        } else {
            test::ServerHarness<AppDeploymentServer> connection(fake, IAppDeploymentResp::kInterfaceName);
            connection.deliver(request<IAppDeployment::Interface>(row.operation, malformed));
            body(connection);
        }
    }
    // The error of the one answer to the row's request, which must be the row's answer.
    std::unique_ptr<kav::KavErrorInfo> refusalOf(const Row& row, bool malformed)
    {
        std::unique_ptr<kav::KavErrorInfo> error;
        onNewConnection(row, malformed, [&](auto& connection) {
            EXPECT_EQ(connection.unread(), 1u);
            error = connection.answerError(std::string(row.interfaceName)
                + "Resp::" + (row.answer ? row.answer : std::string(row.operation) + "Resp"));
        });
        return error ? std::move(error) : std::make_unique<kav::KavErrorInfo>();
    }

    test::FakeServiceContext fake;
};

// The audit record a refused row leaves, if any.
void expectAudited(const Row& row, const std::vector<test::AuditRecord>& audited)
{
    if (!row.audited) {
        EXPECT_TRUE(audited.empty());
        return;
    }
    ASSERT_EQ(audited.size(), 1u);
    EXPECT_EQ(audited[0].number, row.auditMessage);
    if (row.auditMessage == 0) {
        EXPECT_TRUE(audited[0].isError);
    }
}

TEST_F(RequestPathTest, BeforeALogonEveryQueuedRequestButLogonIsRefusedNamingItself)
{
    for (const Row& row : kRows) {
        if (row.open)
            continue;
        SCOPED_TRACE(std::string(row.interfaceName) + "::" + row.operation);
        fake.audited.clear();
        auto error = refusalOf(row, false);
        EXPECT_EQ(error->getCode(), kav::rc::RS_LOGON_REQUIRED);
        EXPECT_EQ(error->getParams(), kav::Params { row.operation });
        EXPECT_TRUE(fake.queued.empty());
        expectAudited(row, fake.audited);
    }
}

TEST_F(RequestPathTest, AMissingArgumentIsRefusedWithoutQueuing)
{
    fake.requireLogon = false;
    for (const Row& row : kRows) {
        if (!row.requiresArguments)
            continue;
        SCOPED_TRACE(std::string(row.interfaceName) + "::" + row.operation);
        fake.audited.clear();
        EXPECT_EQ(refusalOf(row, true)->getCode(), kav::rc::RS_MISSING_ARGUMENT);
        EXPECT_TRUE(fake.queued.empty());
        expectAudited(row, fake.audited);
    }
}

TEST_F(RequestPathTest, ARequestTheQueueRefusesIsAnsweredWithTheQueuesFailure)
{
    fake.requireLogon = false;
    for (int32_t failure : { kav::rc::RS_QUEUE_FAILED, kav::rc::RS_NO_SERVER_MANAGER }) {
        fake.enqueueResult = failure;
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::string(row.interfaceName) + "::" + row.operation);
            fake.audited.clear();
            EXPECT_EQ(refusalOf(row, false)->getCode(), failure);
            expectAudited(row, fake.audited);
        }
    }
}

TEST_F(RequestPathTest, AWellFormedRequestIsQueuedByItsKindAndSharingAndNotYetAnswered)
{
    fake.requireLogon = false;
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.interfaceName) + "::" + row.operation);
        fake.queued.clear();
        onNewConnection(row, false, [](auto& connection) { EXPECT_EQ(connection.unread(), 0u); });
        ASSERT_EQ(fake.queued.size(), 1u);
        EXPECT_EQ(fake.queued[0]->kind(), row.kind);
        EXPECT_EQ(fake.queued[0]->isShared(), row.shared);
    }
}

// A logon checks the credential, then the consumer, whose refusal names it;
// the empty consumer (the global index) is not checked. No refusal carries
// the credential.
TEST_F(RequestPathTest, ALogonIsCheckedByItsCredentialThenItsConsumer)
{
    fake.users = { { "admin:pw", "admin" } };
    fake.consumers = { "/apps" };
    const struct {
        std::string credential, consumer;
        int32_t code;
        kav::Params params;
    } rows[] = { { "admin:pw", "/apps", 0, {} }, { "admin:pw", "", 0, {} },
        { "admin:pw", "/no/such", kav::rc::RS_BAD_CONSUMER, { "/no/such" } },
        { "admin:wrong", "/apps", kav::rc::RS_LOGON_FAILED, {} } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.credential + " for '" + row.consumer + "'");
        test::ServerHarness<RepositoryServer> connection(fake, IRepositoryResp::kInterfaceName);
        connection.send<IRepository::logon_Call>(row.credential, row.consumer);
        fake.runQueued();
        auto answer = connection.answer<IRepositoryResp::logonResp_Call>();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->error()->getCode(), row.code);
        EXPECT_EQ(answer->error()->getParams(), row.params);
        EXPECT_EQ(answer->error()->getDetail().find(row.credential), std::string::npos);
    }
}

} // namespace
} // namespace rs
