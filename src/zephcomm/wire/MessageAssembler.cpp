#include "zephcomm/wire/MessageAssembler.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "zephcomm/wire/LargeBuffers.h"

#include <ace/CDR_Base.h>
#include <ace/Message_Block.h>

#include <new>
#include <string>

namespace zephcomm::wire {

namespace {
// Room to move the payload's first byte to an 8-byte boundary for CDR.
constexpr size_t kAlignmentSlack = 8;
ACE_Message_Block* allocatePayload(size_t size)
{
    // Large payloads come from the recycled, huge-page backed buffers.
    ACE_Allocator* data = size >= LargeBuffers::kMinSize ? &LargeBuffers::allocator() : nullptr;
    try {
        return new ACE_Message_Block(size, ACE_Message_Block::MB_DATA, nullptr, nullptr, data);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
} // namespace

MessageAssembler::MessageAssembler(uint64_t maxPayload)
    : maxPayload_(maxPayload ? maxPayload : maxMessageSize())
{
    reset();
}

MessageAssembler::~MessageAssembler()
{
    drop();
}

void MessageAssembler::drop()
{
    if (block_)
        block_->release();
    block_ = nullptr;
}

void MessageAssembler::reset()
{
    drop();
    version_ = size_ = typeId_ = 0;
    haveHeader_ = false;
    broken_ = false;
    wanted_ = kHeaderSize;
}

char* MessageAssembler::buffer() const
{
    if (broken_)
        return nullptr;
    if (haveHeader_)
        return block_->wr_ptr();
    return reinterpret_cast<char*>(const_cast<unsigned char*>(header_));
}

MessageAssembler::Status MessageAssembler::feed(size_t received)
{
    if (broken_)
        return Status::Failed;
    if (received != wanted_) {
        // The driver delivers exact counts; anything else means the partial
        // message cannot be trusted.
        reset();
        return Status::Discarded;
    }
    if (!haveHeader_)
        return acceptHeader();
    block_->wr_ptr(received);
    wanted_ = 0;
    return Status::Complete;
}

MessageAssembler::Status MessageAssembler::acceptHeader()
{
    const HeaderFields fields = decodeHeader(header_);
    if (fields.payloadSize == 0)
        return fail(kav::rc::ZEPHCOMM_PROTOCOL_SIZE, "ZEPHCOMM_PROTOCOL_SIZE");
    if (fields.version != kProtocolVersion)
        return fail(kav::rc::ZEPHCOMM_PROTOCOL_VERSION, "ZEPHCOMM_PROTOCOL_VERSION");
    if (fields.payloadSize > maxPayload_)
        return fail(kav::rc::ZEPHCOMM_PROTOCOL_SIZE, "ZEPHCOMM_PROTOCOL_SIZE");
    block_ = allocatePayload(fields.payloadSize + kAlignmentSlack);
    if (!block_ || !block_->base())
        return fail(kav::rc::ZEPHCOMM_PROTOCOL_SIZE, "ZEPHCOMM_PROTOCOL_SIZE");
    ACE_CDR::mb_align(block_);
    version_ = fields.version;
    size_ = fields.payloadSize;
    typeId_ = fields.typeId;
    haveHeader_ = true;
    wanted_ = size_;
    return Status::NeedMore;
}

MessageAssembler::Status MessageAssembler::fail(int32_t code, const char* name)
{
    const HeaderFields fields = decodeHeader(header_);
    reset();
    broken_ = true;
    wanted_ = 0;
    lastError_ = code;
    kav::setError(code,
        std::string(name) + ": bad message header (version " + std::to_string(fields.version) + ", size "
            + std::to_string(fields.payloadSize) + ")",
        KAV_LOCATION);
    // The code's name is the record's key.
    auto info = kav::takeErrorInfo();
    info->setContext(name);
    kav::setErrorInfo(std::move(info));
    return Status::Failed;
}

ACE_Message_Block* MessageAssembler::takePayload(uint32_t& typeId)
{
    if (!haveHeader_ || wanted_ != 0)
        return nullptr;
    ACE_Message_Block* payload = block_;
    typeId = typeId_;
    block_ = nullptr;
    reset();
    return payload;
}

} // namespace zephcomm::wire
