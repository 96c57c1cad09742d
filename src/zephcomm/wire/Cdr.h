#pragma once
// How the system drives ACE's CDR streams for call payloads: little-endian,
// GIOP 1.2, alignment counted from the first payload byte, copy-versus-
// reference threshold 256 bytes, and a leading byte-order flag.
//
// Free functions over caller-owned streams: thread-safe as far as the streams
// are not shared.

#include <ace/CDR_Stream.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zephcomm::wire {

constexpr size_t kCdrCopyThreshold = 256;
constexpr ACE_CDR::Octet kGiopMajor = 1;
constexpr ACE_CDR::Octet kGiopMinor = 2;
// Received byte blocks from this size on are shared, not copied.
constexpr size_t kMinReferencedBlock = 16 * 1024;

// A fresh little-endian output stream with the settings above. Nothing is
// written yet; call beginPayload() first for a call payload.
std::unique_ptr<ACE_OutputCDR> makeOutput(size_t initialSize = 0);
// Writes the payload's byte-order flag (1, little-endian).
bool beginPayload(ACE_OutputCDR& out);

// Value forms shared by every record.
bool writeString(ACE_OutputCDR& out, std::string_view value);
// Byte block: uint32 length then the bytes, copied.
bool writeBlock(ACE_OutputCDR& out, const void* data, size_t length);
// Byte block whose bytes are chained by reference (no copy) when the block
// is at least kCdrCopyThreshold long; the stream takes its own reference
// (ACE duplicate) of `block`, the caller keeps its own. `block` may be a chain;
// null writes length 0. A block that does not own its bytes (DONT_DELETE)
// is copied, so large cached data must live in an owning data block.
bool writeBlockByReference(ACE_OutputCDR& out, const ACE_Message_Block* block);

// An input stream over a received payload (GIOP 1.2) that has already read
// the payload's byte-order flag and switched to it. The stream takes its own
// reference to `payload`'s data; the caller keeps its own. A single
// CDR-aligned block is read in place; a chain is first copied into one
// buffer. Returns null when the
// flag cannot be read (empty payload).
std::unique_ptr<ACE_InputCDR> makeInput(const ACE_Message_Block* payload);

bool readString(ACE_InputCDR& in, std::string& value);
// Reads a byte block (null for length 0); false, with `block` null, on a
// short or bad stream. The caller releases the block, whose rd_ptr..wr_ptr
// are exactly the block's bytes. A block of at least kMinReferencedBlock
// bytes that fills most of the stream's buffer shares that buffer (no copy);
// others are copied into a fresh buffer of their own. A shared buffer's
// reference count is not locked: release the stream and the payload on the
// receiving thread before handing the block to another thread.
bool readBlock(ACE_InputCDR& in, ACE_Message_Block*& block);
// As above into a string (used for small blocks such as error details).
bool readBlock(ACE_InputCDR& in, std::string& bytes);

} // namespace zephcomm::wire
