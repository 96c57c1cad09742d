// Fuzz target: a module directory's ".index" file as found on disk. Every
// query runs over the parsed file; then an entry of a name that occurs once
// is written back and must read back unchanged.

#include "FuzzSupport.h"

#include "rs/repository/IndexFile.h"

#include <string>
#include <vector>

namespace {

void queryEverything(const kav::IndexFile& index)
{
    fuzz::check(index.getNumEntries() >= 0, "negative entry count");
    const std::vector<kav::ModuleIndexEntry> all = index.getAllEntries();
    std::vector<std::string> names;
    index.getPackageNameList(names);
    fuzz::check(names.size() == static_cast<size_t>(index.getNumEntries()), "name list and count differ");
    for (const std::string& name : names) {
        kav::ModuleIndexEntry entry;
        if (index.getServiceEntryByName(name, entry) == 0)
            fuzz::check(entry.moduleName == name, "look-up found another entry");
        (void)index.getVersionByName(name);
        (void)index.getLinkCountByName(name);
        if (!name.empty() && index.doesEntryExist(name))
            fuzz::check(!index.getEntryAnyCase(name).empty(), "an existing entry is missing ignoring case");
        (void)index.doesEntryExistAnyOS(name);
    }
}

bool occursOnce(const std::vector<std::string>& names, const std::string& name)
{
    size_t count = 0;
    for (const std::string& n : names)
        count += n == name;
    return count == 1;
}

bool hasReturn(const kav::ModuleIndexEntry& e)
{
    std::string all = e.moduleName + e.version + e.fileName + e.owner;
    for (const std::string& app : e.linkedApps)
        all += app;
    return all.find('\r') != std::string::npos;
}

size_t namedEntries(const kav::IndexFile& index)
{
    std::vector<std::string> names;
    index.getPackageNameList(names);
    size_t named = 0;
    for (const std::string& name : names)
        named += !name.empty();
    return named;
}

// An entry whose link count matches its links is what the service writes;
// only such an entry can be expected to come back unchanged.
void checkRewrite(kav::IndexFile& index, const std::string& directory)
{
    std::vector<std::string> names;
    index.getPackageNameList(names);
    for (const std::string& name : names) {
        kav::ModuleIndexEntry entry;
        if (name.empty() || !occursOnce(names, name) || index.getServiceEntryByName(name, entry) != 0)
            continue;
        if (entry.linkCount < 0 || static_cast<size_t>(entry.linkCount) != entry.linkedApps.size())
            continue;
        // A carriage return is a line end to the reader; the service never writes one.
        if (hasReturn(entry))
            continue;
        index.addServiceEntry(entry);
        fuzz::check(index.writeServiceFile() == 0, "the index cannot be written");
        kav::IndexFile reread(directory);
        kav::ModuleIndexEntry back;
        fuzz::check(reread.getServiceEntryByName(name, back) == 0, "a written entry is gone");
        fuzz::check(back.version == entry.version && back.fileName == entry.fileName
                && back.addTime == entry.addTime && back.owner == entry.owner && back.deleted == entry.deleted
                && back.fileSize == entry.fileSize && back.linkCount == entry.linkCount
                && back.linkedApps == entry.linkedApps,
            "a written entry reads back changed");
        // Blank lines are not written back; every entry with a name is.
        fuzz::check(namedEntries(reread) == namedEntries(index), "rewriting changed the named entries");
        return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fuzz::ScratchDirectory& scratch = fuzz::ScratchDirectory::instance();
    scratch.writeFile(kav::IndexFile::kFileName, std::string_view(reinterpret_cast<const char*>(data), size));
    kav::IndexFile index(scratch.path());
    queryEverything(index);
    checkRewrite(index, scratch.path());
    return 0;
}
