#include "bench/report.h"

#include <algorithm>
#include <cstdarg>

namespace bench {

Summary Summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    summary.median =
        samples.size() % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
    summary.min = samples.front();
    summary.max = samples.back();
    return summary;
}

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

void Table::Heading(int number, std::string title) {
    groups_.push_back({.number = number, .title = std::to_string(number) + ". " + title});
}

void Table::Add(Row row) {
    if (groups_.empty()) {
        groups_.push_back({});
    }
    groups_.back().rows.push_back(std::move(row));
}

void Table::AddSummary(std::string figure, const Summary& summary, const char* format,
                       std::string goal, std::string verdict) {
    if (summary.count == 0) {
        Add({.figure = std::move(figure),
             .median = "n/a",
             .spread = "no sample",
             .goal = std::move(goal),
             .verdict = verdict.empty() ? "" : "n/a"});
        return;
    }
    Add({.figure = std::move(figure) + Format(" (n=%zu)", summary.count),
         .median = Format(format, summary.median),
         .spread = Format(format, summary.min) + " .. " + Format(format, summary.max),
         .goal = std::move(goal),
         .verdict = std::move(verdict)});
}

void Table::Print(std::FILE* out) const {
    std::vector<const Group*> groups;
    std::size_t widths[4] = {6, 6, 19, 4};
    for (const Group& group : groups_) {
        groups.push_back(&group);
        for (const Row& row : group.rows) {
            widths[0] = std::max(widths[0], row.figure.size() + 2);
            widths[1] = std::max(widths[1], row.median.size());
            widths[2] = std::max(widths[2], row.spread.size());
            widths[3] = std::max(widths[3], row.goal.size());
        }
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group* a, const Group* b) { return a->number < b->number; });

    const auto line = [&](const std::string& figure, const std::string& median,
                          const std::string& spread, const std::string& goal,
                          const std::string& verdict) {
        std::string text =
            Format("%-*s  %*s  %-*s  %-*s  %s", static_cast<int>(widths[0]), figure.c_str(),
                   static_cast<int>(widths[1]), median.c_str(), static_cast<int>(widths[2]),
                   spread.c_str(), static_cast<int>(widths[3]), goal.c_str(), verdict.c_str());
        text.erase(text.find_last_not_of(' ') + 1);
        std::fprintf(out, "%s\n", text.c_str());
    };
    line("figure", "median", "spread (min .. max)", "goal", "verdict");
    const std::size_t total = widths[0] + widths[1] + widths[2] + widths[3] + 8 + 7;
    std::fprintf(out, "%s\n", std::string(total, '-').c_str());
    for (const Group* group : groups) {
        if (!group->title.empty()) {
            std::fprintf(out, "%s\n", group->title.c_str());
        }
        for (const Row& row : group->rows) {
            line("  " + row.figure, row.median, row.spread, row.goal, row.verdict);
        }
    }
    for (const std::string& note : notes_) {
        std::fprintf(out, "%s\n", note.c_str());
    }
    std::fflush(out);
}

void Table::PrintRows(std::FILE* out) const {
    for (const Group& group : groups_) {
        std::fprintf(out, "@heading\t%d\t%s\n", group.number,
                     group.title.substr(group.title.find(' ') + 1).c_str());
        for (const Row& row : group.rows) {
            std::fprintf(out, "@row\t%d\t%s\t%s\t%s\t%s\t%s\n", group.number, row.figure.c_str(),
                         row.median.c_str(), row.spread.c_str(), row.goal.c_str(),
                         row.verdict.c_str());
        }
    }
    for (const std::string& note : notes_) {
        std::fprintf(out, "@note\t%s\n", note.c_str());
    }
    std::fflush(out);
}

} // namespace bench
