// Figure 1: DownLoadFile end to end against the engine driven directly, the sides taking turns.
#include "base/timing.h"
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "bench/transfers.h"
#include "standin_engine/status_values.h"

#include <stdexcept>
#include <vector>

namespace bench {

// The library's side holds an engine instance of its own during the call, so that the library's
// PPClose is not the last one and the finished transfer still answers a query for its own time.
// The figure is also taken against that transfer's time, since transfer times vary much more from
// one transfer to the next than the library costs.
void EndToEnd(Bench& b) {
    struct Outcome {
        double seconds = 0, engineMs = 0;
    };
    const std::wstring target = b.Out(L"e2e.bin");
    const auto library = [&] {
        b.UseRealTransfers();
        if (!b.ppInit2(L"MobileDrvDownBench", 0, 0)) {
            throw std::runtime_error("PPInit2 failed");
        }
        const double start = Now();
        const bool ok = b.downLoadFile(b.url.c_str(), target.c_str()) != 0;
        const double seconds = Now() - start;
        const std::vector<drvtest::EngineCall> starts = b.engine.Calls("PPStartTaskEx");
        PP_TASK_STATUS status{};
        const bool queried = starts.size() == 1 && b.ppQueryTaskEx(starts[0].handle, &status) &&
                             status.state == standin::kStateFinished;
        b.ppClose();
        CheckAndRemove(target, b.size, "DownLoadFile");
        if (!ok || !queried) {
            throw std::runtime_error("DownLoadFile failed or its transfer did not tell its time");
        }
        return Outcome{seconds, static_cast<double>(status.values[standin::kValueElapsedMs])};
    };
    const auto direct = [&] {
        b.UseRealTransfers();
        Outcome outcome;
        outcome.seconds = DriveEngine(b, target, 10, outcome.engineMs);
        CheckAndRemove(target, b.size, "the engine driven directly");
        return outcome;
    };

    Progress("figure 1: DownLoadFile against the engine driven directly (warming up)");
    library();
    direct();
    std::vector<double> raw, adjusted, own, seconds[2];
    const double poll = kBlockingPollIntervalMs / 1000.0;
    for (int round = 0; round < b.options.repeat; ++round) {
        Outcome lib, dir;
        InTurn(
            round, [&] { lib = library(); }, [&] { dir = direct(); });
        raw.push_back(lib.seconds / dir.seconds);
        adjusted.push_back((lib.seconds - poll) / dir.seconds);
        // Driving the engine directly for DownLoadFile's own transfer would have taken that
        // transfer's time plus what the direct side spent beyond its transfer.
        own.push_back((lib.seconds - poll) /
                      (lib.engineMs / 1000 + dir.seconds - dir.engineMs / 1000));
        seconds[0].push_back(lib.seconds);
        seconds[1].push_back(dir.seconds);
        Progress(Format("  %d/%d: DownLoadFile %.3f s (engine %.0f ms), direct %.3f s (engine "
                        "%.0f ms)",
                        round + 1, b.options.repeat, lib.seconds, lib.engineMs, dir.seconds,
                        dir.engineMs));
    }
    const Summary adjustedSummary = Summarize(adjusted);
    const Summary ownSummary = Summarize(own);
    Heading(1, Format("DownLoadFile of the %.0f MiB file over loopback HTTP, against the engine "
                      "driven directly with 10 ms polls (time ratios, per round)",
                      static_cast<double>(b.size) / kMiB));
    Row(1, "DownLoadFile / direct, raw", Summarize(raw), "%.3f", "<= 1.05 + 200 ms",
        adjustedSummary.median <= 1.05);
    Row(1, "(DownLoadFile - 200 ms) / direct", adjustedSummary, "%.3f", "<= 1.05",
        adjustedSummary.median <= 1.05);
    Row(1, "the same against DownLoadFile's own transfer", ownSummary, "%.3f", "<= 1.05",
        ownSummary.median <= 1.05);
    Row(1, "DownLoadFile, s", Summarize(seconds[0]), "%.3f");
    Row(1, "direct, PPInit2..PPClose, s", Summarize(seconds[1]), "%.3f");
}

} // namespace bench
