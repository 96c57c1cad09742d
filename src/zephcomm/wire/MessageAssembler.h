#pragma once
// Reassembles messages (header, then payload) from the exact-count receives
// of a driver channel.
//
// Use: reset(); ask the driver for wanted() bytes into buffer(); on each
// receive of n bytes call feed(n):
//   NeedMore  ask the driver for wanted() more bytes into buffer()
//   Complete  takePayload() gives the message; then ask for the next header
//             (wanted()/buffer() are already set for it)
//   Discarded a short count: the partial message was dropped and the
//             assembler reset; ask for a header again
//   Failed    a bad header (version not 0, size 0, size over the limit): the
//             error record is set on the calling thread (kav::setError), the
//             assembler holds no buffer; close the connection
//
// Not thread-safe: one per channel, used under the channel's receive lock.

#include "zephcomm/wire/MessageHeader.h"

#include <cstddef>
#include <cstdint>

class ACE_Message_Block;

namespace zephcomm::wire {

class MessageAssembler {
public:
    enum class Status { NeedMore, Complete, Discarded, Failed };

    // `maxPayload` 0 means maxMessageSize().
    explicit MessageAssembler(uint64_t maxPayload = 0);
    ~MessageAssembler();
    MessageAssembler(const MessageAssembler&) = delete;
    MessageAssembler& operator=(const MessageAssembler&) = delete;

    // Drops any buffer and prepares to receive a header.
    void reset();
    // Where the next receive must land, and its exact length; null / 0 after
    // a failure.
    char* buffer() const;
    size_t wanted() const { return wanted_; }

    Status feed(size_t received);

    // After Complete: the payload (one block, rd_ptr CDR-aligned, exactly the
    // announced size) and its type identifier. The caller releases the
    // block. The assembler is reset for the next header.
    ACE_Message_Block* takePayload(uint32_t& typeId);

    // Result code of the last Failed: ZEPHCOMM_PROTOCOL_SIZE or
    // ZEPHCOMM_PROTOCOL_VERSION.
    int32_t lastError() const { return lastError_; }

private:
    Status acceptHeader();
    Status fail(int32_t code, const char* detail);
    void drop();

    uint64_t maxPayload_;
    // Headers land here: no allocation per message for the header.
    alignas(8) unsigned char header_[kHeaderBufferSize];
    ACE_Message_Block* block_ = nullptr; // the payload being received
    size_t wanted_ = 0;
    uint32_t version_ = 0;
    uint32_t size_ = 0;
    uint32_t typeId_ = 0;
    bool haveHeader_ = false;
    bool broken_ = false;
    int32_t lastError_ = 0;
};

} // namespace zephcomm::wire
