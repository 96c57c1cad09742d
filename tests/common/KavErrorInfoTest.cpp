#include "common/KavErrorInfo.h"

#include <ace/Message_Block.h>
#include <gtest/gtest.h>

#include <cstring>

namespace kav {
namespace {

std::string blockText(const ACE_Message_Block* block)
{
    return block ? std::string(block->rd_ptr(), block->length()) : std::string();
}

ACE_Message_Block* blockWith(const std::string& text)
{
    auto* block = new ACE_Message_Block(text.size());
    block->copy(text.data(), text.size());
    return block;
}

TEST(KavErrorInfo, DefaultRecordIsSuccessWithNothingAttached)
{
    KavErrorInfo info;
    EXPECT_EQ(info.getCode(), 0);
    EXPECT_TRUE(info.getLocation().empty());
    EXPECT_TRUE(info.getParams().empty());
    EXPECT_EQ(info.getData(), nullptr);
    EXPECT_FALSE(info.getFlag());
}

TEST(KavErrorInfo, MessageIsCutToItsMaximumLength)
{
    KavErrorInfo info;
    info.setMessage(std::string(300, 'm'));
    EXPECT_EQ(info.getMessage(), std::string(KavErrorInfo::kMaxMessageLength, 'm'));
    info.setMessage(std::string(KavErrorInfo::kMaxMessageLength, 'k'));
    EXPECT_EQ(info.getMessage().size(), KavErrorInfo::kMaxMessageLength);
    info.setMessage("short");
    EXPECT_EQ(info.getMessage(), "short");
}

TEST(KavErrorInfo, SetDataStoresADeepCopyAndReplacesThePrevious)
{
    ACE_Message_Block* original = blockWith("payload");
    KavErrorInfo info;
    info.setData(original);
    std::memcpy(original->rd_ptr(), "PAYLOAD", 7);
    original->release();
    EXPECT_EQ(blockText(info.getData()), "payload");

    ACE_Message_Block* second = blockWith("other");
    info.setData(second);
    second->release();
    EXPECT_EQ(blockText(info.getData()), "other");

    info.setData(nullptr);
    EXPECT_EQ(info.getData(), nullptr);
}

TEST(KavErrorInfo, CopiesOwnSeparateData)
{
    ACE_Message_Block* block = blockWith("bytes");
    KavErrorInfo info(-1, "L", "", "");
    info.setData(block);
    block->release();

    KavErrorInfo copy(info);
    KavErrorInfo assigned;
    assigned = info;
    ASSERT_NE(copy.getData(), nullptr);
    EXPECT_NE(copy.getData(), info.getData());
    EXPECT_NE(assigned.getData(), info.getData());
    info.setData(nullptr);
    EXPECT_EQ(blockText(copy.getData()), "bytes");
    EXPECT_EQ(blockText(assigned.getData()), "bytes");
}

} // namespace
} // namespace kav
