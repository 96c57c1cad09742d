#include "rs/events/EventTable.h"

#include <array>
#include <string>

namespace kav::events {

namespace {

constexpr int32_t kFirstRowCode = 75000;
constexpr int32_t kError = 2;
constexpr int32_t kInformation = 4;

// Names of the rows of the other daemons, by code range.
std::string otherDaemonEventName(int32_t code)
{
    if (code <= 75020)
        return "EVENT_NARV_SESSION_" + std::to_string(code);
    if (code <= 75040)
        return "EVENT_NARV_SERVICE_" + std::to_string(code);
    return "EVENT_NARV_DATASTORE_" + std::to_string(code);
}

std::string nameOf(int32_t code)
{
    switch (code) {
    case 75061:
        return "EVENT_NARV_RS_EXIT_PORT";
    case 75062:
        return "EVENT_NARV_RS_EXIT_STORAGE_DIR";
    case 75063:
        return "EVENT_NARV_RS_STARTED";
    default:
        return otherDaemonEventName(code);
    }
}

int32_t defaultLevelOf(int32_t code)
{
    return code == 75061 || code == 75062 ? kError : kInformation;
}

struct Table {
    std::array<std::string, kRowCount> names;
    std::array<event_def, kRowCount> rows {};

    Table()
    {
        for (int i = 0; i < kRowCount; ++i) {
            const int32_t code = kFirstRowCode + i;
            names[i] = nameOf(code);
            rows[i] = event_def { "KAV", code, names[i].c_str(), defaultLevelOf(code), 1, "", 1 };
        }
    }
};

const Table& theTable()
{
    static const Table instance;
    return instance;
}

} // namespace

const event_def* table()
{
    return theTable().rows.data();
}

std::optional<int32_t> levelOf(int32_t code)
{
    if (code < kFirstRowCode || code >= kFirstRowCode + kRowCount)
        return std::nullopt;
    return theTable().rows[code - kFirstRowCode].level;
}

} // namespace kav::events
