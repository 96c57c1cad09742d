#pragma once
// Small rules of the service object kept apart so that they read (and are
// tested) on their own: the logon requirement's setting and the list of
// resource-manager consumers still to be released.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rs {

// Reads the RS_REQUIRE_LOGON setting: "off", "0", "false" and "no" (any
// case) turn the requirement off; anything else, and no value, leave it on.
bool requireLogonSetting(const char* value);

// Consumers registered for deployments that must be released with the
// resource manager; a failed release is retried on the next round.
//
// Threads: any; the list is guarded by its own recursive mutex, so a release
// callback may add names again.
class ConsumerCleanupList {
public:
    // Releases one consumer; returns a result code (negative: failure).
    using Release = std::function<int32_t(const std::string& consumer)>;

    // Appends the name unless it is listed already.
    void add(const std::string& consumer);
    // Tries every listed consumer once; drops those released or already gone.
    void cleanup(const Release& release);
    std::vector<std::string> pending() const;

private:
    mutable std::recursive_mutex mutex_;
    std::vector<std::string> consumers_;
};

} // namespace rs
