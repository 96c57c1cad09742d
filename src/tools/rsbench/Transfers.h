#pragma once
// Module transfers over one logged-on IRepository connection, timed: an
// upload in pieces that sends the caller's bytes without copying them into
// a string of their own, and repeated downloads of a rotation of modules.
//
// Threads: the caller's; the connection must not be used by another thread meanwhile.

#include "client/RsClient.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rsbench {

struct Upload {
    int32_t code = -1; // of the first failing piece, or of the last one
    std::string version; // on success
    double seconds = 0;
};

// Uploads `bytes` as module `module` in pieces of at most `pieceBytes`.
Upload uploadModule(rsclient::Client& client, const std::string& module, const std::string& fileName,
    std::string_view bytes, uint64_t pieceBytes);

struct ModuleRef {
    std::string name;
    std::string version;
};

// MiB/s of getModule calls taking `modules` in turn (after one untimed call
// of the first), for at least `duration` and two calls; nothing when a call
// fails or returns another size than `bytes`.
std::optional<double> downloadRate(rsclient::Client& client, const std::vector<ModuleRef>& modules,
    const std::string& consumer, uint64_t bytes, std::chrono::duration<double> duration);

} // namespace rsbench
