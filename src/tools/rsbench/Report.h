#pragma once
// The figures of one benchmark run: one row per scenario with our figure,
// the anchor's figure from the same run, their ratio and whether the ratio
// meets its target. Rendered as console lines and as a Markdown table.
//
// Threads: filled and read by the one thread that drives the run.

#include <optional>
#include <string>
#include <vector>

namespace rsbench {

// The bar a row must clear. `None` rows are informational.
struct Target {
    enum class Kind { None, RatioAtLeast, RatioAtMost, ValueAtMost };
    Kind kind = Kind::None;
    double limit = 0;

    static Target none() { return {}; }
    static Target ratioAtLeast(double limit) { return { Kind::RatioAtLeast, limit }; }
    static Target ratioAtMost(double limit) { return { Kind::RatioAtMost, limit }; }
    static Target valueAtMost(double limit) { return { Kind::ValueAtMost, limit }; }
};

// A figure with its unit ("req/s", "MiB/s", "s", "KiB").
struct Figure {
    double value = 0;
    std::string unit;
};

struct Row {
    std::string scenario;
    std::optional<Figure> ours; // empty: the measurement failed
    std::optional<Figure> anchor; // empty: no anchor (or it could not run)
    std::string anchorName; // what the anchor is ("redis PING_INLINE", "dd bs=4M")
    Target target;
    std::string note; // why a figure is missing, or how it was taken
    std::optional<double> medianRatio; // of repeated runs: the median of their ratios

    // ours / anchor, when both are there and the anchor is not zero (or the median ratio of the runs).
    std::optional<double> ratio() const;
    // Met, missed, or nothing to judge (no target, or a figure missing).
    std::optional<bool> met() const;
};

class Report {
public:
    void add(Row row);
    const std::vector<Row>& rows() const { return rows_; }
    // Rows with a target that is missed or could not be judged.
    int shortfalls() const;

    // One console line per row.
    static std::string line(const Row& row);
    // The whole run as a Markdown document: heading, context lines, table.
    std::string markdown(const std::string& title, const std::vector<std::string>& context) const;

private:
    std::vector<Row> rows_;
};

// A number with about three significant digits ("0.812", "98.4", "12345").
std::string formatNumber(double value);
std::string describeTarget(const Target& target, const std::string& unit);

} // namespace rsbench
