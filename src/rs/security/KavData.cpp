#include "rs/security/KavData.h"

#include <cstring>

namespace kav {

KavData& KavData::operator=(const KavData& other)
{
    if (this != &other)
        assign(other.data(), other.length());
    return *this;
}

void KavData::assign(const void* bytes, size_t length)
{
    wipe();
    const auto* begin = static_cast<const unsigned char*>(bytes);
    bytes_.assign(begin, begin + (bytes ? length : 0));
}

void KavData::wipe()
{
    if (!bytes_.empty())
        explicit_bzero(bytes_.data(), bytes_.size());
    bytes_.clear();
}

} // namespace kav
