#include "bench/table.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace bench {

std::string Format(const char* format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

void Progress(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

Summary Summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t count = samples.size(), middle = count / 2;
    if (count == 0) {
        return {};
    }
    return {count % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2,
            samples.front(), samples.back(), count};
}

void Heading(int figure, const std::string& title) {
    std::printf("@heading\t%d\t%s\n", figure, title.c_str());
}

void Row(int figure, const std::string& name, const std::string& median, const std::string& spread,
         const std::string& goal, std::optional<bool> met) {
    std::printf("@row\t%d\t%s\t%s\t%s\t%s\t%s\n", figure, name.c_str(), median.c_str(),
                spread.c_str(), goal.c_str(), met ? (*met ? "ok" : "MISSED") : "");
    std::fflush(stdout);
}

void Row(int figure, const std::string& name, const Summary& summary, const char* format,
         const std::string& goal, std::optional<bool> met) {
    Row(figure, name + Format(" (n=%zu)", summary.count), Format(format, summary.median),
        Format(format, summary.min) + " .. " + Format(format, summary.max), goal, met);
}

void Note(const std::string& text) {
    std::printf("@note\t%s\n", text.c_str());
    std::fflush(stdout);
}

} // namespace bench
