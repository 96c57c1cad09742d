#include "interfaces/rpc/RpcCodecs.h"

#include "common/KavErrorInfoCdr.h"
#include "zephcomm/wire/Cdr.h"

namespace rpc {

BlockPtr makeBlock(std::string_view bytes)
{
    BlockPtr block(new ACE_Message_Block(bytes.size() == 0 ? 1 : bytes.size()));
    block->copy(bytes.data(), bytes.size());
    return block;
}

std::string blockText(const ACE_Message_Block* block)
{
    std::string text;
    for (; block != nullptr; block = block->cont())
        text.append(block->rd_ptr(), block->length());
    return text;
}

bool String::write(ACE_OutputCDR& out, In value)
{
    return zephcomm::wire::writeString(out, value);
}

bool String::read(ACE_InputCDR& in, Held& held)
{
    held = std::make_unique<std::string>();
    return zephcomm::wire::readString(in, *held);
}

bool Block::write(ACE_OutputCDR& out, In value)
{
    return zephcomm::wire::writeBlockByReference(out, value);
}

bool Block::read(ACE_InputCDR& in, Held& held)
{
    ACE_Message_Block* block = nullptr;
    bool good = zephcomm::wire::readBlock(in, block);
    held.reset(block);
    if (good && !held)
        held.reset(new ACE_Message_Block(1)); // an empty block is still a block
    return good;
}

bool Error::write(ACE_OutputCDR& out, In value)
{
    kav::writeErrorInfo(out, value);
    return out.good_bit();
}

bool Error::read(ACE_InputCDR& in, Held& held)
{
    if (!kav::readErrorInfo(in, held))
        return false;
    if (held == nullptr)
        held = std::make_unique<kav::KavErrorInfo>();
    return true;
}

bool Version::write(ACE_OutputCDR& out, In value)
{
    return out.write_long(value.major) && out.write_long(value.minor) && out.write_long(value.level)
        && zephcomm::wire::writeString(out, value.text);
}

bool Version::read(ACE_InputCDR& in, Held& held)
{
    auto version = std::make_unique<KavVersion>();
    if (!in.read_long(version->major) || !in.read_long(version->minor) || !in.read_long(version->level)
        || !zephcomm::wire::readString(in, version->text))
        return false;
    held = std::move(version);
    return true;
}

} // namespace rpc
