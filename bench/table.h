// The table bench_drvdown writes: tab-separated rows that bench/side_by_side.py prints side by
// side, each with a median, a spread, a goal and a verdict; and progress lines on standard error.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bench {

constexpr double kMiB = 1024.0 * 1024.0;

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void Progress(const std::string& text);

struct Summary {
    double median = 0, min = 0, max = 0;
    std::size_t count = 0;
};

Summary Summarize(std::vector<double> samples);

void Heading(int figure, const std::string& title);
// A row of the table; `met`, when given, is the verdict on the goal.
void Row(int figure, const std::string& name, const std::string& median, const std::string& spread,
         const std::string& goal = "", std::optional<bool> met = {});
// A row of samples: the median and min .. max, each printed with `format` (one double).
void Row(int figure, const std::string& name, const Summary& summary, const char* format,
         const std::string& goal = "", std::optional<bool> met = {});
void Note(const std::string& text);

} // namespace bench
