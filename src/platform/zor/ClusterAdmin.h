#pragma once
// What an administrator of the embedded cluster does that no client call can:
// have the description read anew, and let the registrations of a consumer
// path go as if their process had died. It is built into the library
// zor_admin, which the tests link and no program of the service does.
//
// Threads: any; each call takes the cluster's lock.

#include <string>

namespace zor {

class ClusterAdmin {
public:
    // Closes every handle (killing the containers of their allocations),
    // drops every allocation, and has the description read again at the next
    // call. Handles opened before fail with ZORE_BADHANDLE afterwards.
    static void reload();
    // The handles registered as the consumer path lose their registration
    // and hear nothing more; their allocations and containers stay, for the
    // next handle that registers the path.
    static void abandonConsumer(const std::string& path);
};

} // namespace zor
