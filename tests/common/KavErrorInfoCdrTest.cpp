// The error record at the head of every answer, as a receiver reads it.

#include "common/KavErrorInfoCdr.h"

#include <ace/CDR_Stream.h>
#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kav {
namespace {

std::string bytesOf(const ACE_OutputCDR& out)
{
    std::string bytes;
    for (const ACE_Message_Block* block = out.begin(); block; block = block->cont())
        bytes.append(block->rd_ptr(), block->length());
    return bytes;
}

// Reads back what `bytes` holds; a refused read must leave no record.
bool decode(const std::string& bytes, std::unique_ptr<KavErrorInfo>& out)
{
    ACE_Message_Block block(bytes.size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(bytes.data(), bytes.size());
    ACE_InputCDR in(&block, ACE_CDR_BYTE_ORDER);
    out = std::make_unique<KavErrorInfo>(); // a refused read must clear it
    return readErrorInfo(in, out);
}

// A failure record with empty texts and no parameters, up to its has-data flag.
void bareFailure(ACE_OutputCDR& out, ACE_CDR::ULong paramCount, ACE_CDR::Short hasData)
{
    out << ACE_CDR::Long(-1);
    for (int i = 0; i < 3; ++i)
        out.write_string(std::string());
    out << paramCount;
    out << hasData;
}

TEST(ErrorInfoWire, AFailureWithDataArrivesWholeAndEveryTruncationOfItIsRefused)
{
    KavErrorInfo info(-3, "Loc.cpp:1", "c", "d", { "a", "" });
    std::string payload("\0\1binary\xff", 9);
    ACE_Message_Block data(payload.size());
    data.copy(payload.data(), payload.size());
    info.setData(&data);
    info.setMessage("msg");
    ACE_OutputCDR out;
    writeErrorInfo(out, &info);
    const std::string whole = bytesOf(out);

    std::unique_ptr<KavErrorInfo> decoded;
    ASSERT_TRUE(decode(whole, decoded));
    ASSERT_TRUE(decoded && decoded->getData());
    EXPECT_EQ(decoded->getParams(), (Params { "a", "" }));
    EXPECT_EQ(std::string(decoded->getData()->rd_ptr(), decoded->getData()->length()), payload);
    EXPECT_EQ(decoded->getMessage(), "msg");
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(decode(whole.substr(0, cut), decoded)) << "accepted " << cut << " of " << whole.size();
        EXPECT_EQ(decoded, nullptr);
    }
}

TEST(ErrorInfoWire, ImpossibleCountsAndFlagsAreRefusedAndLongMessagesCut)
{
    ACE_OutputCDR hugeCount, badFlag, hugeData;
    bareFailure(hugeCount, 0xFFFFFFF0u, 0);
    bareFailure(badFlag, 0, 2);
    bareFailure(hugeData, 0, 1);
    hugeData << ACE_CDR::ULong(0x7FFFFFFFu);
    std::unique_ptr<KavErrorInfo> decoded;
    for (const ACE_OutputCDR* bad : { &hugeCount, &badFlag, &hugeData }) {
        EXPECT_FALSE(decode(bytesOf(*bad), decoded));
        EXPECT_EQ(decoded, nullptr);
    }

    ACE_OutputCDR longMessage;
    bareFailure(longMessage, 0, 1);
    longMessage << ACE_CDR::ULong(1);
    longMessage << ACE_OutputCDR::from_octet(ACE_CDR::Octet('x'));
    longMessage.write_string(std::string(300, 'm'));
    ASSERT_TRUE(decode(bytesOf(longMessage), decoded));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->getMessage(), std::string(KavErrorInfo::kMaxMessageLength, 'm'));
}

} // namespace
} // namespace kav
