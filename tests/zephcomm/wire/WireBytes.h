#pragma once
// Test helpers: the bytes of a message block chain, and byte strings written
// as hex.

#include <ace/Message_Block.h>

#include <string>

namespace wiretest {

inline std::string chainBytes(const ACE_Message_Block* block)
{
    std::string bytes;
    for (; block; block = block->cont())
        bytes.append(block->rd_ptr(), block->length());
    return bytes;
}

inline std::string hexBytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int v : values)
        bytes.push_back(static_cast<char>(v));
    return bytes;
}

} // namespace wiretest
