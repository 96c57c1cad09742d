#pragma once
// The connection handles of the embedded cluster and the consumer each one
// registers: logon and credentials, the registration's callbacks, and their
// delivery on the dispatcher thread.
//
// Threads: every member requires the cluster's lock (the mutex given at
// construction). Callbacks run on the dispatcher thread without it;
// waitForCallbacks lets a caller wait until a callback to a handle that runs
// on another thread has returned, so that the handle's owner may free the
// callback context afterwards.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/Dispatcher.h"
#include "platform/zor/zor.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

class Registrations {
public:
    struct Handle {
        uint64_t id = 0;
        zor_handle_t* self = nullptr;
        bool loggedOn = false;
        std::string credential;
        std::string containerCredential; // what containers of this consumer get
        std::string consumer; // registered consumer path; empty when none
        zor_callbacks_t callbacks {};
        void* context = nullptr;
    };
    // Runs with the handle, its callback table and the registration's context.
    using Callback = std::function<void(zor_handle_t*, const zor_callbacks_t&, void*)>;

    Registrations(std::mutex& mutex, Dispatcher& dispatcher);
    Registrations(const Registrations&) = delete;
    Registrations& operator=(const Registrations&) = delete;

    uint64_t open();
    // Forgets the handle; its registration must have ended.
    void close(uint64_t h);
    // Throws ZorError(ZORE_BADHANDLE) for a handle that is not open.
    Handle& handle(uint64_t h);
    // Throws ZorError(ZORE_NOTREGISTERED) unless the handle is a registered consumer.
    Handle& consumerHandle(uint64_t h);
    std::vector<uint64_t> ids() const;

    void logon(uint64_t h, const std::string& credential);
    void logoff(uint64_t h);
    std::string credential(uint64_t h);
    // The consumer's containers are started with the credential of the handle's current logon.
    void refreshCredential(uint64_t h, const std::string& consumer);

    // Registers the logged-on handle as the consumer of the request, a path
    // of the description; returns the normalised path.
    std::string enrol(uint64_t h, zor_handle_t* self, const zor_regreq_t& request,
        const zor_callbacks_t& callbacks, const ClusterDescription& description);
    // Ends the registration: the handle hears nothing more.
    void withdraw(uint64_t h);
    bool isRegistered(uint64_t h, const std::string& path) const;

    // Runs callback on the dispatcher thread, not before due, when the handle
    // is still registered by then.
    void post(uint64_t h, Callback callback, Dispatcher::Clock::time_point due = Dispatcher::Clock::now());
    // Waits (releasing the lock meanwhile) until no callback to the handle,
    // or with 0 to any handle, runs on another thread.
    void waitForCallbacks(std::unique_lock<std::mutex>& lock, uint64_t h);

private:
    // Takes the lock to read the handle's callbacks, calls without it.
    void deliver(uint64_t h, const Callback& callback);

    std::mutex& mutex_;
    Dispatcher& dispatcher_;
    std::condition_variable callbackDone_;
    std::map<uint64_t, std::unique_ptr<Handle>> handles_;
    uint64_t nextId_ = 1;
    uint64_t deliveringTo_ = 0; // handle whose callback runs now, 0 when none
};

} // namespace zor
