#include "tools/rsadmin/Render.h"

#include "interfaces/types/HostDeployState.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <ostream>

namespace rsadmin {

void Table::print(std::ostream& out) const
{
    std::vector<size_t> widths(headers_.size());
    auto widen = [&widths](const std::vector<std::string>& cells) {
        for (size_t column = 0; column < cells.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], cells[column].size());
    };
    widen(headers_);
    for (const auto& row : rows_)
        widen(row);
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t column = 0; column < widths.size(); ++column) {
            const std::string cell = column < cells.size() ? cells[column] : "";
            line += cell;
            if (column + 1 < widths.size())
                line += std::string(widths[column] - cell.size() + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    };
    printRow(headers_);
    for (const auto& row : rows_)
        printRow(row);
}

std::string humanBytes(double bytes)
{
    static const char* const units[] = { "B", "KiB", "MiB", "GiB", "TiB" };
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string formatTime(uint32_t secondsSinceEpoch)
{
    if (secondsSinceEpoch == 0)
        return "-";
    const std::time_t time = secondsSinceEpoch;
    std::tm parts {};
    ::gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string stateName(uint32_t state)
{
    const std::string text = rs::hostDeployStateText(state);
    return text.empty() ? "-" : text;
}

bool isFinalState(uint32_t state)
{
    // A value beyond CANCELLED is final as well: the service's installer
    // lets such a host be, so a watch would wait for it in vain.
    return state >= rs::HOST_INSTALLED;
}

bool allFinal(const rs::DplStatusList& list)
{
    return std::all_of(list.entries.begin(), list.entries.end(),
        [](const rs::DplStatusEntry& entry) { return isFinalState(entry.state); });
}

nlohmann::json toJson(const rs::RepositoryAppList& list)
{
    nlohmann::json modules = nlohmann::json::array();
    for (const auto& entry : list.entries())
        modules.push_back({ { "name", entry.moduleName }, { "version", entry.version },
            { "consumer", entry.consumer }, { "owner", entry.owner }, { "fileName", entry.fileName },
            { "fileSize", entry.fileSize }, { "addTime", entry.addTime }, { "deleted", entry.deleted },
            { "linkedApplications", entry.linkedApps } });
    return modules;
}

nlohmann::json toJson(const rs::AppDplList& list)
{
    nlohmann::json packages = nlohmann::json::array();
    for (const auto& entry : list.entries)
        packages.push_back({ { "name", entry.packageName }, { "type", entry.packageType },
            { "consumer", entry.consumer }, { "owner", entry.owner }, { "fileName", entry.fileName },
            { "fileSize", entry.fileSize }, { "addTime", entry.addTime } });
    return packages;
}

nlohmann::json toJson(const rs::DplStatusList& list)
{
    nlohmann::json hosts = nlohmann::json::array();
    for (const auto& entry : list.entries)
        hosts.push_back(
            { { "host", entry.hostName }, { "state", entry.state }, { "stateName", stateName(entry.state) },
                { "final", isFinalState(entry.state) }, { "message", entry.message } });
    return hosts;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

namespace {

std::string orDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

} // namespace

Table moduleTable(const rs::RepositoryAppList& list)
{
    Table table(
        { "MODULE", "VERSION", "CONSUMER", "OWNER", "FILE", "SIZE", "ADDED (UTC)", "LINKS", "STATE" });
    for (const auto& entry : list.entries())
        table.add({ entry.moduleName, entry.version, orDash(entry.consumer), orDash(entry.owner),
            orDash(entry.fileName), humanBytes(entry.fileSize), formatTime(entry.addTime),
            orDash(joined(entry.linkedApps, ",")), entry.deleted ? "removed" : "stored" });
    return table;
}

Table packageTable(const rs::AppDplList& list)
{
    Table table({ "PACKAGE", "TYPE", "OWNER", "FILE", "SIZE", "ADDED (UTC)" });
    for (const auto& entry : list.entries)
        table.add({ entry.packageName, orDash(entry.packageType), orDash(entry.owner), orDash(entry.fileName),
            humanBytes(entry.fileSize), formatTime(entry.addTime) });
    return table;
}

Table statusTable(const rs::DplStatusList& list)
{
    Table table({ "HOST", "STATE", "MESSAGE" });
    for (const auto& entry : list.entries)
        table.add({ entry.hostName, stateName(entry.state), entry.message });
    return table;
}

WatchDisplay::WatchDisplay(std::ostream& out, bool terminal, std::string package)
    : out_(out)
    , terminal_(terminal)
    , package_(std::move(package))
{
}

void WatchDisplay::show(const std::optional<rs::DplStatusList>& reading)
{
    if (terminal_)
        out_ << "\x1b[H\x1b[2J"; // redraw in place
    if (!reading)
        showWaiting();
    else if (terminal_)
        statusTable(*reading).print(out_);
    else
        showChanges(*reading);
    out_ << std::flush;
}

void WatchDisplay::showWaiting()
{
    if (waitingShown_ && !terminal_)
        return;
    out_ << package_ << " has no deployment state yet: waiting for a run to register its hosts.\n";
    waitingShown_ = true;
}

void WatchDisplay::showChanges(const rs::DplStatusList& list)
{
    if (!tableShown_)
        statusTable(list).print(out_);
    for (const auto& entry : list.entries) {
        auto known = last_.find(entry.hostName);
        const bool changed
            = known == last_.end() || known->second != std::make_pair(entry.state, entry.message);
        if (tableShown_ && changed) {
            out_ << entry.hostName << "  ";
            if (known != last_.end())
                out_ << stateName(known->second.first) << " -> ";
            out_ << stateName(entry.state) << (entry.message.empty() ? "" : ": " + entry.message) << "\n";
        }
        last_[entry.hostName] = { entry.state, entry.message };
    }
    tableShown_ = true;
}

} // namespace rsadmin
