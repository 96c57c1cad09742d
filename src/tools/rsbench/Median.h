#pragma once
// Several runs of the same scenarios folded into one table: each row's
// figures are the medians of the runs that measured it, and its ratio is
// the median of the runs' own ratios (each taken side by side within its
// run), with their spread in the note.

#include "tools/rsbench/Report.h"

#include <vector>

namespace rsbench {

// The middle value (the mean of the two middle ones for an even count); empty for none.
std::optional<double> median(std::vector<double> values);

// One row per scenario, in the order the runs first show them.
Report medianOfRuns(const std::vector<Report>& runs);

} // namespace rsbench
