// Medians and spreads of repeated measurements, and the table the benchmark prints.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Summary {
    double median = 0;
    double min = 0;
    double max = 0;
    std::size_t count = 0;
};

Summary Summarize(std::vector<double> samples);

// The summary of one field over a set of records: `field` is a data member pointer or a callable
// that yields a double, or an optional<double> that leaves the record out when empty.
template <class Record, class Field>
Summary SummarizeOver(const std::vector<Record>& records, Field field) {
    std::vector<double> values;
    for (const Record& record : records) {
        if (const std::optional<double> value = std::invoke(field, record)) {
            values.push_back(*value);
        }
    }
    return Summarize(std::move(values));
}

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Rows grouped under numbered headings; Print puts the groups in the order of their numbers,
// whatever order they were measured in.
class Table {
public:
    struct Row {
        std::string figure{};
        std::string median{};
        std::string spread{};
        std::string goal{};
        std::string verdict{};
    };

    // Starts the group of figure `number`; the rows added next belong to it.
    void Heading(int number, std::string title);
    void Add(Row row);
    // A row of samples: median and min..max, each with `format` (printf, one double).
    void AddSummary(std::string figure, const Summary& summary, const char* format,
                    std::string goal = "", std::string verdict = "");
    void Note(std::string text) { notes_.push_back(std::move(text)); }

    void Print(std::FILE* out) const;
    // The same content, one tab-separated line each, for bench/side_by_side.py: "@heading",
    // number, title; "@row", number, figure, median, spread, goal, verdict; "@note", text.
    void PrintRows(std::FILE* out) const;

private:
    struct Group {
        int number = 0;
        std::string title{};
        std::vector<Row> rows{};
    };

    std::vector<Group> groups_;
    std::vector<std::string> notes_;
};

} // namespace bench
