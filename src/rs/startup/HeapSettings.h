#pragma once
// How the C library's heap is laid out, set once at process start: so that
// trimming it after large work gives the freed memory back.
//
// By default every thread that meets contention gets an arena of its own
// (up to eight per CPU), and each arena may keep up to 64 MiB free at its
// top once large blocks have come and gone. Trimming the heap reaches the
// top of the main arena only, so a daemon that built a long list on a few
// of its threads kept that memory resident for good (159 MiB ten seconds
// after lists of 100,000 modules, of which 60 MiB were the caches). One
// arena for all threads leaves nothing out of the trim's reach; with the
// per-thread small-block caches in front of it, its lock cost no measurable
// request rate on the two-CPU machines measured. MALLOC_ARENA_MAX (or the
// arena_max tunable) in the service's environment overrides it.
//
// Threads: call before any thread is started.

namespace rs {

void keepHeapInOneArena();

} // namespace rs
