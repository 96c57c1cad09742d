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

// Reads back what `bytes` holds, as a receiver would (little-endian, like the payloads).
bool decode(const std::string& bytes, KavErrorInfo*& out)
{
    ACE_Message_Block block(bytes.size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(bytes.data(), bytes.size());
    ACE_InputCDR in(&block, ACE_CDR_BYTE_ORDER);
    return readErrorInfo(in, out);
}

std::string encode(const IKavErrorInfo* info)
{
    ACE_OutputCDR out;
    writeErrorInfo(out, info);
    return bytesOf(out);
}

std::unique_ptr<KavErrorInfo> roundTrip(const IKavErrorInfo& info)
{
    KavErrorInfo* decoded = reinterpret_cast<KavErrorInfo*>(1);
    EXPECT_TRUE(decode(encode(&info), decoded));
    return std::unique_ptr<KavErrorInfo>(decoded);
}

// A failure record with empty texts and no parameters, up to its has-data flag.
void writeBareFailure(ACE_OutputCDR& out, ACE_CDR::ULong paramCount, ACE_CDR::Short hasData)
{
    out << ACE_CDR::Long(-1);
    for (int i = 0; i < 3; ++i)
        out.write_string(std::string());
    out << paramCount;
    out << hasData;
}

void attach(KavErrorInfo& info, const std::string& text)
{
    ACE_Message_Block block(text.size());
    block.copy(text.data(), text.size());
    info.setData(&block);
}

TEST(ErrorInfoWire, SuccessTravelsAsOneInt32Zero)
{
    ACE_OutputCDR expected;
    expected << ACE_CDR::Long(0);
    KavErrorInfo success;
    EXPECT_EQ(encode(nullptr), bytesOf(expected));
    EXPECT_EQ(encode(&success), bytesOf(expected));

    KavErrorInfo* decoded = &success;
    EXPECT_TRUE(decode(bytesOf(expected), decoded));
    EXPECT_EQ(decoded, nullptr);
}

TEST(ErrorInfoWire, NonNegativeCodeIsWrittenAloneAndReadAsSuccess)
{
    KavErrorInfo info(5, "loc", "ctx", "detail", { "p" });
    std::string bytes = encode(&info);
    EXPECT_EQ(bytes.size(), sizeof(ACE_CDR::Long));
    KavErrorInfo* decoded = &info;
    EXPECT_TRUE(decode(bytes, decoded));
    EXPECT_EQ(decoded, nullptr);
}

TEST(ErrorInfoWire, FailureWithoutDataFollowsTheFieldOrderAndDropsTheMessage)
{
    KavErrorInfo info(-100, "File.cpp:9", "ctx", "detail", { "one", "" });
    info.setMessage("not sent without data");

    // Read the primitives back one by one, in wire order (padding bytes are
    // not compared: CDR leaves them unspecified).
    const std::string bytes = encode(&info);
    ACE_Message_Block block(bytes.size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(bytes.data(), bytes.size());
    ACE_InputCDR in(&block);
    ACE_CDR::Long code = 0;
    ACE_CDR::ULong count = 0;
    ACE_CDR::Short hasData = -1;
    std::string location, context, detail, first, second;
    ASSERT_TRUE(in >> code);
    ASSERT_TRUE(in.read_string(location) && in.read_string(context) && in.read_string(detail));
    ASSERT_TRUE(in >> count);
    ASSERT_TRUE(in.read_string(first) && in.read_string(second));
    ASSERT_TRUE(in >> hasData);
    EXPECT_EQ(code, -100);
    EXPECT_EQ(location, "File.cpp:9");
    EXPECT_EQ(context, "ctx");
    EXPECT_EQ(detail, "detail");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(first, "one");
    EXPECT_EQ(second, "");
    EXPECT_EQ(hasData, 0);
    EXPECT_EQ(in.length(), 0u) << "bytes after the has-data flag";

    auto decoded = roundTrip(info);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->getCode(), -100);
    EXPECT_EQ(decoded->getLocation(), "File.cpp:9");
    EXPECT_EQ(decoded->getContext(), "ctx");
    EXPECT_EQ(decoded->getDetail(), "detail");
    EXPECT_EQ(decoded->getParams(), (Params { "one", "" }));
    EXPECT_EQ(decoded->getData(), nullptr);
    EXPECT_TRUE(decoded->getMessage().empty());
}

TEST(ErrorInfoWire, FailureWithDataCarriesDataAndMessage)
{
    KavErrorInfo info(-2, "L", "", "", {});
    std::string payload("\0\1binary\xff", 9);
    attach(info, payload);
    info.setMessage("with data");

    auto decoded = roundTrip(info);
    ASSERT_NE(decoded, nullptr);
    ASSERT_NE(decoded->getData(), nullptr);
    EXPECT_EQ(std::string(decoded->getData()->rd_ptr(), decoded->getData()->length()), payload);
    EXPECT_EQ(decoded->getMessage(), "with data");
}

TEST(ErrorInfoWire, ChainedDataTravelsWhole)
{
    ACE_Message_Block head(3), tail(4);
    head.copy("abc", 3);
    tail.copy("defg", 4);
    head.cont(&tail);
    KavErrorInfo info(-2, "L", "", "");
    info.setData(&head);
    head.cont(nullptr);

    auto decoded = roundTrip(info);
    ASSERT_NE(decoded, nullptr);
    ASSERT_NE(decoded->getData(), nullptr);
    EXPECT_EQ(std::string(decoded->getData()->rd_ptr(), decoded->getData()->length()), "abcdefg");
}

TEST(ErrorInfoWire, AReceivedMessageIsCutAt256)
{
    ACE_OutputCDR out;
    writeBareFailure(out, 0, 1);
    out << ACE_CDR::ULong(1);
    out << ACE_OutputCDR::from_octet(ACE_CDR::Octet('x'));
    out.write_string(std::string(300, 'm'));

    KavErrorInfo* decoded = nullptr;
    ASSERT_TRUE(decode(bytesOf(out), decoded));
    std::unique_ptr<KavErrorInfo> owned(decoded);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->getMessage(), std::string(KavErrorInfo::kMaxMessageLength, 'm'));
}

TEST(ErrorInfoWire, EveryTruncationIsRefused)
{
    KavErrorInfo info(-3, "Loc.cpp:1", "c", "d", { "a", "b" });
    attach(info, "data");
    info.setMessage("msg");
    const std::string whole = encode(&info);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        KavErrorInfo* decoded = &info;
        EXPECT_FALSE(decode(whole.substr(0, cut), decoded)) << "accepted " << cut << " of " << whole.size();
        EXPECT_EQ(decoded, nullptr);
    }
}

TEST(ErrorInfoWire, ImpossibleCountsAndFlagsAreRefused)
{
    ACE_OutputCDR hugeCount;
    writeBareFailure(hugeCount, 0xFFFFFFF0u, 0);
    KavErrorInfo* decoded = nullptr;
    EXPECT_FALSE(decode(bytesOf(hugeCount), decoded));
    EXPECT_EQ(decoded, nullptr);

    ACE_OutputCDR badFlag;
    writeBareFailure(badFlag, 0, 2);
    EXPECT_FALSE(decode(bytesOf(badFlag), decoded));
    EXPECT_EQ(decoded, nullptr);

    ACE_OutputCDR hugeData;
    writeBareFailure(hugeData, 0, 1);
    hugeData << ACE_CDR::ULong(0x7FFFFFFFu);
    EXPECT_FALSE(decode(bytesOf(hugeData), decoded));
    EXPECT_EQ(decoded, nullptr);
}

TEST(ErrorInfoWire, RecordsFollowOneAnotherInOneStream)
{
    KavErrorInfo first(-1, "a", "", "", { "x" });
    KavErrorInfo second(-2, "b", "", "");
    ACE_OutputCDR out;
    writeErrorInfo(out, &first);
    writeErrorInfo(out, nullptr);
    writeErrorInfo(out, &second);
    out << ACE_CDR::Long(77);

    std::string bytes = bytesOf(out);
    ACE_Message_Block block(bytes.size() + ACE_CDR::MAX_ALIGNMENT);
    ACE_CDR::mb_align(&block);
    block.copy(bytes.data(), bytes.size());
    ACE_InputCDR in(&block);
    KavErrorInfo* decoded = nullptr;
    ASSERT_TRUE(readErrorInfo(in, decoded));
    std::unique_ptr<KavErrorInfo> one(decoded);
    ASSERT_TRUE(readErrorInfo(in, decoded));
    EXPECT_EQ(decoded, nullptr);
    ASSERT_TRUE(readErrorInfo(in, decoded));
    std::unique_ptr<KavErrorInfo> three(decoded);
    ACE_CDR::Long trailer = 0;
    ASSERT_TRUE(in >> trailer);
    EXPECT_EQ(one->getLocation(), "a");
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(three->getCode(), -2);
    EXPECT_EQ(trailer, 77);
}

} // namespace
} // namespace kav
