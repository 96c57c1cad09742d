#pragma once
// The listening side of the service as the service object sees it: opened
// once by startUp, closed once by shutdown. The communication library's
// acceptor and connection manager stand behind it in the daemon.
//
// Threads: open() and close() run on the main thread.

#include <functional>
#include <memory>
#include <string>

namespace rs {

class ConnectionListener {
public:
    virtual ~ConnectionListener() = default;
    // Starts accepting; 0 or a negative error (the port cannot be used).
    virtual int open() = 0;
    // Stops accepting; connections already accepted end with their clients.
    virtual void close() = 0;
};

struct ListenerSettings {
    std::string portText;
    std::string hostName;
};

// Creates the listener; throws KavException when it cannot be created.
using ListenerFactory = std::function<std::unique_ptr<ConnectionListener>(const ListenerSettings&)>;

} // namespace rs
