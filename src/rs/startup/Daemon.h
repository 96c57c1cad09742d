#pragma once
// Daemon: the repository service's daemon "rs". Reads its configuration,
// checks port and storage directory, starts the service and the resource
// manager client, registers the service's address, and runs the 15-second
// housekeeping loop until a client's shutdownRS signals shutdownEvent.
//
// Threads: main thread; the shutdown event is signalled from a
// communication thread.

#include "common/ServiceCounters.h"
#include "rs/http/SideDoorSettings.h"
#include "rs/startup/DaemonConfig.h"
#include "rs/startup/KavGenericDaemon.h"

#include <ace/Auto_Event.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rs {

class ResourceManagerAccess;
namespace http {
class HttpServer;
class ServiceStatus;
} // namespace http
class ServiceContext;

class Daemon : public KavGenericDaemon {
public:
    static constexpr int kWorkerThreads = 9;
    static constexpr int kHousekeepingSeconds = 15;

    Daemon();
    ~Daemon() override;

    bool parseArgs(int argc, char* argv[]) override;
    bool initApp() override;
    bool startup() override;
    void fini() override;
    void printVersion() override;
    void logBanner() override;

    const DaemonConfig& config() const { return config_; }

protected:
    // Ctrl-C and termination requests end the run loop like shutdownRS.
    void onStopSignal() override;

private:
    void checkAndSetDefault();
    void checkConfiguration();
    void checkPort();
    void checkStorageDir();
    // The cluster description and the security configuration, before anything
    // depends on them: a malformed description stops start-up with its
    // file:line reason; a password file that cannot be read is said aloud.
    void checkResourceManagerConfiguration();
    void initAuditLog();
    void initService();
    void registerServiceAddress();
    // The HTTP side door, when RS_HTTP_LISTEN asks for it: the counters are
    // handed to the parts that count before the service starts; the server
    // starts once the service serves. A side door that cannot start is said
    // aloud and the service runs without it.
    void prepareSideDoor();
    void startSideDoor();
    void stopSideDoor();
    void runLoop();
    // Logs the thread's error information, tells the operator, and throws it.
    [[noreturn]] void reportFailure(int32_t code);

    DaemonConfig config_;
    std::vector<std::string> environmentWarnings_; // said once logging is up
    std::unique_ptr<ACE_Auto_Event> shutdownEvent_;
    std::unique_ptr<ResourceManagerAccess> resourceManager_;
    std::optional<http::SideDoorSettings> sideDoorSettings_;
    std::unique_ptr<kav::ServiceCounters> counters_;
    std::unique_ptr<http::ServiceStatus> status_;
    std::unique_ptr<http::HttpServer> sideDoor_;
    // What every connection and work item uses of the service; outlives them.
    std::unique_ptr<ServiceContext> context_;
};

} // namespace rs
