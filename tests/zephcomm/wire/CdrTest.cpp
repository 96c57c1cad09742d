#include "zephcomm/wire/Cdr.h"

#include "zephcomm/wire/WireBytes.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

using Reader = bool (*)(ACE_InputCDR&);

// Reads `bytes` with room for 256 MiB more than the process holds; exits 0
// when the read failed as it should.
[[noreturn]] void readWithLittleRoom(const std::string& bytes, Reader read)
{
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (rlim_t(256) << 20);
    const rlimit limit { room, room };
    ::setrlimit(RLIMIT_AS, &limit);
    ACE_Message_Block* payload = payloadOf(bytes);
    auto in = makeInput(payload);
    std::_Exit(read(*in) ? 1 : 0);
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

// A length claimed by the sender is checked against the payload before
// anything is allocated. Each read runs in a child whose address space may
// grow by 256 MiB only: a reader that believed a claim of gigabytes dies there.
TEST(Cdr, ClaimedLengthsBeyondThePayloadAreRefusedBeforeAllocating)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Flag, then a length of 2 GiB in a 12-byte payload; a string of length
    // 0 (no room for its NUL); a payload cut inside the characters.
    const std::string twoGiB = hexBytes({ 1, 0, 0, 0, 0, 0, 0, 0x80, 'a', 'b', 'c', 0 });
    const std::string zero = hexBytes({ 1, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0 });
    const std::string cut = hexBytes({ 1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b' });
    const std::pair<const char*, Reader> readers[] = {
        { "string",
            [](ACE_InputCDR& in) {
                std::string text;
                return readString(in, text);
            } },
        { "block",
            [](ACE_InputCDR& in) {
                ACE_Message_Block* block = nullptr;
                const bool read = readBlock(in, block);
                if (block != nullptr)
                    block->release();
                return read || block != nullptr;
            } },
        { "bytes",
            [](ACE_InputCDR& in) {
                std::string bytes;
                return readBlock(in, bytes);
            } },
    };
    for (const std::string* bytes : { &twoGiB, &zero, &cut }) {
        for (const auto& [name, read] : readers) {
            if (bytes == &zero && std::string(name) != "string")
                continue; // an empty block is a block
            SCOPED_TRACE(name);
            EXPECT_EXIT(readWithLittleRoom(*bytes, read), ::testing::ExitedWithCode(0), "");
        }
    }
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
