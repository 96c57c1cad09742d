#include "interfaces/types/RepositoryAppList.h"

#include "interfaces/types/ListCodec.h"
#include "zephcomm/wire/Cdr.h"

#include <ace/Message_Block.h>

#include <ctime>

namespace rs {

using zephcomm::wire::writeString;

namespace {

bool writeEntry(ACE_OutputCDR& o, const RepositoryAppEntry& e)
{
    if (!writeString(o, e.version) || !writeString(o, e.moduleName)
        || !o.write_long(static_cast<ACE_CDR::Long>(e.linkedApps.size())))
        return false;
    for (const std::string& app : e.linkedApps) {
        if (!writeString(o, app))
            return false;
    }
    return writeString(o, e.consumer) && writeString(o, e.owner) && writeString(o, e.fileName)
        && o.write_ulong(e.fileSize) && o.write_ulong(e.addTime) && o.write_ulong(e.deleted ? 1 : 0);
}

bool readLinkedApps(zephcomm::wire::CdrCursor& i, std::vector<std::string>& apps)
{
    int32_t count = 0;
    // Each name takes at least 5 bytes, so a count beyond that is a lie;
    // refuse it before reserving anything.
    if (!i.readLong(count) || count < 0 || static_cast<size_t>(count) > i.left() / 5)
        return false;
    apps.resize(static_cast<size_t>(count));
    for (std::string& app : apps) {
        if (!i.readString(app))
            return false;
    }
    return true;
}

bool readEntry(zephcomm::wire::CdrCursor& i, RepositoryAppEntry& e)
{
    uint32_t deleted = 0;
    const bool ok = i.readString(e.version) && i.readString(e.moduleName) && readLinkedApps(i, e.linkedApps)
        && i.readString(e.consumer) && i.readString(e.owner) && i.readString(e.fileName)
        && i.readULong(e.fileSize) && i.readULong(e.addTime) && i.readULong(deleted);
    e.deleted = deleted != 0;
    return ok;
}

std::string localTimeText(uint32_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    char text[32] = {};
    // ctime_r's form, newline included: the record's last line ends with it.
    if (!ctime_r(&when, text))
        return std::to_string(seconds) + "\n";
    return text;
}

} // namespace

void RepositoryAppList::seal()
{
    wire_.reset();
    ACE_OutputCDR out;
    if (!detail::writeList(out, entries_, writeEntry))
        return;
    std::string bytes;
    bytes.reserve(out.total_length());
    for (const ACE_Message_Block* block = out.begin(); block != nullptr; block = block->cont())
        bytes.append(block->rd_ptr(), block->length());
    wire_ = std::make_shared<const std::string>(std::move(bytes));
}

bool writeRepositoryAppList(ACE_OutputCDR& out, const RepositoryAppList& list)
{
    const std::string* wire = list.wire();
    if (wire == nullptr || out.do_byte_swap())
        return detail::writeList(out, list.entries(), writeEntry);
    // Nothing in a list needs more than 4-byte alignment, so from a 4-byte
    // boundary the bytes come out as encoding the records here would give.
    return out.align_write_ptr(4) == 0
        && out.write_octet_array(reinterpret_cast<const ACE_CDR::Octet*>(wire->data()), wire->size());
}

bool readRepositoryAppList(ACE_InputCDR& in, RepositoryAppList& list)
{
    std::vector<RepositoryAppEntry> entries;
    list.clear();
    if (!detail::readList(in, entries, readEntry))
        return false;
    list.assign(std::move(entries));
    return true;
}

std::string dumpRepositoryAppList(const RepositoryAppList& list)
{
    std::string text = "Total Packages =  '" + std::to_string(list.count()) + "\n";
    for (const RepositoryAppEntry& e : list.entries()) {
        text += "\tPackage     '" + e.moduleName + "'\n";
        text += "\tModule      '" + e.fileName + "'\n";
        text += "\tCreated at  '" + localTimeText(e.addTime);
    }
    return text;
}

} // namespace rs
