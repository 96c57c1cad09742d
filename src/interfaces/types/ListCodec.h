#pragma once
// Shared shape of the three list records on the wire: an int32 record count
// followed by the records. Internal to rs_types.

#include "zephcomm/wire/CdrCursor.h"

#include <ace/CDR_Stream.h>

#include <cstdint>

#include <vector>

namespace rs::detail {

template <class Entry, class WriteEntry>
bool writeList(ACE_OutputCDR& out, const std::vector<Entry>& entries, WriteEntry writeEntry)
{
    if (!out.write_long(static_cast<ACE_CDR::Long>(entries.size())))
        return false;
    for (const Entry& entry : entries) {
        if (!writeEntry(out, entry))
            return false;
    }
    return true;
}

// Appends each decoded record, reading them through a cursor (the readers
// take a zephcomm::wire::CdrCursor&); on any failure the partly built list
// is discarded and the stream is left where it was.
template <class Entry, class ReadEntry>
bool readList(ACE_InputCDR& in, std::vector<Entry>& entries, ReadEntry readEntry)
{
    entries.clear();
    zephcomm::wire::CdrCursor cursor(in);
    int32_t count = 0;
    if (!cursor.readLong(count) || count < 0)
        return false;
    // Every record takes at least 4 bytes: a count beyond what is left is
    // refused before anything is reserved for it.
    if (static_cast<size_t>(count) > cursor.left() / 4)
        return false;
    // Records are decoded in place: growing the vector would move every
    // record read so far, and moving a short string copies it.
    entries.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        if (!readEntry(cursor, entries.emplace_back())) {
            entries.clear();
            return false;
        }
    }
    if (!cursor.finish(in)) {
        entries.clear();
        return false;
    }
    return true;
}

} // namespace rs::detail
