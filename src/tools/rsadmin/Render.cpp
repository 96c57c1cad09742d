#include "tools/rsadmin/Render.h"

#include "interfaces/types/HostDeployState.h"

#include <algorithm>
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

namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : ",") + name;
    return text.empty() ? "-" : text;
}

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
            orDash(entry.fileName), std::to_string(entry.fileSize), formatTime(entry.addTime),
            joined(entry.linkedApps), entry.deleted ? "removed" : "stored" });
    return table;
}

Table packageTable(const rs::AppDplList& list)
{
    Table table({ "PACKAGE", "TYPE", "OWNER", "FILE", "SIZE", "ADDED (UTC)" });
    for (const auto& entry : list.entries)
        table.add({ entry.packageName, orDash(entry.packageType), orDash(entry.owner), orDash(entry.fileName),
            std::to_string(entry.fileSize), formatTime(entry.addTime) });
    return table;
}

Table statusTable(const rs::DplStatusList& list)
{
    Table table({ "HOST", "STATE", "MESSAGE" });
    for (const auto& entry : list.entries)
        table.add({ entry.hostName, stateName(entry.state), entry.message });
    return table;
}

} // namespace rsadmin
