#include "interfaces/types/AppDplList.h"

#include "interfaces/types/ListCodec.h"
#include "zephcomm/wire/Cdr.h"

namespace rs {

using zephcomm::wire::readString;
using zephcomm::wire::writeString;

namespace {
constexpr std::string_view kTypeSeparator = ".type_";
} // namespace

void AppDplEntry::setStoredName(std::string_view storedName)
{
    const size_t at = storedName.find(kTypeSeparator);
    if (at == std::string_view::npos) {
        packageName = storedName;
        packageType.clear();
        return;
    }
    packageName = storedName.substr(0, at);
    packageType = storedName.substr(at + kTypeSeparator.size());
}

bool writeAppDplList(ACE_OutputCDR& out, const AppDplList& list)
{
    return detail::writeList(out, list.entries, [](ACE_OutputCDR& o, const AppDplEntry& e) {
        return writeString(o, e.packageName) && writeString(o, e.packageType) && writeString(o, e.consumer)
            && writeString(o, e.owner) && writeString(o, e.fileName) && o.write_ulong(e.fileSize)
            && writeString(o, e.reserved) && o.write_ulong(e.addTime);
    });
}

bool readAppDplList(ACE_InputCDR& in, AppDplList& list)
{
    return detail::readList(in, list.entries, [](ACE_InputCDR& i, AppDplEntry& e) {
        ACE_CDR::ULong fileSize = 0;
        ACE_CDR::ULong addTime = 0;
        const bool ok = readString(i, e.packageName) && readString(i, e.packageType)
            && readString(i, e.consumer) && readString(i, e.owner) && readString(i, e.fileName)
            && i.read_ulong(fileSize) && readString(i, e.reserved) && i.read_ulong(addTime);
        e.fileSize = fileSize;
        e.addTime = addTime;
        return ok;
    });
}

std::string dumpAppDplList(const AppDplList& list)
{
    std::string text = "Total Packages =  '" + std::to_string(list.entries.size()) + "'";
    for (const AppDplEntry& e : list.entries) {
        text += "\n\tPackage     '" + e.packageName + "'";
        text += "\n\tType        '" + e.packageType + "'";
        text += "\n\tFile        '" + e.fileName + "'";
    }
    return text;
}

} // namespace rs
