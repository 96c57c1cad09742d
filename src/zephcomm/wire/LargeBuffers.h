#pragma once
// Memory for large received payloads (a downloaded module, an upload piece)
// and for files read whole (a module's contents in the file cache).
//
// A fresh multi-megabyte heap buffer costs one page fault per 4 KiB on first
// touch and a munmap when freed, which on a busy machine costs more than the
// bytes' copy itself. Large buffers are therefore mapped 2 MiB-aligned with
// transparent huge pages requested, and the most recently freed ones are
// kept for the next messages of a similar size.
//
// Kept buffers are resident memory the process does not use: a long-running
// server calls releaseWhenIdle once, and they go back to the system (and the
// C library's heap is trimmed) when no large buffer was taken or freed for
// a few seconds.
//
// Use through allocator() as the data allocator of an ACE_Message_Block
// (see MessageAssembler). Thread-safe: buffers are freed on whatever thread
// releases the last block reference; one mutex guards the kept buffers.

#include <ace/Malloc_Allocator.h>

#include <chrono>
#include <cstddef>

namespace zephcomm::wire {

class LargeBuffers final : public ACE_New_Allocator {
public:
    // Payloads from this size on come from here.
    static constexpr size_t kMinSize = 1024 * 1024;
    // Freed buffers kept for reuse: at most this many, and this many bytes.
    // As many as an upload has pieces in flight (the client's window), so
    // that each piece is received into the buffer of one written before
    // instead of a fresh mapping whose pages are zeroed on first touch; the
    // kept buffers stay resident.
    static constexpr size_t kKeptBuffers = 8;
    static constexpr size_t kKeptBytes = 96 * 1024 * 1024;

    // The process-wide instance (never destroyed: blocks may outlive static
    // destruction).
    static LargeBuffers& allocator();

    void* malloc(size_t bytes) override;
    void* calloc(size_t bytes, char initialValue = '\0') override;
    void* calloc(size_t count, size_t size, char initialValue = '\0') override;
    void free(void* pointer) override;

    // Bytes of freed buffers currently kept for reuse.
    size_t keptBytes() const;
    // Unmaps every kept buffer.
    void releaseKept();
    // Starts (once) a thread that, whenever large buffers have been in use,
    // waits until none was taken or freed for `quiet`, then unmaps the kept
    // ones and trims the heap (malloc_trim): memory of large transfers goes
    // back to the system when they end.
    void releaseWhenIdle(std::chrono::milliseconds quiet);
    // A large message that lived in other memory counts as a use, so that
    // the heap is trimmed after it too.
    void noteLargeTransfer();

private:
    LargeBuffers() = default;
    struct Impl;
    Impl& impl() const;
};

} // namespace zephcomm::wire
