#include "tools/rsbench/Median.h"

#include <algorithm>
#include <cmath>

namespace rsbench {

std::optional<double> median(std::vector<double> values)
{
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

namespace {

std::optional<Figure> medianFigure(const std::vector<const Row*>& rows, std::optional<Figure> Row::*figure)
{
    std::vector<double> values;
    std::string unit;
    for (const Row* row : rows)
        if (const auto& f = row->*figure) {
            values.push_back(f->value);
            unit = f->unit;
        }
    if (auto middle = median(values))
        return Figure { *middle, unit };
    return std::nullopt;
}

std::vector<double> valuesOf(const std::vector<const Row*>& rows, std::optional<double> (*value)(const Row&))
{
    std::vector<double> values;
    for (const Row* row : rows)
        if (auto v = value(*row))
            values.push_back(*v);
    return values;
}

std::optional<double> oursOf(const Row& row)
{
    return row.ours ? std::optional(row.ours->value) : std::nullopt;
}

std::optional<double> ratioOf(const Row& row)
{
    return row.ratio();
}

Row medianRow(const std::vector<const Row*>& rows, size_t runs)
{
    Row row = *rows.front();
    row.ours = medianFigure(rows, &Row::ours);
    row.anchor = medianFigure(rows, &Row::anchor);
    const std::vector<double> ratios = valuesOf(rows, ratioOf);
    row.medianRatio = median(ratios);
    // The note of the run nearest the median ratio: the figures it explains.
    const Row* typical = rows.front();
    for (const Row* run : rows)
        if (row.medianRatio && run->ratio()
            && (!typical->ratio()
                || std::fabs(*run->ratio() - *row.medianRatio)
                    < std::fabs(*typical->ratio() - *row.medianRatio)))
            typical = run;
    row.note = typical->note;

    const std::vector<double> ours = valuesOf(rows, oursOf);
    const std::vector<double>& spread = ratios.empty() ? ours : ratios;
    std::string text;
    if (spread.size() > 1) {
        const auto [low, high] = std::minmax_element(spread.begin(), spread.end());
        text = (ratios.empty() ? "" : "ratio ") + formatNumber(*low) + "-" + formatNumber(*high) + " in "
            + std::to_string(spread.size()) + " runs";
    }
    if (ours.size() < runs)
        text += (text.empty() ? "" : ", ") + std::string("measured in ") + std::to_string(ours.size())
            + " of " + std::to_string(runs) + " runs";
    if (!text.empty())
        row.note += (row.note.empty() ? "" : "; ") + text;
    return row;
}

} // namespace

Report medianOfRuns(const std::vector<Report>& runs)
{
    std::vector<std::string> order;
    std::vector<std::vector<const Row*>> byScenario;
    for (const Report& run : runs)
        for (const Row& row : run.rows()) {
            auto at = std::find(order.begin(), order.end(), row.scenario);
            if (at == order.end()) {
                order.push_back(row.scenario);
                byScenario.emplace_back();
                at = order.end() - 1;
            }
            byScenario[static_cast<size_t>(at - order.begin())].push_back(&row);
        }
    Report report;
    for (const auto& rows : byScenario)
        report.add(runs.size() == 1 ? *rows.front() : medianRow(rows, runs.size()));
    return report;
}

} // namespace rsbench
