#pragma once
// What host allocation and the package installers need from the service
// object. The service object implements it; tests use a fake.
//
// Thread: called on worker threads, installer threads and the resource
// manager client's callback threads; implementations are thread-safe.

#include <cstdint>
#include <string>

namespace rs {

class HostStatusTable;

class IDeploymentService {
public:
    virtual ~IDeploymentService() = default;

    // The service's host status table; lives as long as the service.
    virtual HostStatusTable& hostStatusTable() = 0;
    // The repository directory (packages lie below its ".global").
    virtual std::string storageDir() const = 0;
    // A short host name matches its fully qualified form.
    virtual bool compareHostName(const std::string& a, const std::string& b) = 0;
    // Unregisters the consumers queued for clean-up.
    virtual void cleanupConsumers() = 0;
    // Queues a consumer for a later cleanupConsumers.
    virtual void addConsumerForCleanup(const std::string& consumer) = 0;
    // The installer text of a run kind (catalogue 85059 install, 85060 uninstall).
    virtual std::string installerText(bool uninstall) const = 0;
    // Seconds a host may stay ALLOCATING or WAITING.
    virtual int32_t hostTimeout() const = 0;
};

} // namespace rs
