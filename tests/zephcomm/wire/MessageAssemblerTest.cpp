#include "zephcomm/wire/MessageAssembler.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace zephcomm::wire;
using Status = MessageAssembler::Status;

namespace {

// Plays the driver: copies exactly what the assembler asks for.
Status deliver(MessageAssembler& assembler, const void* bytes, size_t count)
{
    std::memcpy(assembler.buffer(), bytes, count);
    return assembler.feed(count);
}

Status deliverHeader(MessageAssembler& assembler, uint32_t size, uint32_t type, uint32_t version = 0)
{
    unsigned char header[kHeaderSize];
    encodeHeader(size, type, header);
    header[4] = static_cast<unsigned char>(version);
    return deliver(assembler, header, kHeaderSize);
}

int32_t takeErrorCode()
{
    auto info = kav::takeErrorInfo();
    return info ? info->getCode() : 0;
}

} // namespace

TEST(MessageAssembler, AssemblesHeaderThenPayloadInEitherByteOrder)
{
    MessageAssembler assembler;
    EXPECT_EQ(assembler.wanted(), kHeaderSize);
    ASSERT_EQ(deliverHeader(assembler, 5, 77), Status::NeedMore);
    EXPECT_EQ(assembler.wanted(), 5u);
    ASSERT_EQ(deliver(assembler, "hello", 5), Status::Complete);
    uint32_t type = 0;
    ACE_Message_Block* payload = assembler.takePayload(type);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(std::string(payload->rd_ptr(), payload->length()), "hello");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(payload->rd_ptr()) % 8, 0u);
    payload->release();

    // Ready for the next header at once; this one from a big-endian sender.
    const unsigned char big[kHeaderSize] = { 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 9 };
    ASSERT_EQ(deliver(assembler, big, kHeaderSize), Status::NeedMore);
    ASSERT_EQ(deliver(assembler, "ok", 2), Status::Complete);
    payload = assembler.takePayload(type);
    EXPECT_EQ(type, 9u);
    EXPECT_EQ(std::string(payload->rd_ptr(), payload->length()), "ok");
    payload->release();
}

TEST(MessageAssembler, RefusesBadHeadersWithTheirCodesAndHoldsNoBuffer)
{
    struct Case {
        uint32_t size;
        uint32_t version;
        int32_t code;
    };
    const Case cases[] = {
        { 10, 1, kav::rc::ZEPHCOMM_PROTOCOL_VERSION },
        { 0, 0, kav::rc::ZEPHCOMM_PROTOCOL_SIZE },
    };
    for (const Case& c : cases) {
        MessageAssembler assembler;
        EXPECT_EQ(deliverHeader(assembler, c.size, 1, c.version), Status::Failed);
        EXPECT_EQ(assembler.lastError(), c.code);
        EXPECT_EQ(takeErrorCode(), c.code);
        EXPECT_EQ(assembler.buffer(), nullptr);
        EXPECT_EQ(assembler.wanted(), 0u);
        EXPECT_EQ(assembler.feed(16), Status::Failed) << "stays broken until reset";
        assembler.reset();
        EXPECT_EQ(assembler.wanted(), kHeaderSize);
    }
}

TEST(MessageAssembler, RefusesAPayloadOverTheLimitBeforeAllocating)
{
    MessageAssembler assembler(1000);
    EXPECT_EQ(deliverHeader(assembler, 1000, 1), Status::NeedMore);
    assembler.reset();
    // Nearly 4 GiB announced: refused without an attempt to allocate it.
    MessageAssembler defaults;
    EXPECT_EQ(deliverHeader(defaults, 0xFFFFFFF0u, 1), Status::Failed);
    EXPECT_EQ(takeErrorCode(), kav::rc::ZEPHCOMM_PROTOCOL_SIZE);
    EXPECT_EQ(deliverHeader(assembler, 1001, 1), Status::Failed);
    EXPECT_EQ(takeErrorCode(), kav::rc::ZEPHCOMM_PROTOCOL_SIZE);
}

TEST(MessageAssembler, LimitVariableTakesOnlyPositiveIntegers)
{
    EXPECT_EQ(maxMessageSizeFrom("2048"), 2048u);
    EXPECT_EQ(maxMessageSizeFrom(nullptr), kDefaultMaxMessageSize);
    // The header's size field holds at most 4 GiB - 1: a larger limit could
    // not be kept by the messages it lets through.
    for (const char* huge : { "4294967296", "8589934592", "99999999999999999999999" })
        EXPECT_EQ(maxMessageSizeFrom(huge), 0xFFFFFFFFu) << huge;
    for (const char* bad : { "", "0", "-5", "12k", "abc" })
        EXPECT_EQ(maxMessageSizeFrom(bad), kDefaultMaxMessageSize) << bad;
}

TEST(MessageAssembler, ShortCountsDiscardThePartialMessage)
{
    MessageAssembler assembler;
    EXPECT_EQ(assembler.feed(10), Status::Discarded);
    EXPECT_EQ(assembler.wanted(), kHeaderSize);

    ASSERT_EQ(deliverHeader(assembler, 8, 1), Status::NeedMore);
    EXPECT_EQ(assembler.feed(3), Status::Discarded);
    EXPECT_EQ(assembler.wanted(), kHeaderSize);
    uint32_t type = 0;
    EXPECT_EQ(assembler.takePayload(type), nullptr);
}
