// Fuzz target: the receive side of a connection. The input is the byte
// stream a peer sends; it is handed to the assembler in the exact-count
// pieces the driver delivers, the last piece short when the stream ends
// early. A failed header starts a new connection with the rest of the input.

#include "FuzzSupport.h"

#include "common/KavErrorInfo.h"
#include "zephcomm/wire/MessageAssembler.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/CDR_Base.h>
#include <ace/Message_Block.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

using zephcomm::wire::HeaderFields;
using zephcomm::wire::MessageAssembler;

// Small enough that hostile sizes cost nothing, large enough for real calls.
constexpr uint64_t kLimit = 1 << 20;

void checkHeaderRoundTrip(const unsigned char* bytes)
{
    const HeaderFields fields = zephcomm::wire::decodeHeader(bytes);
    unsigned char encoded[zephcomm::wire::kHeaderSize];
    zephcomm::wire::encodeHeader(fields.payloadSize, fields.typeId, encoded);
    const HeaderFields again = zephcomm::wire::decodeHeader(encoded);
    fuzz::check(again.payloadSize == fields.payloadSize && again.typeId == fields.typeId
            && again.version == zephcomm::wire::kProtocolVersion,
        "a decoded header does not survive encoding");
}

void checkPayload(MessageAssembler& assembler, uint32_t announced)
{
    uint32_t typeId = 0;
    ACE_Message_Block* payload = assembler.takePayload(typeId);
    fuzz::check(payload != nullptr, "Complete without a payload");
    fuzz::check(payload->length() == announced, "payload length differs from the header");
    fuzz::check(reinterpret_cast<uintptr_t>(payload->rd_ptr()) % ACE_CDR::MAX_ALIGNMENT == 0,
        "payload not aligned for CDR");
    payload->release();
    fuzz::check(assembler.wanted() == zephcomm::wire::kHeaderSize, "not ready for the next header");
}

void checkFailure(MessageAssembler& assembler)
{
    fuzz::check(
        assembler.buffer() == nullptr && assembler.wanted() == 0, "a failed assembler still receives");
    fuzz::check(assembler.feed(1) == MessageAssembler::Status::Failed, "a failed assembler recovered alone");
    auto info = kav::takeErrorInfo();
    fuzz::check(info && info->getCode() == assembler.lastError(), "failure without its error record");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= zephcomm::wire::kHeaderSize)
        checkHeaderRoundTrip(data);

    MessageAssembler assembler(kLimit);
    uint32_t announced = 0;
    bool expectingHeader = true; // payloads of 16 bytes look like headers by their length
    size_t at = 0;
    while (at < size) {
        const size_t wanted = assembler.wanted();
        const size_t piece = std::min(wanted, size - at);
        std::memcpy(assembler.buffer(), data + at, piece);
        const bool header = expectingHeader && piece == wanted;
        if (header)
            announced = zephcomm::wire::decodeHeader(data + at).payloadSize;
        at += piece;
        switch (assembler.feed(piece)) {
        case MessageAssembler::Status::NeedMore:
            fuzz::check(header && assembler.wanted() == announced, "asks for other than the payload");
            expectingHeader = false;
            break;
        case MessageAssembler::Status::Complete:
            fuzz::check(!expectingHeader, "completed without a header");
            checkPayload(assembler, announced);
            expectingHeader = true;
            break;
        case MessageAssembler::Status::Discarded:
            fuzz::check(piece < wanted, "discarded a full piece");
            fuzz::check(assembler.wanted() == zephcomm::wire::kHeaderSize, "discard left a partial state");
            expectingHeader = true;
            break;
        case MessageAssembler::Status::Failed:
            fuzz::check(header, "failed on a payload");
            checkFailure(assembler);
            assembler.reset();
            expectingHeader = true;
            break;
        }
    }
    return 0;
}
