#pragma once
// ConsumerRegistration: how ZORResManager registers a consumer with the
// cluster resource manager — on a library handle of its own, logged on with
// the client's credential — rebuilds what a restarted service held, and
// lets the registration go again.
//
// Threads: any. The table's lock is taken for the books only; a consumer's
// handle is closed under its handle mutex, so no other call uses it then.

#include "platform/zor/zor.h"
#include "rs/resmgr/ConsumerTable.h"

#include <log4cxx/logger.h>

#include <string>

namespace rs::resmgr {

class IResourceConsumer;
class LibraryCallbacks;

class ConsumerRegistration {
public:
    ConsumerRegistration(ConsumerTable& table, LibraryCallbacks& callbacks, log4cxx::LoggerPtr logger);

    // Registers consumerPath under consumerId (unique); callbacks for it go to callback.
    int32_t registerConsumer(const std::string& consumerId, IResourceConsumer* callback,
        const std::string& description, unsigned scheduleInterval, const std::string& consumerPath);
    // Unregisters, logs off and closes the consumer's handle, in this order.
    int32_t unregisterConsumer(const std::string& consumerId);

private:
    int32_t closeHandle(
        zor_handle_t* handle, const std::string& consumerId, const ConsumerTable::CallbackContext* context);

    ConsumerTable& table_;
    LibraryCallbacks& callbacks_;
    log4cxx::LoggerPtr logger_;
};

// Rebuilds the consumer's books from the allocation a registration found
// (after a restart): its live containers take allocated slots, in reply
// order, and those beyond the slots are killed; the slots left become free
// resources. REQUIRES: the consumer's handle mutex and the table's lock.
void recoverConsumer(ZORConsumer& consumer, const zor_allocreply_t& reply, const log4cxx::LoggerPtr& logger);

} // namespace rs::resmgr
