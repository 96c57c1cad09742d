#include "rs/startup/HeapSettings.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace rs {

void keepHeapInOneArena()
{
    // An operator's own choice of arenas, given to the C library through its
    // environment, stands.
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (std::getenv("MALLOC_ARENA_MAX") != nullptr
        || (tunables != nullptr && std::strstr(tunables, "arena_max") != nullptr))
        return;
    // Failing leaves the library's default: more arenas, nothing lost.
    ::mallopt(M_ARENA_MAX, 1);
}

} // namespace rs
