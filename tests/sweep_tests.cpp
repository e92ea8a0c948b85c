// The failure sweep: for each scenario of sweep_child, every import of the library that can fail
// is made to fail at its first and its last call (DRVDOWN_SWEEP_ALL_K=1: at every call), one case
// per process. A case passes when the child ran to its end and found nothing.
#include "support/child_process.h"
#include "support/import_faults.h"
#include "support/test_tree.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

using namespace drvtest;

namespace {

bool Flag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

struct SweepCase {
    std::string import;
    std::uint32_t k = 0;
    std::string verdict; // empty: passed
};

// The child's findings, or its exit code when it did not end by itself.
std::string Verdict(const ChildResult& result) {
    std::string verdict;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("finding ", 0) == 0) {
            verdict += "\n    " + line.substr(8);
        }
    }
    if (result.exitCode == 0xDEAD) {
        verdict += "\n    hang: killed after the time limit";
    } else if (result.exitCode != 0 && verdict.empty()) {
        std::ostringstream code;
        code << std::hex << result.exitCode;
        verdict += "\n    crash: exit code 0x" + code.str() + "\n" + result.output;
    }
    return verdict;
}

ChildResult RunCase(const std::string& scenario, const std::vector<std::string>& arguments) {
    std::vector<std::wstring> wide{Wide(scenario)};
    for (const std::string& argument : arguments) {
        wide.push_back(Wide(argument));
    }
    return RunChild(BuildDir() + L"\\sweep_child.exe", wide, {}, 180000);
}

// A case whose process could not be started (the system short of something on a busy machine) is
// tried twice more before it counts as a finding.
std::string VerdictOfCase(const std::string& scenario, const SweepCase& c) {
    std::string failure;
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            return Verdict(RunCase(scenario, {c.import, std::to_string(c.k)}));
        } catch (const std::runtime_error& error) {
            failure = error.what();
            Sleep(1000);
        }
    }
    return "\n    the case could not be run: " + failure;
}

TEST(ImportFailureTable, ClassifiesEveryImportOfTheLibraries) {
    for (const wchar_t* library : {L"MobileDrvDown.dll", L"DrvDownSigned.dll"}) {
        for (const ImportedFunction& import : ReadImportTable(BuildDir() + L"\\" + library)) {
            EXPECT_NE(FindImportFailure(import.name), nullptr)
                << import.dll << "!" << import.name << " has no failure entry";
        }
    }
}

// The negative control: a build of the library that leaves an event open when the engine cannot
// be mapped. The sweep's case for that failure must name the leak.
TEST(ImportSweepControl, NamesTheCaseOfALibraryThatLeaksAnEvent) {
    const ChildResult leaky =
        RunChild(BuildDir() + L"\\sweep_child.exe", {L"downloadfile", L"LoadLibraryExW", L"1"},
                 {L"DRVDOWN_SWEEP_LIBRARY=DrvDownLeakControl.dll"}, 180000);
    EXPECT_NE(Verdict(leaky).find("left behind: +1 Event handle"), std::string::npos)
        << leaky.output;
    const ChildResult sound = RunCase("downloadfile", {"LoadLibraryExW", "1"});
    EXPECT_EQ(Verdict(sound), "");
}

class ImportSweep : public testing::TestWithParam<const char*> {};

TEST_P(ImportSweep, SurvivesEveryFailingImportCall) {
    const std::string scenario = GetParam();
    const ChildResult counted = RunCase(scenario, {"count"});
    EXPECT_EQ(Verdict(counted), "") << scenario << " without a failure";

    std::vector<SweepCase> cases;
    std::istringstream lines(counted.output);
    const bool allK = Flag("DRVDOWN_SWEEP_ALL_K");
    for (std::string word; lines >> word;) {
        if (word != "count") {
            continue;
        }
        std::string import;
        std::uint32_t calls = 0;
        lines >> import >> calls;
        for (std::uint32_t k = 1; k <= calls; k = (allK || k == calls) ? k + 1 : calls) {
            cases.push_back({import, k, {}});
        }
    }
    ASSERT_FALSE(cases.empty());

    // Cases run DRVDOWN_SWEEP_JOBS at a time (default 1: ctest runs the scenarios side by side).
    const char* jobs = std::getenv("DRVDOWN_SWEEP_JOBS");
    const int workerCount = jobs != nullptr && std::atoi(jobs) > 0 ? std::atoi(jobs) : 1;
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < workerCount; ++i) {
        workers.emplace_back([&] {
            for (std::size_t at; (at = next++) < cases.size();) {
                SweepCase& c = cases[at];
                c.verdict = VerdictOfCase(scenario, c);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    std::string findings;
    int failed = 0;
    for (const SweepCase& c : cases) {
        if (!c.verdict.empty()) {
            ++failed;
            findings +=
                "\n  " + scenario + " / " + c.import + " #" + std::to_string(c.k) + ":" + c.verdict;
        }
    }
    std::printf("%s: %zu cases, %d with findings\n", scenario.c_str(), cases.size(), failed);
    EXPECT_EQ(failed, 0) << findings;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ImportSweep,
                         testing::Values("downloadfile", "tasks", "downloadnow", "cancel",
                                         "downloadnow_existing", "signed_downloadfile"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
