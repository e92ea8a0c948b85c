#include "bench/bench.h"

#include "base/timing.h"
#include "bench/clock.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace bench {

void MOBILEDRV_THISCALL Callback::OnNotify(int kind, void* record) {
    const DWORD tick = GetTickCount();
    if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
        progress.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const int task = _wtoi(static_cast<const _MOBILE_DRV_RESULT*>(record)->name);
    LockGuard lock(lock_);
    finals_.push_back({task, kind, tick});
}

std::vector<Callback::Final> Callback::Finals(std::size_t count, DWORD timeoutMs) {
    PollUntil(
        [&] {
            LockGuard lock(lock_);
            return finals_.size() >= count;
        },
        timeoutMs);
    LockGuard lock(lock_);
    return finals_;
}

drvtest::TestTree& LaidOut(drvtest::TestTree& tree) {
    tree.InstallLibrary();
    tree.InstallEngine();
    tree.MakeDir(L"out");
    return tree;
}

Bench::Bench(Options opts)
    : options(std::move(opts)), engine(LaidOut(tree)),
      size(std::filesystem::file_size(options.www + L"\\" + options.file)) {}

mobiledrv::unique_downloader Bench::Ready(Callback& callback, double* handlesBeforeInit) const {
    int version = 0;
    mobiledrv::unique_downloader downloader(createInstance(MOBILEDRV_INTERFACE_VERSION, &version));
    if (downloader && handlesBeforeInit != nullptr) {
        *handlesBeforeInit = Handles();
    }
    if (!downloader || !downloader->Init(&callback)) {
        throw std::runtime_error("CreateInstance or Init failed");
    }
    return downloader;
}

void Bench::UseRealTransfers() {
    engine.Reset();
    engine.UseRealTransfers();
}

void Bench::UseScriptedState(int32_t state) {
    engine.Reset();
    engine.SetDefaultScript({drvtest::QueryStep(state, 0)});
}

void CheckAndRemove(const std::wstring& path, uint64_t size, const char* what) {
    std::error_code error;
    const auto written = static_cast<uint64_t>(std::filesystem::file_size(path, error));
    std::filesystem::remove(path, error);
    if (written != size) {
        throw std::runtime_error(std::string(what) + " wrote " + std::to_string(written) + " of " +
                                 std::to_string(size) + " bytes");
    }
}

std::size_t AddTasks(IMobileDrvDown& downloader, std::size_t count, const Bench& b,
                     std::size_t* refused) {
    const std::size_t adders = std::min(count, kAdderThreads);
    std::atomic<std::size_t> started{0}, next{0}, taken{0}, refusals{0};
    RunOnThreads(adders, [&] {
        Sleep(static_cast<DWORD>(started++ * kAddTaskPauseMs / adders));
        auto record = std::make_unique<_MOBILE_DRV_TASK>();
        for (std::size_t i = next++; i < count && (refused == nullptr || refusals == 0);
             i = next++) {
            *record = mobiledrv::TaskRecord(std::to_wstring(i), drvtest::kUrl,
                                            b.Out(L"scripted-" + std::to_wstring(i) + L".bin"));
            ++(downloader.AddTask(record.get()) != 0 ? taken : refusals);
        }
    });
    if (refused != nullptr) {
        *refused = refusals;
    }
    return taken;
}

Options ParseOptions(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> given;
    bool curl = false;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--curl") {
            curl = true;
        } else if (i + 1 < argc) {
            given[argv[i]] = argv[i + 1];
            ++i;
        } else {
            given[argv[i]] = L""; // an option without its value is unknown
        }
    }
    // Each option is taken out once read: what is left is unknown.
    const auto text = [&](const wchar_t* name) {
        auto node = given.extract(name);
        return node ? node.mapped() : std::wstring();
    };
    const auto number = [&](const wchar_t* name, int fallback) {
        const std::wstring value = text(name);
        return value.empty() ? fallback : std::max(1, std::stoi(value));
    };
    const Options o{.server = text(L"--server"),
                    .pacedServer = text(L"--paced-server"),
                    .www = text(L"--www"),
                    .file = text(L"--file"),
                    .pacedRate = number(L"--paced-rate", 0),
                    .repeat = number(L"--repeat", 9),
                    .rounds = number(L"--rounds", 3),
                    .notifyRounds = number(L"--notify-rounds", 2),
                    .cpuSeconds = number(L"--cpu-seconds", 10),
                    .curl = curl,
                    .unixPid = static_cast<DWORD>(number(L"--unix-pid", 0)),
                    .only = number(L"--only", 0)};
    const std::wstring loopback = L"http://127.0.0.1:";
    if (!given.empty() || o.server.rfind(loopback, 0) != 0 ||
        o.pacedServer.rfind(loopback, 0) != 0 || o.pacedRate <= 1 || o.www.empty() ||
        o.file.empty()) {
        throw std::invalid_argument(
            "usage: bench_drvdown --server http://127.0.0.1:PORT --paced-server "
            "http://127.0.0.1:PORT --paced-rate BYTES_PER_SECOND --www DIR --file NAME "
            "[--repeat N] [--rounds N] [--notify-rounds N] [--cpu-seconds S] [--curl] "
            "[--unix-pid PID] [--only FIGURE]");
    }
    return o;
}

} // namespace bench
