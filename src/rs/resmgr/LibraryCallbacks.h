#pragma once
// LibraryCallbacks: what ZORResManager does with the library's callbacks —
// resources added to a consumer, resources reclaimed by force or lost with
// their host, container and host state changes, connection events — each
// passed on to the owning consumer's IResourceConsumer.
//
// Threads: the library's callback thread. Each handler takes the table's lock
// for the books only and calls the consumer without it; what a handler
// throws is logged as an error line and goes no further.

#include "platform/zor/zor.h"
#include "rs/resmgr/ConsumerTable.h"

#include <log4cxx/logger.h>

#include <string>

namespace rs::resmgr {

class LibraryCallbacks {
public:
    LibraryCallbacks(ConsumerTable& table, log4cxx::LoggerPtr logger);

    // The seven callbacks of a registration, whose context is a
    // ConsumerTable::CallbackContext naming a LibraryCallbacks and a consumer.
    static const zor_callbacks_t& table();

    void addResource(const std::string& consumerId, const zor_allocation_t& added);
    void reclaimForce(const std::string& consumerId, const zor_reclaimlist_t& reclaimed);
    void containerStateChg(const std::string& consumerId, const zor_container_t& container);
    void hostStateChange(const std::string& consumerId, const std::string& host, int state);
    void connectionEvent(const std::string& consumerId, const char* what);

private:
    // Takes every resource on the host off the consumer and tells it.
    void onReclaimResource(const std::string& consumerId, const std::string& host);

    ConsumerTable& table_;
    log4cxx::LoggerPtr logger_;
};

// The value of a host's attribute in an allocation record; empty when absent.
std::string attribute(const zor_hostslots_t& host, const char* name);
// The CPU factor of a host's "cpuf" attribute; 1.0 when absent.
float cpuFactorOf(const zor_hostslots_t& host);

} // namespace rs::resmgr
