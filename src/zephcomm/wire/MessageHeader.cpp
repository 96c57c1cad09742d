#include "zephcomm/wire/MessageHeader.h"

#include "zephcomm/wire/Cdr.h"

#include <ace/ACE.h>
#include <ace/Message_Block.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zephcomm::wire {

uint64_t maxMessageSizeFrom(const char* text)
{
    if (!text || !*text)
        return kDefaultMaxMessageSize;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10); // too many digits: ULLONG_MAX
    if (*end != '\0' || value == 0 || text[0] == '-')
        return kDefaultMaxMessageSize;
    return std::min<uint64_t>(value, kLargestPayloadSize);
}

uint64_t maxMessageSize()
{
    static const uint64_t limit = maxMessageSizeFrom(std::getenv(kMaxMessageSizeVariable));
    return limit;
}

uint32_t typeIdentifier(std::string_view typeName)
{
    // hash_pjw over the characters only: the name needs no terminating NUL.
    return ACE::hash_pjw(typeName.data(), typeName.size());
}

void encodeHeader(uint32_t payloadSize, uint32_t typeId, unsigned char out[kHeaderSize])
{
    const uint32_t fields[4] = { 1, kProtocolVersion, payloadSize, typeId };
    for (size_t field = 0; field < 4; ++field) {
        for (size_t byte = 0; byte < 4; ++byte)
            out[field * 4 + byte] = static_cast<unsigned char>(fields[field] >> (8 * byte));
    }
}

HeaderFields decodeHeader(const unsigned char bytes[kHeaderSize])
{
    // Only byte 0 of the mark counts: it is the byte-order flag of the rest.
    const bool littleEndian = bytes[0] != 0;
    auto field = [&](size_t offset) {
        uint32_t value = 0;
        for (size_t byte = 0; byte < 4; ++byte) {
            const size_t shift = littleEndian ? 8 * byte : 8 * (3 - byte);
            value |= static_cast<uint32_t>(bytes[offset + byte]) << shift;
        }
        return value;
    };
    return HeaderFields { field(4), field(8), field(12) };
}

ACE_Message_Block* buildMessage(std::string_view typeName, ACE_Message_Block* payload)
{
    auto* header = new ACE_Message_Block(kHeaderBufferSize);
    ACE_CDR::mb_align(header);
    encodeHeader(static_cast<uint32_t>(payload->total_length()), typeIdentifier(typeName),
        reinterpret_cast<unsigned char*>(header->wr_ptr()));
    header->wr_ptr(kHeaderSize);
    header->cont(payload);
    return header;
}

} // namespace zephcomm::wire
