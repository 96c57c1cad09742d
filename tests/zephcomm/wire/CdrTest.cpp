#include "zephcomm/wire/Cdr.h"

#include "zephcomm/wire/WireBytes.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

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

TEST(Cdr, PayloadIsFlagThenLengthCountedStringsAndAnEmptyOneIsRefused)
{
    auto out = makeOutput();
    ASSERT_TRUE(beginPayload(*out) && writeString(*out, "") && writeString(*out, "abc"));
    const std::string bytes = chainBytes(out->begin());
    ASSERT_EQ(bytes.size(), 20u);
    // The byte-order flag, then each string at a multiple of four (padding
    // between is unspecified).
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes.substr(4, 5), hexBytes({ 1, 0, 0, 0, 0 }));
    EXPECT_EQ(bytes.substr(12), hexBytes({ 4, 0, 0, 0, 'a', 'b', 'c', 0 }));

    ACE_Message_Block empty(8);
    EXPECT_FALSE(makeInput(&empty));
}

// A large block read from a received payload may share the payload's
// buffer: it keeps its bytes after the payload is gone, and reading goes on
// after it. The same holds for a payload split across a chain.
TEST(Cdr, ABlockKeepsItsBytesAfterThePayloadIsReleased)
{
    std::string contents(3 * kMinReferencedBlock, '\0');
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>((i * 131 + 7) % 251);
    auto out = makeOutput();
    ASSERT_TRUE(
        beginPayload(*out) && writeBlock(*out, contents.data(), contents.size()) && out->write_ulong(91));
    const std::string bytes = chainBytes(out->begin());
    for (size_t split : { bytes.size(), size_t(101) }) {
        ACE_Message_Block* payload = payloadOf(bytes.substr(0, split));
        if (split < bytes.size())
            payload->cont(payloadOf(bytes.substr(split)));
        ACE_Message_Block* block = nullptr;
        ACE_CDR::ULong trailer = 0;
        {
            auto in = makeInput(payload);
            ASSERT_TRUE(in && readBlock(*in, block) && in->read_ulong(trailer));
        }
        payload->release();
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(trailer, 91u);
        EXPECT_TRUE(std::string(block->rd_ptr(), block->length()) == contents) << "split at " << split;
        block->release();
    }
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
