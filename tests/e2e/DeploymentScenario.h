#pragma once
// The deployment journey every cluster backend must pass: install on hosts
// of two types, a second install refused while the first runs, uninstall, a
// cancelled run whose allocation waits, a recheck that installs again, a
// restart that resumes the persisted states, and a removal that takes them
// away. Each backend's test binary instantiates DeploymentE2eTest with its
// own DeploymentBackend.
//
// Threads: the test thread only.

#include "e2e/E2eSupport.h"
#include "tools/harness/DeploymentCluster.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace rs::e2e {

// What differs between the cluster backends the scenario runs on.
class DeploymentBackend {
public:
    virtual ~DeploymentBackend() = default;

    // The name the test instances carry.
    virtual std::string name() const = 0;
    // Why the backend cannot run on this machine; empty when it can.
    virtual std::string unavailableReason() const = 0;
    // A cluster of hosts() (not started).
    virtual std::unique_ptr<DeploymentCluster> makeCluster() = 0;
    virtual std::vector<std::string> hosts() const = 0;
    // The hosts of type "linux"; the others get the package for every type.
    virtual std::vector<std::string> linuxHosts() const = 0;

    // Makes every new allocation of the cluster wait until releaseHosts();
    // true when the daemon must be restarted to see the change.
    virtual bool holdHosts(DeploymentCluster& cluster) = 0;
    virtual bool releaseHosts(DeploymentCluster& cluster) = 0;

    // Shell lines added to the package's install hook, which runs in the
    // application directory, and the check of what they left there.
    virtual std::string hookLines() const { return ""; }
    virtual void expectHookRanOn(const std::string& /*host*/, const std::string& /*appDir*/) const { }
    // The backend's own state for failure messages.
    virtual std::string state() const { return ""; }
};

class DeploymentE2eTest : public ::testing::TestWithParam<DeploymentBackend*> {
protected:
    void SetUp() override;
    void TearDown() override;

    DeploymentBackend& backend() const { return *GetParam(); }
    // Restarts the daemon on the same storage and logs on again.
    void restartDaemon();
    int32_t install(const std::string& package);
    // Waits until every host is in `state`.
    HostStates waitAll(const std::string& package, uint32_t state);
    // The package's application directory on `host` holds the build for
    // the host's type and what the install hook left.
    void expectInstalledOnEveryHost(const std::string& package);
    std::string failureContext() const;

    std::unique_ptr<DeploymentCluster> cluster_;
    std::unique_ptr<rsclient::Client> admin_;
};

// The name of an instance, and of its parameter in gtest's output: the backend's.
// Six hosts in two types: n1-n3 "linux", n4-n6 "solaris".
std::vector<HostSpec> sixHosts();

std::string backendName(const ::testing::TestParamInfo<DeploymentBackend*>& info);
inline void PrintTo(DeploymentBackend* backend, std::ostream* out)
{
    *out << backend->name();
}

} // namespace rs::e2e
