#pragma once
// A service context made of small in-memory tables, for tests of the
// servers and work items: who may log on with which credential, which
// consumers, groups and roles exist, a scratch repository directory, a work
// queue the test runs by hand, a file and list cache of its own, a clock the
// test sets and an audit log it reads. A test that needs the service to
// misbehave overrides the one call under study in a subclass.
//
// Threads: the test's own; the queue runs on it.

#include "rs/core/ServiceContext.h"
#include "rs/core/Work.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "support/ScratchDir.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace rs {
class IDeployResources;
}

namespace rs::test {

struct AuditRecord {
    uint32_t number = 0; // 0: a text record
    kav::Params params;
    std::string text;
    bool isError = false;
};

class FakeServiceContext : public ServiceContext {
public:
    static constexpr const char* kClusterGroup = "InternalResourceGroup";

    FakeServiceContext();
    ~FakeServiceContext() override;

    // --- What the fake knows --------------------------------------------------
    std::map<std::string, std::string> users; // credential -> user name
    std::set<std::string> consumers;
    std::map<std::string, std::vector<std::string>> groups; // kClusterGroup holds the cluster's hosts
    struct Role {
        std::string user;
        std::string consumer; // covers itself and every consumer below it
        int level;
    };
    std::vector<Role> roles;
    int32_t clock = 1700000000;
    bool requireLogon = true;

    // --- What the fake was asked -------------------------------------------
    std::vector<AuditRecord> audited;

    // --- The work queue ------------------------------------------------------
    // Items waiting, in the order they were queued.
    std::vector<std::unique_ptr<Work>> queued;
    // Runs what is queued, as the workers would take it (higher kind first,
    // queue order within a kind), including what the items queue meanwhile.
    void runQueued();
    // The result the next enqueue gives (0: queued), with its error set.
    int32_t enqueueResult = 0;
    // Whether runAtOnce processes what it is given (as an idle queue would).
    bool runsAtOnce = false;

    // --- Deployment ------------------------------------------------------------
    // Starts the deployment runtime over `resources` (the fake's clock and
    // audit log, host names compared by their first label in any case).
    void startDeployment(IDeployResources& resources, int32_t hostTimeout = 60);

    // The repository directory's path of `relative` ("a/b").
    std::string path(const std::string& relative) const { return storage_.file(relative); }

    // ServiceContext
    int32_t authenticate(
        const std::string& credential, std::string& responseToken, std::string& userName) override;
    int32_t checkConsumerId(const std::string& consumer) override;
    int32_t checkResourceGroup(const std::string& group) override;
    int32_t checkHostName(const std::string& host) override;
    int32_t checkHostInGroup(const std::string& host, const std::string& group) override;
    int32_t checkRole(
        const std::string& user, const std::string& consumer, int level, std::string& out) override;
    int32_t enqueue(std::unique_ptr<Work> work) override;
    bool runAtOnce(Work& work) override;
    const std::string& storageDir() const override { return storageDir_; }
    kav::KavFileCache& fileCache() override { return fileCache_; }
    modules::ModuleListCache& moduleLists() override { return moduleLists_; }
    DeploymentRuntime* deployment() override { return deployment_.get(); }
    void audit(uint32_t number, const kav::Params& params, bool isError) override;
    void auditText(const std::string& text, bool isError) override;
    int32_t now() override { return clock; }
    bool logonRequired() const override { return requireLogon; }
    bool signalShutdown() override { return true; }
    ProductVersion productVersion() override { return { 7, 1, 0 }; }

private:
    ScratchDir storage_;
    std::string storageDir_;
    kav::KavFileCache fileCache_;
    modules::ModuleListCache moduleLists_;
    std::unique_ptr<DeploymentRuntime> deployment_;
};

} // namespace rs::test
