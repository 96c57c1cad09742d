#pragma once
// The fixed 16-byte header in front of every message on a connection.
//
// Layout (4-byte CDR alignment counted from the first header byte):
//   0  byte-order mark   int32 1 in the sender's byte order; the receiver
//                        reads byte 0 as the byte-order flag (non-zero:
//                        little-endian) and skips bytes 1-3 as padding
//   4  protocol version  uint32, always 0
//   8  payload size      uint32, never 0
//   12 type identifier   uint32, ACE::hash_pjw of the type name
//
// Free functions, no state: callable from any thread.

#include <cstddef>
#include <cstdint>
#include <string_view>

class ACE_Message_Block;

namespace zephcomm::wire {

constexpr size_t kHeaderSize = 16;
// Header buffers are allocated with room to align their start for CDR.
constexpr size_t kHeaderBufferSize = 24;
constexpr uint32_t kProtocolVersion = 0;
constexpr const char* kHandshakeTypeName = "$$__PROTOCOL_HANDSHAKE__$$";

// The largest payload of one message, the same on every side of a
// connection: payloads announced above it are refused before anything is
// allocated, and the service refuses to store a file whose answer would
// not fit (and tells the client the limit and how to raise it).
constexpr uint64_t kDefaultMaxMessageSize = 1ull << 30;
constexpr const char* kMaxMessageSizeVariable = "ZEPHCOMM_MAX_MESSAGE_SIZE";
// What the header's size field can hold.
constexpr uint64_t kLargestPayloadSize = 0xFFFFFFFFu;
// The limit in force: ZEPHCOMM_MAX_MESSAGE_SIZE when it holds a positive
// integer (at most kLargestPayloadSize), else kDefaultMaxMessageSize. Read
// once per process.
uint64_t maxMessageSize();
// The limit a value of that variable gives (null: not set).
uint64_t maxMessageSizeFrom(const char* text);
// The payload size of a message that carries a byte block of `blockBytes`,
// when the same message with an empty block has `emptyPayload` bytes: the
// block's bytes and at most 3 bytes of alignment behind them.
constexpr uint64_t payloadWithBlock(uint64_t emptyPayload, uint64_t blockBytes)
{
    return emptyPayload + blockBytes + 3;
}

// The 32-bit identifier that travels instead of the type name.
uint32_t typeIdentifier(std::string_view typeName);

struct HeaderFields {
    uint32_t version = 0;
    uint32_t payloadSize = 0;
    uint32_t typeId = 0;
};

// Writes the 16 header bytes (little-endian) into `out`.
void encodeHeader(uint32_t payloadSize, uint32_t typeId, unsigned char out[kHeaderSize]);

// Decodes 16 header bytes of either byte order. Never fails: every 16-byte
// sequence is a header; the caller judges version and size.
HeaderFields decodeHeader(const unsigned char bytes[kHeaderSize]);

// Builds the header for `typeName` and the payload chain `payload` into a
// fresh CDR-aligned block and chains `payload` behind it (the header block
// takes over the caller's reference to `payload`). The size field is the
// total length of the chain. The caller releases the returned chain.
// REQUIRES: payload is non-null and non-empty.
ACE_Message_Block* buildMessage(std::string_view typeName, ACE_Message_Block* payload);

} // namespace zephcomm::wire
