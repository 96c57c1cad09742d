// Received payloads are read in place and large byte blocks are handed on by
// reference into the received buffer; everything else still decodes the
// same way (chains, unaligned blocks, small blocks, short payloads). Large
// payloads land in recycled buffers.

#include "zephcomm/wire/Cdr.h"
#include "zephcomm/wire/LargeBuffers.h"
#include "zephcomm/wire/MessageAssembler.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace zephcomm::wire;

namespace {

std::string patternOf(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    return bytes;
}

std::string flatten(const ACE_Message_Block* block)
{
    std::string bytes;
    for (; block != nullptr; block = block->cont())
        bytes.append(block->rd_ptr(), block->length());
    return bytes;
}

// A payload written the way a sender does: flag, a string, a byte block, a
// trailing integer.
std::string encodedPayload(const std::string& blockBytes, uint32_t trailer = 77)
{
    auto out = makeOutput();
    EXPECT_TRUE(beginPayload(*out) && writeString(*out, "module")
        && writeBlock(*out, blockBytes.data(), blockBytes.size()) && out->write_ulong(trailer));
    return flatten(out->begin());
}

// Delivers `payload` through a message assembler, exactly as a channel
// receives it, and returns the assembled block.
ACE_Message_Block* receivedThroughAssembler(const std::string& payload)
{
    MessageAssembler assembler;
    unsigned char header[kHeaderSize];
    encodeHeader(static_cast<uint32_t>(payload.size()), typeIdentifier("I::op"), header);
    std::memcpy(assembler.buffer(), header, kHeaderSize);
    EXPECT_EQ(assembler.feed(kHeaderSize), MessageAssembler::Status::NeedMore);
    EXPECT_EQ(assembler.wanted(), payload.size());
    std::memcpy(assembler.buffer(), payload.data(), payload.size());
    EXPECT_EQ(assembler.feed(payload.size()), MessageAssembler::Status::Complete);
    uint32_t typeId = 0;
    return assembler.takePayload(typeId);
}

bool inside(const char* p, const ACE_Message_Block* block)
{
    return p >= block->base() && p < block->base() + block->size();
}

struct Decoded {
    std::string name;
    ACE_Message_Block* block = nullptr;
    ACE_CDR::ULong trailer = 0;
    bool good = false;
};

Decoded decode(const ACE_Message_Block* payload)
{
    Decoded decoded;
    auto in = makeInput(payload);
    decoded.good = in && readString(*in, decoded.name) && readBlock(*in, decoded.block)
        && in->read_ulong(decoded.trailer);
    return decoded;
}

} // namespace

TEST(ZeroCopyReceive, AnAssembledPayloadIsReadInPlace)
{
    ACE_Message_Block* payload = receivedThroughAssembler(encodedPayload("abc"));
    ASSERT_NE(payload, nullptr);
    const int before = payload->data_block()->reference_count();
    {
        auto in = makeInput(payload);
        ASSERT_TRUE(in);
        EXPECT_TRUE(inside(in->rd_ptr(), payload)) << "the stream must read the received buffer itself";
        EXPECT_EQ(payload->data_block()->reference_count(), before + 1);
        std::string name;
        ASSERT_TRUE(readString(*in, name));
        EXPECT_EQ(name, "module");
    }
    EXPECT_EQ(payload->data_block()->reference_count(), before) << "the stream gives its reference back";
    payload->release();
}

TEST(ZeroCopyReceive, ALargeBlockSharesTheReceivedBufferAndOutlivesIt)
{
    const std::string contents = patternOf(1 << 20);
    ACE_Message_Block* payload = receivedThroughAssembler(encodedPayload(contents));
    Decoded decoded = decode(payload);
    ASSERT_TRUE(decoded.good);
    ASSERT_NE(decoded.block, nullptr);
    EXPECT_EQ(decoded.block->data_block(), payload->data_block()) << "no copy of a large block";
    EXPECT_EQ(decoded.block->cont(), nullptr);
    EXPECT_EQ(decoded.trailer, 77u) << "reading goes on after the shared block";

    // The caller may drop the payload: the block keeps the bytes alive.
    payload->release();
    ASSERT_EQ(decoded.block->length(), contents.size());
    EXPECT_EQ(std::string(decoded.block->rd_ptr(), decoded.block->length()), contents);
    decoded.block->release();
}

TEST(ZeroCopyReceive, SmallBlocksAndBlocksInALargerPayloadAreCopied)
{
    // Small: below the sharing size.
    ACE_Message_Block* small = receivedThroughAssembler(encodedPayload(patternOf(kMinReferencedBlock - 1)));
    Decoded fromSmall = decode(small);
    ASSERT_TRUE(fromSmall.good && fromSmall.block);
    EXPECT_NE(fromSmall.block->data_block(), small->data_block());
    EXPECT_EQ(fromSmall.block->length(), kMinReferencedBlock - 1);

    // Large enough, but most of the payload is something else: sharing would
    // keep the rest alive for nothing.
    auto out = makeOutput();
    const std::string block = patternOf(kMinReferencedBlock);
    const std::string filler(4 * kMinReferencedBlock, 'f');
    ASSERT_TRUE(beginPayload(*out) && writeString(*out, filler)
        && writeBlock(*out, block.data(), block.size()) && out->write_ulong(5));
    ACE_Message_Block* mixed = receivedThroughAssembler(flatten(out->begin()));
    Decoded fromMixed = decode(mixed);
    ASSERT_TRUE(fromMixed.good && fromMixed.block);
    EXPECT_NE(fromMixed.block->data_block(), mixed->data_block());
    EXPECT_EQ(std::string(fromMixed.block->rd_ptr(), fromMixed.block->length()), block);
    EXPECT_EQ(fromMixed.trailer, 5u);

    for (ACE_Message_Block* b : { small, fromSmall.block, mixed, fromMixed.block })
        b->release();
}

TEST(ZeroCopyReceive, ChainsAndUnalignedBlocksStillDecode)
{
    const std::string contents = patternOf(3 * kMinReferencedBlock);
    const std::string bytes = encodedPayload(contents, 91);

    // A chain split inside the block.
    auto* head = new ACE_Message_Block(bytes.size());
    ACE_CDR::mb_align(head);
    head->copy(bytes.data(), 101);
    auto* tail = new ACE_Message_Block(bytes.size());
    tail->copy(bytes.data() + 101, bytes.size() - 101);
    head->cont(tail);
    Decoded fromChain = decode(head);
    head->release();
    ASSERT_TRUE(fromChain.good && fromChain.block);
    EXPECT_EQ(std::string(fromChain.block->rd_ptr(), fromChain.block->length()), contents);
    EXPECT_EQ(fromChain.trailer, 91u);
    fromChain.block->release();

    // One block whose first byte is off the CDR alignment.
    ACE_Message_Block odd(bytes.size() + 16);
    ACE_CDR::mb_align(&odd);
    odd.rd_ptr(1);
    odd.wr_ptr(1);
    odd.copy(bytes.data(), bytes.size());
    Decoded fromOdd = decode(&odd);
    ASSERT_TRUE(fromOdd.good && fromOdd.block);
    EXPECT_EQ(std::string(fromOdd.block->rd_ptr(), fromOdd.block->length()), contents);
    EXPECT_EQ(fromOdd.trailer, 91u);
    fromOdd.block->release();
}

TEST(ZeroCopyReceive, ABlockOverABorrowedBufferIsCopied)
{
    // A payload over bytes the stream does not own must not be referenced
    // beyond the caller's buffer.
    std::string bytes = encodedPayload(patternOf(2 * kMinReferencedBlock));
    alignas(8) static char storage[4 * 16 * 1024 + 64];
    ASSERT_LE(bytes.size(), sizeof storage);
    std::memcpy(storage, bytes.data(), bytes.size());
    ACE_Message_Block borrowed(storage, bytes.size());
    borrowed.wr_ptr(bytes.size());
    Decoded decoded = decode(&borrowed);
    ASSERT_TRUE(decoded.good && decoded.block);
    EXPECT_FALSE(inside(decoded.block->rd_ptr(), &borrowed));
    std::memset(storage, 0, sizeof storage);
    EXPECT_EQ(
        std::string(decoded.block->rd_ptr(), decoded.block->length()), patternOf(2 * kMinReferencedBlock));
    decoded.block->release();
}

TEST(ZeroCopyReceive, AShortPayloadFailsWithoutABlock)
{
    std::string bytes = encodedPayload(patternOf(2 * kMinReferencedBlock));
    bytes.resize(bytes.size() - 100); // cut inside the block
    ACE_Message_Block* payload = receivedThroughAssembler(bytes);
    auto in = makeInput(payload);
    std::string name;
    ASSERT_TRUE(in && readString(*in, name));
    ACE_Message_Block* block = reinterpret_cast<ACE_Message_Block*>(1);
    EXPECT_FALSE(readBlock(*in, block));
    EXPECT_EQ(block, nullptr);
    payload->release();
}

TEST(LargeBuffers, AFreedBufferIsReusedForTheNextLargeMessage)
{
    LargeBuffers& buffers = LargeBuffers::allocator();
    buffers.releaseKept();
    const size_t size = 7 * LargeBuffers::kMinSize;
    void* first = buffers.malloc(size);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % ACE_CDR::MAX_ALIGNMENT, 0u);
    std::memset(first, 0x5a, size); // the whole buffer is usable
    buffers.free(first);
    EXPECT_GE(buffers.keptBytes(), size);

    void* second = buffers.malloc(size - 1000);
    EXPECT_EQ(second, first) << "a buffer of a similar size comes back";
    EXPECT_EQ(buffers.keptBytes(), 0u);
    // A much smaller request does not take a kept large buffer.
    buffers.free(second);
    void* small = buffers.malloc(LargeBuffers::kMinSize);
    EXPECT_NE(small, second);
    buffers.free(small);
    buffers.releaseKept();
    EXPECT_EQ(buffers.keptBytes(), 0u);
}

TEST(LargeBuffers, LargePayloadsAreReceivedIntoThem)
{
    const std::string contents = patternOf(2 * LargeBuffers::kMinSize);
    ACE_Message_Block* payload = receivedThroughAssembler(encodedPayload(contents));
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->data_block()->allocator_strategy(), &LargeBuffers::allocator());
    Decoded decoded = decode(payload);
    payload->release();
    ASSERT_TRUE(decoded.good && decoded.block);
    EXPECT_EQ(std::string(decoded.block->rd_ptr(), decoded.block->length()), contents);
    decoded.block->release();

    ACE_Message_Block* small = receivedThroughAssembler(encodedPayload("x"));
    EXPECT_NE(small->data_block()->allocator_strategy(), &LargeBuffers::allocator());
    small->release();
}
