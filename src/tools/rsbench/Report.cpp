#include "tools/rsbench/Report.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace rsbench {

std::optional<double> Row::ratio() const
{
    if (medianRatio)
        return medianRatio;
    if (!ours || !anchor || anchor->value == 0)
        return std::nullopt;
    return ours->value / anchor->value;
}

std::optional<bool> Row::met() const
{
    switch (target.kind) {
    case Target::Kind::None:
        return std::nullopt;
    case Target::Kind::ValueAtMost:
        if (!ours)
            return std::nullopt;
        return ours->value <= target.limit;
    case Target::Kind::RatioAtLeast:
    case Target::Kind::RatioAtMost: {
        auto r = ratio();
        if (!r)
            return std::nullopt;
        return target.kind == Target::Kind::RatioAtLeast ? *r >= target.limit : *r <= target.limit;
    }
    }
    return std::nullopt;
}

void Report::add(Row row)
{
    rows_.push_back(std::move(row));
}

int Report::shortfalls() const
{
    int count = 0;
    for (const Row& row : rows_)
        if (row.target.kind != Target::Kind::None && row.met() != true)
            ++count;
    return count;
}

std::string formatNumber(double value)
{
    char text[32];
    const double magnitude = std::fabs(value);
    if (magnitude >= 100 || magnitude == 0)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (magnitude >= 10)
        std::snprintf(text, sizeof text, "%.1f", value);
    else if (magnitude >= 1)
        std::snprintf(text, sizeof text, "%.2f", value);
    else
        std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string describeTarget(const Target& target, const std::string& unit)
{
    switch (target.kind) {
    case Target::Kind::None:
        return "";
    case Target::Kind::RatioAtLeast:
        return "ratio >= " + formatNumber(target.limit);
    case Target::Kind::RatioAtMost:
        return "ratio <= " + formatNumber(target.limit);
    case Target::Kind::ValueAtMost:
        return "<= " + formatNumber(target.limit) + (unit.empty() ? "" : " " + unit);
    }
    return "";
}

namespace {

std::string figureText(const std::optional<Figure>& figure)
{
    if (!figure)
        return "-";
    return formatNumber(figure->value) + (figure->unit.empty() ? "" : " " + figure->unit);
}

std::string metText(const Row& row)
{
    if (row.target.kind == Target::Kind::None)
        return "";
    auto met = row.met();
    if (!met)
        return "not measured";
    return *met ? "yes" : "NO";
}

std::string anchorText(const Row& row)
{
    std::string text = figureText(row.anchor);
    if (!row.anchorName.empty())
        text += row.anchor ? " (" + row.anchorName + ")" : " (" + row.anchorName + " unavailable)";
    return text;
}

// Markdown cells must not break the table.
std::string cell(std::string text)
{
    for (char& c : text)
        if (c == '|' || c == '\n')
            c = c == '|' ? '/' : ' ';
    return text;
}

} // namespace

std::string Report::line(const Row& row)
{
    std::ostringstream out;
    out << row.scenario << ": ours " << figureText(row.ours);
    if (row.anchor || !row.anchorName.empty())
        out << ", anchor " << anchorText(row);
    if (auto r = row.ratio())
        out << ", ratio " << formatNumber(*r);
    if (row.target.kind != Target::Kind::None)
        out << ", target " << describeTarget(row.target, row.ours ? row.ours->unit : "") << ": "
            << metText(row);
    if (!row.note.empty())
        out << " [" << row.note << "]";
    return out.str();
}

std::string Report::markdown(const std::string& title, const std::vector<std::string>& context) const
{
    std::ostringstream out;
    out << "# " << title << "\n\n";
    for (const std::string& item : context)
        out << "- " << item << "\n";
    if (!context.empty())
        out << "\n";
    out << "| scenario | ours | anchor | ratio | target | met? |\n";
    out << "|---|---|---|---|---|---|\n";
    for (const Row& row : rows_) {
        auto r = row.ratio();
        std::string scenario = row.scenario + (row.note.empty() ? "" : " (" + row.note + ")");
        out << "| " << cell(scenario) << " | " << cell(figureText(row.ours)) << " | " << cell(anchorText(row))
            << " | " << (r ? formatNumber(*r) : "") << " | "
            << cell(describeTarget(row.target, row.ours ? row.ours->unit : "")) << " | " << metText(row)
            << " |\n";
    }
    out << "\n" << shortfalls() << " target(s) not met.\n";
    return out.str();
}

} // namespace rsbench
