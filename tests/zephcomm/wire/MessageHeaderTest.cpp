#include "zephcomm/wire/MessageHeader.h"
#include "zephcomm/wire/Handshake.h"

#include "zephcomm/wire/WireBytes.h"

#include <ace/ACE.h>
#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace zephcomm::wire;
using wiretest::chainBytes;

namespace {

std::string littleEndian32(uint32_t v)
{
    return wiretest::hexBytes({ int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24) });
}

} // namespace

TEST(MessageHeader, EncodesLittleEndianWithMarkVersionSizeAndHashOfTheName)
{
    const uint32_t id
        = ACE::hash_pjw("IRepository::getModuleList", std::strlen("IRepository::getModuleList"));
    ASSERT_EQ(typeIdentifier("IRepository::getModuleList"), id);

    unsigned char bytes[kHeaderSize];
    encodeHeader(0x01020304, id, bytes);
    const std::string expected
        = wiretest::hexBytes({ 1, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1 }) + littleEndian32(id);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), kHeaderSize), expected);
}

TEST(MessageHeader, DecodesBothByteOrdersFromTheFirstByte)
{
    const unsigned char little[kHeaderSize]
        = { 1, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x20, 0, 0, 0x78, 0x56, 0x34, 0x12 };
    HeaderFields fields = decodeHeader(little);
    EXPECT_EQ(fields.version, 0u);
    EXPECT_EQ(fields.payloadSize, 0x2010u);
    EXPECT_EQ(fields.typeId, 0x12345678u);

    // A big-endian sender writes the mark as 00 00 00 01: byte 0 is zero.
    const unsigned char big[kHeaderSize]
        = { 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0x20, 0x10, 0x12, 0x34, 0x56, 0x78 };
    fields = decodeHeader(big);
    EXPECT_EQ(fields.version, 1u);
    EXPECT_EQ(fields.payloadSize, 0x2010u);
    EXPECT_EQ(fields.typeId, 0x12345678u);
}

TEST(MessageHeader, BuildMessageChainsThePayloadBehindItsHeaderWithTheChainLength)
{
    auto* first = new ACE_Message_Block(5);
    first->copy("hello", 5);
    auto* second = new ACE_Message_Block(3);
    second->copy("abc", 3);
    first->cont(second);

    ACE_Message_Block* message = buildMessage("T::m", first);
    ASSERT_EQ(message->length(), kHeaderSize);
    EXPECT_EQ(message->cont(), first) << "payload must be chained, not copied";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(message->rd_ptr()) % 4, 0u);

    const std::string bytes = chainBytes(message);
    const HeaderFields fields = decodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
    EXPECT_EQ(fields.payloadSize, 8u);
    EXPECT_EQ(fields.typeId, typeIdentifier("T::m"));
    EXPECT_EQ(bytes.substr(kHeaderSize), "helloabc");
    message->release();
}

TEST(Handshake, OfEndpointAbcIsTheHeaderAndExactlyThreeBytes)
{
    Handshake handshake("abc");
    ASSERT_EQ(handshake.payloadLength(), 3u);
    EXPECT_EQ(std::memcmp(handshake.payloadBytes(), "abc", 3), 0);

    const HeaderFields fields = decodeHeader(static_cast<const unsigned char*>(handshake.headerBytes()));
    EXPECT_EQ(fields.version, 0u);
    EXPECT_EQ(fields.payloadSize, 3u);
    EXPECT_EQ(fields.typeId, ACE::hash_pjw("$$__PROTOCOL_HANDSHAKE__$$", 26));
}
