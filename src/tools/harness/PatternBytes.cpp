#include "tools/harness/PatternBytes.h"

#include <cstdint>

namespace rs::harness {

std::string patternBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

} // namespace rs::harness
