#pragma once
// What the end-to-end tests share beside the daemon harness of
// src/tools/harness (whose names they use as their own): logged-on client
// connections, uploads in pieces, and a raw wire client for the bytes no
// well-behaved client sends.

#include "client/RsClient.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "tools/harness/DaemonProcess.h"
#include "tools/harness/PatternBytes.h"
#include "zephcomm/proxy/Call.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace rs::e2e {

using namespace rs::harness;

inline constexpr const char* kRepository = "IRepository";
inline constexpr const char* kDeployment = "IAppDeployment";
inline constexpr std::chrono::seconds kAnswerWait { 60 };
inline const std::string kAdminCredential = std::string(kAdminUser) + ":" + kAdminPassword;

// A connection to either interface (null when it cannot connect), and a
// logon on it (the answer's code).
std::unique_ptr<rsclient::Client> connectTo(int port, const std::string& interfaceName);
int32_t logonOn(rsclient::Client& client, const std::string& credential, const std::string& consumer);
// A connection logged on as the admin; null when that fails.
std::unique_ptr<rsclient::Client> loggedOn(
    int port, const std::string& interfaceName, const std::string& consumer = kKnownConsumer);

struct Added {
    int32_t code = -1;
    std::string version;
};
// addModule with the whole contents in pieces of at most pieceSize bytes;
// the last answer or the first failing one.
Added upload(rsclient::Client& repository, const std::string& module, const std::string& fileName,
    const std::string& bytes, size_t pieceSize);

// The module's record in the connection's list; nothing when it is not listed.
std::optional<RepositoryAppEntry> listed(rsclient::Client& repository, const std::string& module);
struct Fetched {
    int32_t code = -1;
    std::string contents;
};
Fetched fetch(rsclient::Client& repository, const std::string& module, const std::string& version,
    const std::string& consumer = kKnownConsumer);

// A blocking client of the wire protocol over a plain socket.
class WireClient {
public:
    WireClient() = default;
    ~WireClient() { close(); }
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool open(int port);
    // Reads the service's handshake and answers naming interfaceName.
    bool handshake(const std::string& interfaceName);
    bool connect(int port, const std::string& interfaceName)
    {
        return open(port) && handshake(interfaceName);
    }
    // A call of interfaceName, framed as the generated proxies frame it.
    bool send(const std::string& interfaceName, const zephcomm::Call& call);
    bool sendRaw(const std::string& bytes);
    // The next message into `into`; false on time-out, close or another type.
    bool receive(const std::string& interfaceName, zephcomm::Call& into,
        std::chrono::milliseconds limit = std::chrono::seconds(30));
    // True when the service closed the connection within the limit.
    bool closedByPeer(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void close();

private:
    bool readExactly(void* buffer, size_t length, std::chrono::milliseconds limit);

    int fd_ = -1;
};

// The header and payload bytes of a message.
std::string messageOf(const std::string& typeName, const std::string& payload);
std::string payloadOf(const zephcomm::Call& call);

// A logon over the raw wire: the answer's code, or nothing when none came.
std::optional<int32_t> wireLogon(WireClient& client, const std::string& interfaceName,
    const std::string& credential, const std::string& consumer = kKnownConsumer);
// The version request over the raw wire; true when answered.
bool wireVersion(WireClient& client, const std::string& interfaceName);
// A new connection logs on and reads the version: the daemon still serves.
bool serves(int port, const std::string& interfaceName = kRepository);

} // namespace rs::e2e
