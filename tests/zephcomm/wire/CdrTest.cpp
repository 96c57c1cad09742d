#include "zephcomm/wire/Cdr.h"

#include "zephcomm/wire/WireBytes.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <vector>

using namespace zephcomm::wire;
using wiretest::chainBytes;
using wiretest::hexBytes;

namespace {

// A payload block the way the message assembler delivers one.
ACE_Message_Block* payloadOf(const std::string& bytes)
{
    auto* block = new ACE_Message_Block(bytes.size() + 8);
    ACE_CDR::mb_align(block);
    block->copy(bytes.data(), bytes.size());
    return block;
}

} // namespace

TEST(Cdr, StringsCarryALengthWithTheirNul)
{
    auto empty = makeOutput();
    ASSERT_TRUE(writeString(*empty, ""));
    EXPECT_EQ(chainBytes(empty->begin()), hexBytes({ 1, 0, 0, 0, 0 }));

    auto abc = makeOutput();
    ASSERT_TRUE(writeString(*abc, "abc"));
    EXPECT_EQ(chainBytes(abc->begin()), hexBytes({ 4, 0, 0, 0, 'a', 'b', 'c', 0 }));
}

TEST(Cdr, PayloadStartsWithTheByteOrderFlagSoAFirstIntegerSitsAtOffsetFour)
{
    auto out = makeOutput();
    ASSERT_TRUE(beginPayload(*out));
    ASSERT_TRUE(out->write_long(0x11223344));
    const std::string bytes = chainBytes(out->begin());
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes.substr(4), hexBytes({ 0x44, 0x33, 0x22, 0x11 }));
}

TEST(Cdr, InputFollowsThePayloadFlagInEitherByteOrder)
{
    // Flag 0: the rest is big-endian.
    ACE_Message_Block* big = payloadOf(hexBytes({ 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44 }));
    auto in = makeInput(big);
    big->release();
    ASSERT_TRUE(in);
    ACE_CDR::Long value = 0;
    ASSERT_TRUE(in->read_long(value));
    EXPECT_EQ(value, 0x11223344);

    ACE_Message_Block* little = payloadOf(hexBytes({ 1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11 }));
    in = makeInput(little);
    little->release();
    ASSERT_TRUE(in && in->read_long(value));
    EXPECT_EQ(value, 0x11223344);

    ACE_Message_Block empty(8);
    EXPECT_FALSE(makeInput(&empty));
}

TEST(Cdr, RoundTripsStringsAndBlocksAfterTheFlag)
{
    auto out = makeOutput();
    const std::string binary("a\0b\xff", 4);
    ASSERT_TRUE(beginPayload(*out) && writeString(*out, "name")
        && writeBlock(*out, binary.data(), binary.size()) && writeBlock(*out, nullptr, 0)
        && out->write_ulong(7));

    ACE_Message_Block* payload = payloadOf(chainBytes(out->begin()));
    auto in = makeInput(payload);
    payload->release();
    ASSERT_TRUE(in);
    std::string name, block;
    ACE_Message_Block* emptyBlock = reinterpret_cast<ACE_Message_Block*>(1);
    ACE_CDR::ULong tail = 0;
    ASSERT_TRUE(readString(*in, name));
    ASSERT_TRUE(readBlock(*in, block));
    ASSERT_TRUE(readBlock(*in, emptyBlock));
    ASSERT_TRUE(in->read_ulong(tail));
    EXPECT_EQ(name, "name");
    EXPECT_EQ(block, binary);
    EXPECT_EQ(emptyBlock, nullptr);
    EXPECT_EQ(tail, 7u);
}

TEST(Cdr, ReadBlockGivesAFreshBufferOfExactlyTheLength)
{
    auto out = makeOutput();
    ASSERT_TRUE(beginPayload(*out) && writeBlock(*out, "12345", 5));
    ACE_Message_Block* payload = payloadOf(chainBytes(out->begin()));
    auto in = makeInput(payload);
    ACE_Message_Block* block = nullptr;
    ASSERT_TRUE(readBlock(*in, block));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->length(), 5u);
    EXPECT_EQ(block->size(), 5u);
    EXPECT_EQ(std::string(block->rd_ptr(), 5), "12345");
    EXPECT_TRUE(block->rd_ptr() < payload->base() || block->rd_ptr() >= payload->end());
    block->release();
    payload->release();
}

TEST(Cdr, LengthsBeyondThePayloadFailWithoutAllocating)
{
    // Flag, then a string length of 2 GiB in a 12-byte payload.
    ACE_Message_Block* payload = payloadOf(hexBytes({ 1, 0, 0, 0, 0, 0, 0, 0x80, 'a', 'b', 'c', 0 }));
    auto in = makeInput(payload);
    std::string text;
    EXPECT_FALSE(readString(*in, text));

    auto again = makeInput(payload);
    ACE_Message_Block* block = nullptr;
    EXPECT_FALSE(readBlock(*again, block));
    EXPECT_EQ(block, nullptr);

    // A payload cut inside the characters.
    ACE_Message_Block* cut = payloadOf(hexBytes({ 1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b' }));
    auto third = makeInput(cut);
    EXPECT_FALSE(readString(*third, text));
    cut->release();
    payload->release();
}

TEST(Cdr, LargeBlocksAreChainedByReferenceAndSmallOnesCopied)
{
    const std::string big(100000, 'x');
    // A cached file: a block that owns its bytes.
    ACE_Message_Block file(big.size());
    file.copy(big.data(), big.size());
    ACE_Message_Block small(100);
    small.copy(std::string(100, 's').data(), 100);

    auto out = makeOutput();
    ASSERT_TRUE(beginPayload(*out) && writeBlockByReference(*out, &file) && out->write_ulong(9)
        && writeBlockByReference(*out, &small) && writeBlockByReference(*out, nullptr));

    bool bigShared = false;
    bool smallShared = false;
    for (const ACE_Message_Block* b = out->begin(); b; b = b->cont()) {
        bigShared = bigShared || b->rd_ptr() == file.rd_ptr();
        smallShared = smallShared || b->rd_ptr() == small.rd_ptr();
    }
    EXPECT_TRUE(bigShared) << "a large block must reach the chain without a copy";
    EXPECT_FALSE(smallShared);

    // The bytes read back the same, with alignment counted from the payload start.
    ACE_Message_Block* payload = payloadOf(chainBytes(out->begin()));
    auto in = makeInput(payload);
    payload->release();
    std::string first, second, third;
    ACE_CDR::ULong marker = 0;
    ASSERT_TRUE(
        readBlock(*in, first) && in->read_ulong(marker) && readBlock(*in, second) && readBlock(*in, third));
    EXPECT_EQ(first, big);
    EXPECT_EQ(marker, 9u);
    EXPECT_EQ(second, std::string(100, 's'));
    EXPECT_TRUE(third.empty());
}
