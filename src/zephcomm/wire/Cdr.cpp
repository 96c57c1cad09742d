#include "zephcomm/wire/Cdr.h"

#include <ace/Message_Block.h>

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

std::unique_ptr<ACE_InputCDR> makeInput(const ACE_Message_Block* payload)
{
    if (!payload || payload->total_length() == 0)
        return nullptr;
    auto in
        = std::make_unique<ACE_InputCDR>(payload, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, kGiopMajor, kGiopMinor);
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
} // namespace

bool readBlock(ACE_InputCDR& in, ACE_Message_Block*& block)
{
    block = nullptr;
    ACE_CDR::ULong length = 0;
    if (!readBlockLength(in, length))
        return false;
    if (length == 0)
        return true;
    auto* fresh = new ACE_Message_Block(length);
    if (!in.read_octet_array(reinterpret_cast<ACE_CDR::Octet*>(fresh->wr_ptr()), length)) {
        fresh->release();
        return false;
    }
    fresh->wr_ptr(length);
    block = fresh;
    return true;
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
