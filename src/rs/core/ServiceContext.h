#pragma once
// ServiceContext: everything the request layer uses of the service, handed
// to the connection manager, every server object and, through them, every
// work item. Nothing below start-up reaches a process-wide object for these
// on its own: the daemon builds the real context once (DaemonContext), and a
// test builds one from small in-memory fakes that misbehave on cue.
//
// Threads: every operation may be called from any thread (driver threads
// queue, worker threads check and store, the main thread shuts down); an
// implementation guards its own state.
// Lifetime: outlives every connection and every work item (the daemon keeps
// it until the service is down).

#include "common/KavErrorInfo.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kav {
class KavFileCache;
}

namespace rs {

class DeploymentRuntime;
class Work;

namespace modules {
class ModuleListCache;
}

// The resource manager product's version, as getRSVersion reports it.
struct ProductVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

class ServiceContext {
public:
    virtual ~ServiceContext() = default;

    // --- Authentication and the resource manager's checks ----------------
    // Each returns 0 or a negative result code with the thread's error
    // information describing the refusal (the consumer and group checks log
    // and discard theirs, as the service object does).

    // Checks the credential; on success fills the token and the user name.
    virtual int32_t authenticate(
        const std::string& credential, std::string& responseToken, std::string& userName)
        = 0;
    virtual int32_t checkConsumerId(const std::string& consumer) = 0;
    // The group must exist and hold hosts (0xD0014C33 when it holds none).
    virtual int32_t checkResourceGroup(const std::string& group) = 0;
    // One of the cluster's hosts (0xD0014C34 otherwise).
    virtual int32_t checkHostName(const std::string& host) = 0;
    // One of the group's hosts (0xD0014C34 otherwise).
    virtual int32_t checkHostInGroup(const std::string& host, const std::string& group) = 0;
    // Whether the user holds a role of at least `level` on the consumer.
    virtual int32_t checkRole(
        const std::string& user, const std::string& consumer, int level, std::string& out)
        = 0;

    // --- The work queue ----------------------------------------------------
    // Queues the item by its kind and sharing, taking it over either way.
    // Returns 0, or with the thread's error information set 0xD0014C0C (its
    // queue entry could not be made) or 0xD0014C0E (the queue refused it).
    virtual int32_t enqueue(std::unique_ptr<Work> work) = 0;
    // Processes a shared item whose answer is at hand on the calling thread
    // when a worker would overtake nothing by it (Task::runAtOnce); false
    // leaves it unprocessed.
    virtual bool runAtOnce(Work& work) = 0;

    // --- The repository ------------------------------------------------------
    virtual const std::string& storageDir() const = 0;
    virtual kav::KavFileCache& fileCache() = 0;
    virtual modules::ModuleListCache& moduleLists() = 0;

    // --- Deployment ------------------------------------------------------------
    // The host status table, persisted state and installers; null while the
    // service is not running.
    virtual DeploymentRuntime* deployment() = 0;

    // --- Audit log and clock -------------------------------------------------
    // Writes the catalogue message `number` formatted with params.
    virtual void audit(uint32_t number, const kav::Params& params, bool isError = false) = 0;
    // Writes a record of its own text.
    virtual void auditText(const std::string& text, bool isError) = 0;
    // Seconds since 1970.
    virtual int32_t now() = 0;

    // --- The service as a whole ------------------------------------------
    // Whether requests other than logon and getRSVersion need a logon first.
    virtual bool logonRequired() const = 0;
    // Asks the daemon to stop; false when it no longer listens for that.
    virtual bool signalShutdown() = 0;
    virtual ProductVersion productVersion() = 0;
};

} // namespace rs
