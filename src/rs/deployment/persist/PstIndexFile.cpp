#include "rs/deployment/persist/PstIndexFile.h"

#include "common/Loggers.h"
#include "rs/repository/LeadingDigits.h"
#include "rs/repository/dplfileutils.h"

#include "common/KavTraceDebugger.h"

#include <log4cxx/logger.h>

namespace rs {

namespace {

log4cxx::LoggerPtr& logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kIndexFile);
    return log;
}

// Fields of a line split at every "|"; empty fields (an empty error text) are kept.
std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t bar = line.find('|', start);
        fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos)
            return fields;
        start = bar + 1;
    }
}

constexpr size_t kFieldsPerHost = 4;

// An error text is one field of one line: separators and line ends inside it
// would split the line, so they become blanks.
std::string asField(std::string text)
{
    for (char& c : text) {
        if (c == '|' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

} // namespace

PstIndexFile::PstIndexFile(std::string directory)
    : directory_(std::move(directory))
{
    readServiceFile();
}

std::string PstIndexFile::path() const
{
    return directory_ + "/" + kFileName;
}

int PstIndexFile::readServiceFile()
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::readServiceFile()");
    if (directory_.empty())
        return -1;
    unreadable_ = rsmanagerutils::readLines(path(), lines_) == rsmanagerutils::LineFile::Unreadable;
    if (unreadable_)
        LOG4CXX_WARN(logger(),
            "State file " << path() << " cannot be read (" << rsmanagerutils::lastFailureText()
                          << "): it is taken as empty and not changed");
    return 0;
}

int PstIndexFile::writeServiceFile()
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::writeServiceFile()");
    if (directory_.empty())
        return -1;
    if (unreadable_) {
        // Its lines were never read: writing would drop every package but the changed one.
        LOG4CXX_ERROR(logger(), "Not writing state file " << path() << ": it could not be read");
        return -1;
    }
    if (rsmanagerutils::writeLinesToFile(path(), lines_) != 0) {
        LOG4CXX_WARN(logger(),
            "State file " << path() << " not written (" << rsmanagerutils::lastFailureText()
                          << "): the lines keep the change for the next write");
        return -1;
    }
    return 0;
}

std::string PstIndexFile::getNameFromEntry(const std::string& line)
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::getNameFromEntry()");
    size_t bar = line.find('|');
    return bar == std::string::npos ? std::string() : line.substr(0, bar);
}

void PstIndexFile::getPackageNameList(std::vector<std::string>& names) const
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::getPackageNameList()");
    for (const auto& line : lines_)
        names.push_back(getNameFromEntry(line));
}

size_t PstIndexFile::findLine(const std::string& package) const
{
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (getNameFromEntry(lines_[i]) == package)
            return i;
    }
    return std::string::npos;
}

int PstIndexFile::removeServiceEntryByName(const std::string& package)
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::removeServiceEntryByName()");
    if (size_t at = findLine(package); at != std::string::npos)
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at));
    return 0;
}

int PstIndexFile::getServiceEntryByName(const std::string& package, HostStatusMap& hosts) const
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::getServiceEntryByName()");
    size_t at = findLine(package);
    if (at == std::string::npos)
        return -1;
    std::vector<std::string> fields = splitFields(lines_[at]);
    const size_t count = fields.size() > 1 ? kav::leadingDigits<size_t>(fields[1]) : 0;
    // A line cut short keeps the complete host groups it still has.
    for (size_t i = 0; i < count && 2 + (i + 1) * kFieldsPerHost <= fields.size(); ++i) {
        const std::string* group = &fields[2 + i * kFieldsPerHost];
        HostStatusEntry entry;
        entry.stamp = kav::leadingDigits<int32_t>(group[1]);
        entry.state = kav::leadingDigits<uint32_t>(group[2]);
        entry.errorText = group[3];
        hosts[group[0]] = std::move(entry);
    }
    return 0;
}

void PstIndexFile::getServiceEntryByName(std::map<std::string, HostStatusMap>& table) const
{
    std::vector<std::string> packages;
    getPackageNameList(packages);
    for (const auto& package : packages) {
        HostStatusMap hosts;
        getServiceEntryByName(package, hosts);
        table[package] = std::move(hosts);
    }
}

int PstIndexFile::addServiceEntry(const std::string& package, const HostStatusMap& hosts)
{
    kav::KavTraceDebugger trace(logger(), "PstIndexFile::addServiceEntry()");
    std::string line = package + "|" + std::to_string(hosts.size());
    for (const auto& [host, entry] : hosts) {
        line += "|" + host + "|" + std::to_string(entry.stamp) + "|" + std::to_string(entry.state) + "|"
            + asField(entry.errorText);
    }
    removeServiceEntryByName(package);
    lines_.push_back(std::move(line));
    return 0;
}

int PstIndexFile::addServiceEntry(const std::string& package, const std::string& host, int32_t stamp,
    uint32_t state, const std::string& errorText)
{
    HostStatusMap hosts;
    getServiceEntryByName(package, hosts);
    HostStatusEntry& entry = hosts[host];
    entry.stamp = stamp;
    entry.state = state;
    entry.errorText = errorText;
    entry.resource = {};
    return addServiceEntry(package, hosts);
}

} // namespace rs
