#pragma once
// KavData: an owned copy of a byte block (a logon credential going in, an
// answer token coming out). The bytes are wiped when the block is destroyed
// or replaced, since they are usually secrets. Not synchronised: one owner.

#include <cstddef>
#include <string>
#include <vector>

namespace kav {

class KavData {
public:
    KavData() = default;
    KavData(const void* bytes, size_t length) { assign(bytes, length); }
    explicit KavData(const std::string& bytes)
        : KavData(bytes.data(), bytes.size())
    {
    }
    KavData(const KavData& other)
        : KavData(other.data(), other.length())
    {
    }
    KavData& operator=(const KavData& other);
    ~KavData() { wipe(); }

    // Replaces the contents with a copy of bytes.
    void assign(const void* bytes, size_t length);
    const unsigned char* data() const { return bytes_.data(); }
    size_t length() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

private:
    void wipe();
    std::vector<unsigned char> bytes_;
};

} // namespace kav
