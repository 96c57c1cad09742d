#include "rs/repository/IndexFile.h"

#include "common/KavTraceDebugger.h"
#include "common/Loggers.h"
#include "rs/repository/IndexCache.h"
#include "rs/repository/LeadingDigits.h"
#include "rs/repository/dplfileutils.h"

#include <log4cxx/logger.h>

#include <algorithm>
#include <limits>

namespace kav {
namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kIndexFile);
    return instance;
}

constexpr char kSeparator = '|';
constexpr size_t kFixedFields = 8;

int32_t toInt(std::string_view text)
{
    return leadingDigits<int32_t>(text);
}

std::vector<std::string> splitFields(const std::string& entry)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t bar = entry.find(kSeparator, start);
        fields.push_back(entry.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos)
            return fields;
        start = bar + 1;
    }
}

bool equalsIgnoringAsciiCase(const std::string& a, const std::string& b)
{
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string nameWithoutType(const std::string& name)
{
    size_t type = name.find(".type_");
    return type == std::string::npos ? name : name.substr(0, type);
}

} // namespace

IndexFile::IndexFile(std::string directory)
    : directory_(std::move(directory))
{
    readServiceFile();
}

std::string IndexFile::path() const
{
    return directory_ + "/" + kFileName;
}

void IndexFile::appendLine(std::string text)
{
    size_t bar = text.find(kSeparator);
    std::string name = bar == std::string::npos ? std::string() : text.substr(0, bar);
    auto position = entries_.insert(entries_.end(), Line { std::move(text), name });
    // Empty lines and lines without a separator carry no name; nothing matches them.
    if (!name.empty())
        byName_[name].push_back(position);
}

const IndexFile::Line* IndexFile::findEntry(const std::string& name) const
{
    auto found = byName_.find(name);
    return found == byName_.end() ? nullptr : &*found->second.front();
}

int IndexFile::readServiceFile()
{
    KavTraceDebugger trace(logger(), "IndexFile::readServiceFile()");
    if (directory_.empty())
        return -1;
    entries_.clear();
    byName_.clear();
    std::vector<std::string> lines;
    unreadable_ = rsmanagerutils::readLines(path(), lines) == rsmanagerutils::LineFile::Unreadable;
    if (unreadable_)
        LOG4CXX_WARN(
            logger(), "Index file " << path() << " cannot be read: it is listed as empty and not changed");
    // Sized once: growing the table line by line rehashes it again and again.
    byName_.reserve(lines.size());
    for (auto& line : lines)
        appendLine(std::move(line));
    return 0;
}

int IndexFile::writeServiceFile()
{
    KavTraceDebugger trace(logger(), "IndexFile::writeServiceFile()");
    if (directory_.empty())
        return -1;
    if (unreadable_) {
        // Its entries were never read: writing would drop every one of them.
        LOG4CXX_ERROR(logger(), "Not writing index file " << path() << ": it could not be read");
        return -1;
    }
    std::vector<std::string> lines;
    lines.reserve(entries_.size());
    for (const auto& line : entries_)
        lines.push_back(line.text);
    int result = rsmanagerutils::writeLinesToFile(path(), lines);
    // Also after a failure: the file may still have changed on the way.
    IndexCache::instance().invalidate(directory_);
    return result;
}

int IndexFile::getNumEntries() const
{
    KavTraceDebugger trace(logger(), "IndexFile::getNumEntries()");
    return static_cast<int>(entries_.size());
}

std::string IndexFile::getNameFromEntry(const std::string& entry) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getNameFromEntry()");
    size_t bar = entry.find(kSeparator);
    return bar == std::string::npos ? std::string() : entry.substr(0, bar);
}

bool IndexFile::getFlagFromEntry(const std::string& entry) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getFlagFromEntry()");
    size_t start = 0;
    for (int field = 0; field < 5; ++field) {
        size_t bar = entry.find(kSeparator, start);
        if (bar != std::string::npos)
            start = bar + 1;
    }
    return toInt(std::string_view(entry).substr(start)) != 0;
}

bool IndexFile::doesEntryExist(const std::string& name) const
{
    KavTraceDebugger trace(logger(), "IndexFile::doesEntryExist()");
    const Line* line = findEntry(name);
    return line && !getFlagFromEntry(line->text);
}

bool IndexFile::doesEntryExistAnyOS(const std::string& name) const
{
    KavTraceDebugger trace(logger(), "IndexFile::doesEntryExistAnyOS()");
    if (name.empty())
        return false;
    return std::any_of(entries_.begin(), entries_.end(),
        [&](const Line& line) { return nameWithoutType(line.name) == name && !getFlagFromEntry(line.text); });
}

std::string IndexFile::getEntryAnyCase(const std::string& name) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getEntryAnyCase()");
    if (name.empty())
        return {};
    for (const auto& line : entries_) {
        if (equalsIgnoringAsciiCase(line.name, name) && !getFlagFromEntry(line.text))
            return line.name;
    }
    return {};
}

std::string IndexFile::getVersionByName(const std::string& name) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getVersionByName()");
    const Line* line = findEntry(name);
    if (!line)
        return "0";
    std::vector<std::string> fields = splitFields(line->text);
    return fields.size() >= 3 ? fields[1] : "0";
}

std::string IndexFile::nextVersion(const std::string& name) const
{
    const uint64_t current = leadingDigits<uint64_t>(getVersionByName(name));
    // Only a hand-edited index reaches the largest version; it stays there.
    return std::to_string(current == std::numeric_limits<uint64_t>::max() ? current : current + 1);
}

void IndexFile::parseEntry(const std::string& text, ModuleIndexEntry& out)
{
    std::vector<std::string> fields = splitFields(text);
    fields.resize(std::max(fields.size(), kFixedFields));
    out.moduleName = fields[0];
    out.version = fields[1];
    out.fileName = fields[2];
    out.addTime = toInt(fields[3]);
    out.owner = fields[4];
    out.deleted = toInt(fields[5]) != 0;
    out.fileSize = toInt(fields[6]);
    out.linkCount = toInt(fields[7]);
    for (int32_t link = 0; link < out.linkCount && kFixedFields + link < fields.size(); ++link)
        out.linkedApps.push_back(fields[kFixedFields + link]);
}

int IndexFile::getServiceEntryByName(const std::string& name, ModuleIndexEntry& out) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getServiceEntryByName()");
    const Line* line = findEntry(name);
    if (!line)
        return -1;
    parseEntry(line->text, out);
    return 0;
}

int IndexFile::getServiceEntryByName(const std::string& name, std::string& version, std::string& fileName,
    int32_t& addTime, std::string& owner, bool& deleted, int32_t& fileSize, int32_t& linkCount,
    std::vector<std::string>& linkedApps) const
{
    ModuleIndexEntry entry;
    entry.linkedApps = std::move(linkedApps);
    int result = getServiceEntryByName(name, entry);
    if (result == 0) {
        version = entry.version;
        fileName = entry.fileName;
        addTime = entry.addTime;
        owner = entry.owner;
        deleted = entry.deleted;
        fileSize = entry.fileSize;
        linkCount = entry.linkCount;
    }
    linkedApps = std::move(entry.linkedApps);
    return result;
}

std::vector<ModuleIndexEntry> IndexFile::getAllEntries() const
{
    std::vector<ModuleIndexEntry> all;
    all.reserve(entries_.size());
    for (const auto& line : entries_) {
        if (line.name.empty())
            continue;
        parseEntry(line.text, all.emplace_back());
    }
    return all;
}

std::vector<ModuleIndexEntry> IndexFile::parseLines(const std::vector<std::string>& lines)
{
    std::vector<ModuleIndexEntry> all;
    all.reserve(lines.size());
    for (const auto& text : lines) {
        const size_t bar = text.find(kSeparator);
        if (bar == 0 || bar == std::string::npos)
            continue; // no name: nothing can match it
        parseEntry(text, all.emplace_back());
    }
    return all;
}

int IndexFile::getLinkCountByName(const std::string& name) const
{
    ModuleIndexEntry entry;
    getServiceEntryByName(name, entry);
    return entry.linkCount;
}

void IndexFile::getPackageNameList(std::vector<std::string>& names) const
{
    KavTraceDebugger trace(logger(), "IndexFile::getPackageNameList()");
    for (const auto& line : entries_)
        names.push_back(line.name);
}

int IndexFile::removeServiceEntryByName(const std::string& name)
{
    KavTraceDebugger trace(logger(), "IndexFile::removeServiceEntryByName()");
    auto found = byName_.find(name);
    if (found == byName_.end())
        return 0;
    entries_.erase(found->second.front());
    found->second.erase(found->second.begin());
    if (found->second.empty())
        byName_.erase(found);
    return 0;
}

int IndexFile::addServiceEntry(const std::string& moduleName, const std::string& version,
    const std::string& fileName, int32_t addTime, const std::string& owner, bool deleted, int32_t fileSize,
    int32_t linkCount, const std::vector<std::string>* linkedApps)
{
    KavTraceDebugger trace(logger(), "IndexFile::addServiceEntry()");
    std::string line = moduleName + kSeparator + version + kSeparator + fileName + kSeparator
        + std::to_string(addTime) + kSeparator + owner + kSeparator + (deleted ? "1" : "0") + kSeparator
        + std::to_string(fileSize) + kSeparator + std::to_string(linkCount);
    if (linkedApps) {
        for (const auto& app : *linkedApps)
            line.append(1, kSeparator).append(app);
    }
    removeServiceEntryByName(moduleName);
    appendLine(std::move(line));
    return 0;
}

int IndexFile::addServiceEntry(const ModuleIndexEntry& e)
{
    return addServiceEntry(e.moduleName, e.version, e.fileName, e.addTime, e.owner, e.deleted, e.fileSize,
        e.linkCount, &e.linkedApps);
}

int IndexFile::deleteServiceByName(const std::string& name)
{
    KavTraceDebugger trace(logger(), "IndexFile::deleteServiceByName()");
    ModuleIndexEntry entry;
    if (getServiceEntryByName(name, entry) != 0)
        return -1;
    entry.moduleName = name;
    entry.deleted = true;
    return addServiceEntry(entry);
}

} // namespace kav
