#include "zephcomm/wire/MessageHeader.h"
#include "zephcomm/wire/Handshake.h"

#include "zephcomm/wire/WireBytes.h"

#include <ace/ACE.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace zephcomm::wire;
using wiretest::hexBytes;

TEST(MessageHeader, EncodesLittleEndianWithMarkVersionSizeAndHashOfTheName)
{
    const uint32_t id
        = ACE::hash_pjw("IRepository::getModuleList", std::strlen("IRepository::getModuleList"));
    ASSERT_EQ(typeIdentifier("IRepository::getModuleList"), id);
    unsigned char bytes[kHeaderSize];
    encodeHeader(0x01020304, id, bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), kHeaderSize),
        hexBytes({ 1, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, int(id & 0xFF), int((id >> 8) & 0xFF),
            int((id >> 16) & 0xFF), int(id >> 24) }));

    // The handshake names the endpoint in exactly its bytes.
    Handshake handshake("abc");
    ASSERT_EQ(handshake.payloadLength(), 3u);
    EXPECT_EQ(std::memcmp(handshake.payloadBytes(), "abc", 3), 0);
    const HeaderFields fields = decodeHeader(static_cast<const unsigned char*>(handshake.headerBytes()));
    EXPECT_EQ(fields.payloadSize, 3u);
    EXPECT_EQ(fields.typeId, ACE::hash_pjw("$$__PROTOCOL_HANDSHAKE__$$", 26));
}
