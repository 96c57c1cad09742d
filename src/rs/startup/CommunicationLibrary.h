#pragma once
// The daemon's view of the communication library's process-wide start and
// stop. The four words are handed over unchanged (all absent in this program).
//
// Threads: main thread only.

#include <optional>
#include <string>

namespace rs {

struct CommunicationWords {
    int threadCount = 0;
    std::optional<std::string> driverName;
    std::optional<std::string> driverArgument;
    std::optional<std::string> driverOptions;
};

// 0 when a driver is loaded, -1 otherwise.
int startCommunicationLibrary(const CommunicationWords& words);
void stopCommunicationLibrary();

} // namespace rs
