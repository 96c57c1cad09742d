#pragma once
// Test harness: a blocking client of the daemon's wire protocol over a plain
// socket. It performs the handshake naming an interface, sends calls built
// with the generated call classes, and reads answers back into them; it can
// also send raw bytes, for the robustness tests.
//
// Threads: one test thread per client.

#include "zephcomm/proxy/Call.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace rs::e2e {

class WireClient {
public:
    WireClient() = default;
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    // Opens the TCP connection only. Returns false when it cannot.
    bool open(int port);
    // Reads the service's handshake and answers with interfaceName.
    // Returns the service's endpoint name; nothing on failure.
    std::optional<std::string> handshake(const std::string& interfaceName);
    bool connect(int port, const std::string& interfaceName) { return open(port) && handshake(interfaceName); }

    // Sends a call of interfaceName (type name "<interface>::<method>").
    bool send(const std::string& interfaceName, const zephcomm::Call& call);
    bool sendRaw(const std::string& bytes);

    // Reads the next message and unmarshals it into `into` when its type is
    // "<interface>::<method of into>". False on time-out, close or another type.
    bool receive(const std::string& interfaceName, zephcomm::Call& into,
                 std::chrono::milliseconds limit = std::chrono::seconds(30));
    // True when the service closed the connection within the limit.
    bool closedByPeer(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void close();

private:
    bool readExactly(void* buffer, size_t length, std::chrono::milliseconds limit);
    bool writeAll(const void* buffer, size_t length);

    int fd_ = -1;
};

} // namespace rs::e2e
