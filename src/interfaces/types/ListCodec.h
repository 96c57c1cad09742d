#pragma once
// Shared shape of the three list records on the wire: an int32 record count
// followed by the records. Internal to rs_types.

#include <ace/CDR_Stream.h>

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

// Appends each decoded record; on any failure the partly built list is
// discarded.
template <class Entry, class ReadEntry>
bool readList(ACE_InputCDR& in, std::vector<Entry>& entries, ReadEntry readEntry)
{
    entries.clear();
    ACE_CDR::Long count = 0;
    if (!in.read_long(count) || count < 0)
        return false;
    for (ACE_CDR::Long i = 0; i < count; ++i) {
        Entry entry;
        if (!readEntry(in, entry)) {
            entries.clear();
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

} // namespace rs::detail
