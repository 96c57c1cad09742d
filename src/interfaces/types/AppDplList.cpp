#include "interfaces/types/AppDplList.h"

#include "interfaces/types/ListCodec.h"
#include "zephcomm/wire/Cdr.h"

namespace rs {

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
    return detail::readList(in, list.entries, [](zephcomm::wire::CdrCursor& i, AppDplEntry& e) {
        return i.readString(e.packageName) && i.readString(e.packageType) && i.readString(e.consumer)
            && i.readString(e.owner) && i.readString(e.fileName) && i.readULong(e.fileSize)
            && i.readString(e.reserved) && i.readULong(e.addTime);
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
