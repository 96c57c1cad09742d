#pragma once
// CdrCursor: reads many small values off the rest of an input stream with
// the stream's rules (4-byte alignment counted the way ACE counts it, the
// stream's byte order, no read past the end) but inline. A list of a
// hundred records is some six hundred such reads; through ACE_InputCDR each
// is an out-of-line call with its own checks, which made decoding the
// larger part of a list answer's cost on the receiving side.
//
// Use: construct over a stream, read, then finish() to move the stream past
// what was read. A failed read leaves the cursor where it was; the caller
// gives up on the stream.
//
// Threads: as the stream it reads.

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace zephcomm::wire {

class CdrCursor {
public:
    explicit CdrCursor(ACE_InputCDR& in)
        : start_(in.rd_ptr())
        , at_(start_)
        , end_(start_ + in.length())
        , swap_(in.do_byte_swap())
    {
    }

    // Bytes left after the current position.
    size_t left() const { return static_cast<size_t>(end_ - at_); }

    bool readULong(uint32_t& value)
    {
        const char* from = aligned4(at_);
        if (from > end_ || end_ - from < 4)
            return false;
        uint32_t raw;
        std::memcpy(&raw, from, sizeof raw);
        value = swap_ ? __builtin_bswap32(raw) : raw;
        at_ = from + 4;
        return true;
    }

    bool readLong(int32_t& value)
    {
        uint32_t raw = 0;
        if (!readULong(raw))
            return false;
        value = static_cast<int32_t>(raw);
        return true;
    }

    // A string: uint32 length counting the terminating NUL, then the bytes.
    bool readString(std::string& value)
    {
        const char* before = at_;
        uint32_t length = 0;
        if (!readULong(length) || length == 0 || length > left()) {
            at_ = before;
            return false;
        }
        value.assign(at_, length - 1);
        at_ += length;
        return true;
    }

    // Moves `in` past everything read; false if the stream refuses.
    bool finish(ACE_InputCDR& in) const
    {
        return in.skip_bytes(static_cast<ACE_CDR::ULong>(at_ - start_)) != 0;
    }

private:
    static const char* aligned4(const char* p)
    {
        // ACE aligns by address; a payload block starts on an 8-byte boundary.
        return reinterpret_cast<const char*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t { 3 });
    }

    const char* const start_;
    const char* at_;
    const char* const end_;
    const bool swap_;
};

} // namespace zephcomm::wire
