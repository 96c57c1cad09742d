#pragma once
// The handshake message of one end of a connection: a header of type
// kHandshakeTypeName followed by the raw bytes of the endpoint name (no
// length prefix, no NUL). Built once, when a channel is created, and sent as a
// two-piece gathered write when the connection opens.
//
// Immutable after construction: any thread may read it. The buffers live as
// long as the object; keep it alive until the send completes.

#include "zephcomm/wire/MessageHeader.h"

#include <string>
#include <string_view>

namespace zephcomm::wire {

class Handshake {
public:
    explicit Handshake(std::string_view endpointName);
    // The buffer table points into the object itself.
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    const void* headerBytes() const { return header_; }
    size_t headerLength() const { return kHeaderSize; }
    const void* payloadBytes() const { return name_.data(); }
    size_t payloadLength() const { return name_.size(); }

    // Convenience for the driver's gathered send: two buffers.
    static constexpr int kPieces = 2;
    const void* const* buffers() const { return buffers_; }
    const size_t* lengths() const { return lengths_; }

private:
    unsigned char header_[kHeaderSize];
    std::string name_;
    const void* buffers_[kPieces];
    size_t lengths_[kPieces];
};

} // namespace zephcomm::wire
