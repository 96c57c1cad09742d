#include "interfaces/types/DplStatusList.h"

#include "interfaces/types/ListCodec.h"
#include "zephcomm/wire/Cdr.h"

namespace rs {

using zephcomm::wire::writeString;

bool writeDplStatusList(ACE_OutputCDR& out, const DplStatusList& list)
{
    return detail::writeList(out, list.entries, [](ACE_OutputCDR& o, const DplStatusEntry& e) {
        return writeString(o, e.hostName) && writeString(o, e.message) && o.write_ulong(e.state);
    });
}

bool readDplStatusList(ACE_InputCDR& in, DplStatusList& list)
{
    return detail::readList(in, list.entries, [](zephcomm::wire::CdrCursor& i, DplStatusEntry& e) {
        return i.readString(e.hostName) && i.readString(e.message) && i.readULong(e.state);
    });
}

std::string dumpDplStatusList(const DplStatusList& list)
{
    std::string text = "Total Hosts =  '" + std::to_string(list.entries.size()) + "'";
    for (const DplStatusEntry& e : list.entries) {
        text += "\n\tHost        '" + e.hostName + "'";
        text += "\n\tState       '" + hostDeployStateText(e.state) + "'";
        if (!e.message.empty())
            text += "\n\tMessage     '" + e.message + "'";
    }
    return text;
}

} // namespace rs
