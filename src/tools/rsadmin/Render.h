#pragma once
// How rsadmin shows what the service answered: aligned text tables for
// people, JSON for scripts (--json).
//
// Plain functions and a value type; not synchronised.

#include "interfaces/types/AppDplList.h"
#include "interfaces/types/DplStatusList.h"
#include "interfaces/types/RepositoryAppList.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rsadmin {

class Table {
public:
    explicit Table(std::vector<std::string> headers)
        : headers_(std::move(headers))
    {
    }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    size_t rows() const { return rows_.size(); }
    // Columns padded to their widest cell, two blanks apart, no trailing blanks.
    void print(std::ostream& out) const;

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// The items with `separator` between them.
std::string joined(const std::vector<std::string>& items, const std::string& separator);
// "1.5 MiB" and the like; whole bytes below 1 KiB ("678 B").
std::string humanBytes(double bytes);
// "2026-12-06 02:30:00" in UTC, "-" for 0.
std::string formatTime(uint32_t secondsSinceEpoch);
// The display name of a deployment state ("-" for none, "UNKNOWN(42)" for a
// value outside the table).
std::string stateName(uint32_t state);
// INSTALLED, UNINSTALLED, ERROR, CANCELLED, and any value beyond them.
bool isFinalState(uint32_t state);
bool allFinal(const rs::DplStatusList& list);

nlohmann::json toJson(const rs::RepositoryAppList& list);
nlohmann::json toJson(const rs::AppDplList& list);
nlohmann::json toJson(const rs::DplStatusList& list);

Table moduleTable(const rs::RepositoryAppList& list);
Table packageTable(const rs::AppDplList& list);
Table statusTable(const rs::DplStatusList& list);

// The readings of `package status --watch` as text. On a terminal every
// reading replaces the screen. Elsewhere (a pipe, a log) the first reading
// is a table and every later one adds a line per host whose state or
// message changed ("node1  RUNNING -> INSTALLED"), so a log holds each
// change once. A reading of nothing means the package has no deployment
// state yet. Single-threaded.
class WatchDisplay {
public:
    WatchDisplay(std::ostream& out, bool terminal, std::string package);
    void show(const std::optional<rs::DplStatusList>& reading);

private:
    void showWaiting();
    void showChanges(const rs::DplStatusList& list);

    std::ostream& out_;
    bool terminal_;
    std::string package_;
    bool waitingShown_ = false;
    bool tableShown_ = false;
    std::map<std::string, std::pair<uint32_t, std::string>> last_; // host -> state, message
};

} // namespace rsadmin
