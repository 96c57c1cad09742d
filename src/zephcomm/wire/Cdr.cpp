#include "zephcomm/wire/Cdr.h"

#include <ace/Message_Block.h>

#include <cstdint>
#include <limits>

namespace zephcomm::wire {

std::unique_ptr<ACE_OutputCDR> makeOutput(size_t initialSize)
{
    return std::make_unique<ACE_OutputCDR>(initialSize, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, nullptr, nullptr,
        nullptr, kCdrCopyThreshold, kGiopMajor, kGiopMinor);
}

bool beginPayload(ACE_OutputCDR& out)
{
    return out.write_boolean(true);
}

bool writeString(ACE_OutputCDR& out, std::string_view value)
{
    if (value.size() >= std::numeric_limits<ACE_CDR::ULong>::max())
        return false;
    // Length counts the terminating NUL; the string may hold no NUL itself on
    // the reader's side, so the bytes are written as they are.
    const auto length = static_cast<ACE_CDR::ULong>(value.size() + 1);
    return out.write_ulong(length)
        && out.write_char_array(value.data(), static_cast<ACE_CDR::ULong>(value.size()))
        && out.write_char('\0');
}

bool writeBlock(ACE_OutputCDR& out, const void* data, size_t length)
{
    if (length > std::numeric_limits<ACE_CDR::ULong>::max())
        return false;
    const auto count = static_cast<ACE_CDR::ULong>(length);
    return out.write_ulong(count)
        && (count == 0 || out.write_octet_array(static_cast<const ACE_CDR::Octet*>(data), count));
}

bool writeBlockByReference(ACE_OutputCDR& out, const ACE_Message_Block* block)
{
    const size_t length = block ? block->total_length() : 0;
    if (length > std::numeric_limits<ACE_CDR::ULong>::max())
        return false;
    if (!out.write_ulong(static_cast<ACE_CDR::ULong>(length)))
        return false;
    // ACE duplicates blocks at or above the threshold into the chain instead
    // of copying their bytes; smaller ones are copied.
    return length == 0 || out.write_octet_array_mb(block);
}

namespace {
// A lone, CDR-aligned block (what the message assembler delivers) is read
// in place by sharing its data block; null for anything else.
std::unique_ptr<ACE_InputCDR> openInPlace(const ACE_Message_Block* payload)
{
    const bool aligned = reinterpret_cast<uintptr_t>(payload->rd_ptr()) % ACE_CDR::MAX_ALIGNMENT == 0;
    ACE_Data_Block* data = payload->data_block();
    if (payload->cont() != nullptr || !aligned || data == nullptr)
        return nullptr;
    const size_t readAt = static_cast<size_t>(payload->rd_ptr() - data->base());
    const size_t writeAt = static_cast<size_t>(payload->wr_ptr() - data->base());
    // The stream releases the duplicated reference when it goes.
    return std::make_unique<ACE_InputCDR>(
        data->duplicate(), 0, readAt, writeAt, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, kGiopMajor, kGiopMinor);
}
} // namespace

std::unique_ptr<ACE_InputCDR> makeInput(const ACE_Message_Block* payload)
{
    if (!payload || payload->total_length() == 0)
        return nullptr;
    std::unique_ptr<ACE_InputCDR> in = openInPlace(payload);
    if (!in) {
        // A chain or an unaligned block: one aligned copy, then read that.
        ACE_Message_Block aligned(payload->total_length() + ACE_CDR::MAX_ALIGNMENT);
        ACE_CDR::mb_align(&aligned);
        for (const ACE_Message_Block* piece = payload; piece != nullptr; piece = piece->cont())
            aligned.copy(piece->rd_ptr(), piece->length());
        in = openInPlace(&aligned);
    }
    ACE_CDR::Boolean littleEndian = false;
    if (!in->read_boolean(littleEndian))
        return nullptr;
    in->reset_byte_order(littleEndian ? ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN : ACE_CDR::BYTE_ORDER_BIG_ENDIAN);
    return in;
}

bool readString(ACE_InputCDR& in, std::string& value)
{
    ACE_CDR::ULong length = 0;
    if (!in.read_ulong(length))
        return false;
    // A length beyond what is left cannot be a string of this payload; check
    // before allocating anything.
    if (length == 0 || length > in.length())
        return false;
    value.resize(length - 1);
    ACE_CDR::Char terminator = 0;
    return in.read_char_array(value.data(), length - 1) && in.read_char(terminator);
}

namespace {
bool readBlockLength(ACE_InputCDR& in, ACE_CDR::ULong& length)
{
    return in.read_ulong(length) && length <= in.length();
}

// A block of the stream's own buffer, by reference, when the block is big
// enough to be worth it and makes up most of that buffer (so a small block
// does not keep a large payload alive); null when it must be copied.
ACE_Message_Block* referenceBlock(ACE_InputCDR& in, ACE_CDR::ULong length)
{
    const ACE_Message_Block* start = in.start();
    ACE_Data_Block* data = start ? start->data_block() : nullptr;
    if (data == nullptr || length < kMinReferencedBlock || length < data->size() / 2
        || (start->flags() & ACE_Message_Block::DONT_DELETE) != 0)
        return nullptr;
    auto* shared = new ACE_Message_Block(data->duplicate());
    shared->rd_ptr(const_cast<char*>(in.rd_ptr()));
    shared->wr_ptr(shared->rd_ptr() + length);
    if (!in.skip_bytes(length)) {
        shared->release();
        return nullptr;
    }
    return shared;
}

ACE_Message_Block* copyBlock(ACE_InputCDR& in, ACE_CDR::ULong length)
{
    auto* fresh = new ACE_Message_Block(length);
    if (!in.read_octet_array(reinterpret_cast<ACE_CDR::Octet*>(fresh->wr_ptr()), length)) {
        fresh->release();
        return nullptr;
    }
    fresh->wr_ptr(length);
    return fresh;
}
} // namespace

bool readBlock(ACE_InputCDR& in, ACE_Message_Block*& block)
{
    block = nullptr;
    ACE_CDR::ULong length = 0;
    if (!readBlockLength(in, length))
        return false;
    if (length == 0)
        return true;
    block = referenceBlock(in, length);
    if (block == nullptr)
        block = copyBlock(in, length);
    return block != nullptr;
}

bool readBlock(ACE_InputCDR& in, std::string& bytes)
{
    ACE_CDR::ULong length = 0;
    if (!readBlockLength(in, length))
        return false;
    bytes.resize(length);
    return length == 0 || in.read_octet_array(reinterpret_cast<ACE_CDR::Octet*>(bytes.data()), length);
}

} // namespace zephcomm::wire
