// Figure 2: the stand-in engine's throughput against bare WinHTTP loops in this process and native
// curl, same file, same server. Where the engine loses against the bare loop, the loop that reads
// the way the engine does tells the read pattern's share from the rest of the engine's (its
// thread, the temporary file, the copy into place, the poll); the CPU rows tell time spent from
// time waited.
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "bench/transfers.h"

#include <functional>
#include <vector>

namespace bench {

namespace {

enum Side { kEngine, kLoop, kAvailableLoop, kCurl, kSides };

struct Sample {
    double seconds = 0, cpu = 0;
};

} // namespace

void Throughput(Bench& b) {
    const std::wstring target = b.Out(L"throughput.bin");
    bool serverCpu = true; // whether every sample holds the wineserver's CPU too
    const auto timed = [&](const std::function<double()>& transfer) {
        const CpuTime before = TakeCpu();
        Sample sample;
        sample.seconds = transfer();
        const CpuTime after = TakeCpu();
        serverCpu = serverCpu && before.server >= 0 && after.server >= 0;
        // The engine's transfer thread has ended by now: only the count of every thread has it.
        sample.cpu = after.all - before.all + (after.server - before.server);
        return sample;
    };
    const auto run = [&](Side side) {
        switch (side) {
        case kEngine:
            return timed([&] {
                b.UseRealTransfers();
                double engineMs = 0;
                DriveEngine(b, target, 10, engineMs);
                CheckAndRemove(target, b.size, "the engine");
                return engineMs / 1000;
            });
        case kLoop:
            return timed([&] { return BareWinHttpLoop(b, target, ReadPattern::WholeBuffer); });
        case kAvailableLoop:
            return timed([&] { return BareWinHttpLoop(b, target, ReadPattern::AvailableFirst); });
        default:
            return Sample{CurlSeconds(), 0};
        }
    };
    const int sides = b.options.curl ? kSides : kCurl;
    Progress("figure 2: engine throughput against bare WinHTTP loops and native curl (warming up)");
    for (int side = 0; side < sides; ++side) {
        run(static_cast<Side>(side));
    }
    std::vector<double> rates[kSides], cpu[kCurl], engineOverLoop, engineOverAvailable,
        availableOverLoop, engineOverCurl, cpuRatio;
    for (int round = 0; round < b.options.repeat; ++round) {
        // Each side takes each place in the order in turn.
        Sample samples[kSides];
        for (int place = 0; place < sides; ++place) {
            const auto side = static_cast<Side>((place + round) % sides);
            samples[side] = run(side);
        }
        const auto rate = [&](Side side) {
            return static_cast<double>(b.size) / kMiB / samples[side].seconds;
        };
        for (int side = 0; side < sides; ++side) {
            rates[side].push_back(rate(static_cast<Side>(side)));
        }
        for (int side = 0; side < kCurl; ++side) {
            cpu[side].push_back(samples[side].cpu);
        }
        engineOverLoop.push_back(rate(kEngine) / rate(kLoop));
        engineOverAvailable.push_back(rate(kEngine) / rate(kAvailableLoop));
        availableOverLoop.push_back(rate(kAvailableLoop) / rate(kLoop));
        cpuRatio.push_back(samples[kEngine].cpu / samples[kLoop].cpu);
        if (b.options.curl) {
            engineOverCurl.push_back(rate(kEngine) / rate(kCurl));
        }
        Progress(
            Format("  %d/%d: engine %.3f s (CPU %.3f s), bare loop %.3f s (CPU %.3f s), "
                   "loop reading what is available %.3f s (CPU %.3f s)%s",
                   round + 1, b.options.repeat, samples[kEngine].seconds, samples[kEngine].cpu,
                   samples[kLoop].seconds, samples[kLoop].cpu, samples[kAvailableLoop].seconds,
                   samples[kAvailableLoop].cpu,
                   b.options.curl ? Format(", curl %.3f s", samples[kCurl].seconds).c_str() : ""));
    }
    const Summary ratio = Summarize(engineOverLoop);
    Heading(2, "Stand-in engine throughput, same file, same Wine (throughput ratio per round; the "
               "engine's time is its own elapsed ms, and it writes the file)");
    Row(2, "engine / bare WinHTTP loop, 1 MiB reads, file written", ratio, "%.3f", ">= 0.9",
        ratio.median >= 0.9);
    Row(2, "engine / bare loop reading what QueryDataAvailable reports (the engine's reads)",
        Summarize(engineOverAvailable), "%.3f");
    Row(2, "bare loop reading what is available / bare loop, 1 MiB reads",
        Summarize(availableOverLoop), "%.3f");
    if (b.options.curl) {
        Row(2, "engine / native curl, same server, file written", Summarize(engineOverCurl),
            "%.3f");
    }
    Row(2, "engine, MiB/s", Summarize(rates[kEngine]), "%.0f");
    Row(2, "bare WinHTTP loop, 1 MiB reads, file written, MiB/s", Summarize(rates[kLoop]), "%.0f");
    Row(2, "bare loop reading what is available, file written, MiB/s",
        Summarize(rates[kAvailableLoop]), "%.0f");
    if (b.options.curl) {
        Row(2, "native curl -o FILE (its time_total), MiB/s", Summarize(rates[kCurl]), "%.0f");
    }
    if (serverCpu) {
        const char* what = "CPU per transfer, process and wineserver";
        Row(2, Format("%s, engine / bare WinHTTP loop", what), Summarize(cpuRatio), "%.3f");
        Row(2, Format("%s, engine, s", what), Summarize(cpu[kEngine]), "%.3f");
        Row(2, Format("%s, bare WinHTTP loop, s", what), Summarize(cpu[kLoop]), "%.3f");
        Row(2, Format("%s, bare loop reading what is available, s", what),
            Summarize(cpu[kAvailableLoop]), "%.3f");
    }
}

} // namespace bench
