#pragma once
// The product's event table as registered with the event library: 66 rows,
// component "KAV", codes 75000 to 75065. Rows 75061 to 75063 are this
// service's; the others belong to the product's other daemons.

#include "platform/notev/notev.h"

#include <cstdint>
#include <optional>

namespace kav::events {

inline constexpr int kRowCount = 66;

// The rows; static storage, valid for the life of the process.
const event_def* table();

// The level of a code's row, or nothing when the table has no such code.
std::optional<int32_t> levelOf(int32_t code);

} // namespace kav::events
