#pragma once
// ConsumerTable: the books that the parts of ZORResManager share — the
// registered consumers by identifier, the callback context of each
// registration, the last state the library reported for each container, and
// the client's name and credential.
//
// Threads: one mutex (mutex()) guards all of it and every ZORConsumer's
// books. Members named ...Locked require it; the others take it themselves.
// It is never held while a library call that may wait runs, nor while an
// IResourceConsumer is called. A consumer's handle is used only through
// withHandle, under the consumer's handle mutex, which is taken before the
// table's.

#include "rs/resmgr/ZORConsumer.h"

#include <log4cxx/logger.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rs::resmgr {

class LibraryCallbacks;

class ConsumerTable {
public:
    using ConsumerPtr = std::shared_ptr<ZORConsumer>;
    // What a library callback finds its consumer by; alive while the
    // registration's handle may call back.
    struct CallbackContext {
        LibraryCallbacks* callbacks;
        std::string consumerId;
    };

    explicit ConsumerTable(log4cxx::LoggerPtr logger);
    ConsumerTable(const ConsumerTable&) = delete;
    ConsumerTable& operator=(const ConsumerTable&) = delete;

    std::mutex& mutex() const { return mutex_; }

    // Enters the consumer and a context for its callbacks; null when the
    // identifier is taken.
    CallbackContext* add(ConsumerPtr consumer, LibraryCallbacks* callbacks);
    struct Removed {
        ConsumerPtr consumer; // null when it was not registered
        const CallbackContext* context; // to forget once its handle is closed
    };
    // Takes the consumer out.
    Removed remove(const std::string& consumerId);
    // Once no callback can come with it any more.
    void forgetContext(const CallbackContext* context);

    ConsumerPtr find(const std::string& consumerId) const;
    ZORConsumer* findLocked(const std::string& consumerId) const;
    std::vector<ConsumerPtr> all() const;

    // Runs call under the consumer's handle mutex; fails (0x890080F2) when
    // the consumer is gone or its handle closed.
    int32_t withHandle(const std::string& consumerId, const std::function<int32_t(ZORConsumer&)>& call) const;
    // Logs and sets the error information of an unknown consumer.
    int32_t notRegistered(const std::string& consumerId) const;

    void recordContainerStateLocked(const std::string& containerId, int state);
    std::optional<int> containerStateLocked(const std::string& containerId) const;

    std::string clientName() const;
    void setClientName(std::string name);
    std::string credential() const;
    void setCredential(std::string credential);

private:
    log4cxx::LoggerPtr logger_;
    mutable std::mutex mutex_;
    std::map<std::string, ConsumerPtr> consumers_;
    std::vector<std::unique_ptr<CallbackContext>> contexts_;
    std::map<std::string, int> containerStates_;
    std::string clientName_;
    std::string credential_;
};

} // namespace rs::resmgr
