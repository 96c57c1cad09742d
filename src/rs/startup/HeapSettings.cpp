#include "rs/startup/HeapSettings.h"

#include <malloc.h>

namespace rs {

void keepHeapInOneArena()
{
    // Failing leaves the library's default: more arenas, nothing lost.
    ::mallopt(M_ARENA_MAX, 1);
}

} // namespace rs
