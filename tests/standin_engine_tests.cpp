// The stand-in engine, driven through its exports the way the library drives it, and scripted
// through the StandIn helper the library's tests use.
#include "support/standin.h"
#include "support/test_tree.h"
#include "support/timing.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using drvtest::AtLeast;
using drvtest::FalseQueryStep;
using drvtest::GetProc;
using drvtest::PPQueryBytesFn;
using drvtest::QueryStep;
using drvtest::StandIn;
using drvtest::TestTree;

namespace {

using Status = std::array<uint8_t, sizeof(PP_TASK_STATUS)>;

uint32_t At(const Status& status, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, status.data() + offset, sizeof(value));
    return value;
}

TestTree& WithEngine(TestTree& tree) {
    tree.InstallEngine();
    return tree;
}

// The engine installed in a fresh tree, its used exports bound, and the helper on the same copy.
class StandInEngine : public testing::Test {
protected:
    StandInEngine() : standin_(WithEngine(tree_)) {
        HMODULE module = standin_.Module();
        init_ = GetProc<PPInit2Fn>(module, "PPInit2");
        start_ = GetProc<PPStartTaskExFn>(module, "PPStartTaskEx");
        query_ = GetProc<PPQueryBytesFn>(module, "PPQueryTaskEx");
        remove_ = GetProc<PPRemoveTaskFn>(module, "PPRemoveTask");
        closeHandle_ = GetProc<PPCloseHandleFn>(module, "PPCloseHandle");
        close_ = GetProc<PPCloseFn>(module, "PPClose");
    }

    uint32_t Start(const wchar_t* url = L"http://127.0.0.1:9/driver.zip") {
        return start_(url, L"C:\\drivers\\driver.zip", 0, 0, 0, 0, 0, 0);
    }
    // Queries on a zero-filled record: the state, or nothing when the query returns false (the
    // record must then be untouched).
    std::optional<int32_t> QueryState(uint32_t handle, Status* out = nullptr) {
        Status status{};
        const bool filled = query_(handle, status.data());
        if (out != nullptr) {
            *out = status;
        }
        if (!filled) {
            EXPECT_EQ(status, Status{}) << "a false query wrote the record";
            return std::nullopt;
        }
        return static_cast<int32_t>(At(status, offsetof(PP_TASK_STATUS, state)));
    }

    TestTree tree_;
    StandIn standin_;
    PPInit2Fn init_;
    PPStartTaskExFn start_;
    PPQueryBytesFn query_;
    PPRemoveTaskFn remove_;
    PPCloseHandleFn closeHandle_;
    PPCloseFn close_;
};

TEST_F(StandInEngine, ScriptStepsAnswerInOrderWithRepeatsAndTheLastStepHolds) {
    standin_.PushScript(
        {QueryStep(standin::kStateConnecting, 2, {1, 2, 3, 4, 5, 6, 7}), FalseQueryStep(),
         QueryStep(standin::kStateReceiving, 1, {11, 12, 13, 14, 15, 16, 17}), QueryStep(-3)});
    const uint32_t handle = Start();
    ASSERT_NE(handle, 0u);

    Status status;
    ASSERT_EQ(QueryState(handle, &status), standin::kStateConnecting);
    const size_t values = offsetof(PP_TASK_STATUS, values);
    const size_t offsets[] = {values,
                              values + 4,
                              values + 8,
                              values + 12,
                              values + 16,
                              values + 20,
                              offsetof(PP_TASK_STATUS, value36)};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(At(status, offsets[i]), i + 1) << "value " << i;
    }
    // Nothing but the seven values and the state is written.
    const size_t unread24 = offsetof(PP_TASK_STATUS, unread24);
    for (size_t offset : {unread24, unread24 + 4, unread24 + 8, offsetof(PP_TASK_STATUS, unread40),
                          offsetof(PP_TASK_STATUS, unread48), sizeof(PP_TASK_STATUS) - 4}) {
        EXPECT_EQ(At(status, offset), 0u) << "offset " << offset;
    }
    EXPECT_EQ(QueryState(handle), standin::kStateConnecting);
    EXPECT_EQ(QueryState(handle), std::nullopt);
    EXPECT_EQ(QueryState(handle, &status), standin::kStateReceiving);
    EXPECT_EQ(At(status, 36), 17u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(QueryState(handle), -3);
    }
}

TEST_F(StandInEngine, RepeatZeroHoldsAStepForEver) {
    standin_.PushScript(
        {QueryStep(standin::kStateFinishing, 0), QueryStep(standin::kStateFinished)});
    const uint32_t handle = Start();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(QueryState(handle), standin::kStateFinishing) << "query " << i;
    }
}

TEST_F(StandInEngine, EachStartTakesTheNextQueuedScriptThenTheDefault) {
    standin_.PushScript({QueryStep(standin::kStateFinishing)});
    standin_.PushFailingStart();
    standin_.PushScript({QueryStep(standin::kStateHttpError)});
    EXPECT_EQ(standin_.Counters().queuedScripts, 3u);

    const uint32_t first = Start();
    EXPECT_EQ(Start(), 0u) << "the second script fails its start";
    const uint32_t third = Start();
    const uint32_t unscripted = Start();
    EXPECT_EQ(QueryState(first), standin::kStateFinishing);
    EXPECT_EQ(QueryState(third), standin::kStateHttpError);
    Status status;
    EXPECT_EQ(QueryState(unscripted, &status), standin::kStateFinished);
    EXPECT_EQ(QueryState(unscripted), standin::kStateFinished);
    EXPECT_EQ(At(status, 0), 0u);
    EXPECT_EQ(standin_.Counters().queuedScripts, 0u);
    EXPECT_EQ(standin_.Counters().liveHandles, 3u) << "a failed start holds no handle";
}

TEST_F(StandInEngine, AReplacedDefaultScriptGivesEachTransferItsOwnRun) {
    standin_.SetDefaultFailingStart();
    EXPECT_EQ(Start(), 0u);

    standin_.SetDefaultScript(
        {QueryStep(standin::kStateConnecting), QueryStep(standin::kStateFinished)});
    const uint32_t a = Start();
    EXPECT_EQ(QueryState(a), standin::kStateConnecting);
    const uint32_t b = Start();
    EXPECT_EQ(QueryState(b), standin::kStateConnecting);
    EXPECT_EQ(QueryState(a), standin::kStateFinished);
}

TEST_F(StandInEngine, HandlesAreNonzeroDistinctAndTheNextOneCanBeSet) {
    standin_.SetNextHandle(0xFFFFFFF0u);
    standin_.PushScript({QueryStep(standin::kStateReceiving)});
    const uint32_t huge = Start();
    EXPECT_EQ(huge, 0xFFFFFFF0u);
    EXPECT_EQ(QueryState(huge), standin::kStateReceiving);

    standin_.SetNextHandle(0xFFFFFFFFu);
    EXPECT_EQ(Start(), 0xFFFFFFFFu);
    EXPECT_EQ(Start(), 1u) << "0 is never a handle";
    standin_.SetNextHandle(0xFFFFFFF0u);
    EXPECT_EQ(Start(), 0xFFFFFFF1u) << "a handle in use is skipped";
}

TEST_F(StandInEngine, RemoveEndsQueriesAndCloseHandleReleasesTheHandle) {
    const uint32_t handle = Start();
    EXPECT_EQ(QueryState(handle), standin::kStateFinished);
    remove_(handle);
    EXPECT_EQ(QueryState(handle), std::nullopt);
    EXPECT_EQ(standin_.Counters().liveHandles, 1u);
    closeHandle_(handle);
    EXPECT_EQ(standin_.Counters().liveHandles, 0u);
    EXPECT_EQ(QueryState(handle), std::nullopt);
    EXPECT_EQ(QueryState(12345), std::nullopt) << "unknown handle";
}

// Every load calls PPInit2 and PPClose once each, whatever PPInit2 returned: a refused load's
// PPClose ends no other instance's transfers.
TEST_F(StandInEngine, EachCloseBalancesItsOwnInitAndTheLastStopsTransfers) {
    EXPECT_TRUE(init_(L"Varnelmobilemgr", 0, 0));
    const uint32_t handle = Start();
    standin_.SetInitResult(false);
    EXPECT_FALSE(init_(L"Varnelmobilemgr", 0, 0));
    EXPECT_EQ(standin_.Counters().liveInstances, 2u);
    close_();
    EXPECT_EQ(QueryState(handle), standin::kStateFinished) << "one instance is still open";
    close_();
    EXPECT_EQ(QueryState(handle), std::nullopt);
    close_(); // as from an engine without PPInit2: closes nothing, does not count below zero

    const StandInCounters counters = standin_.Counters();
    EXPECT_EQ(counters.initCalls, 2u);
    EXPECT_EQ(counters.closeCalls, 3u);
    EXPECT_EQ(counters.liveInstances, 0u);
    EXPECT_EQ(counters.liveHandles, 0u) << "the last PPClose releases every handle";
}

TEST_F(StandInEngine, LogRecordsNamesArgumentsStringsHandlesAndResults) {
    const std::wstring longUrl = L"http://127.0.0.1:9/" + std::wstring(3000, L'x');
    standin_.SetNextHandle(40);
    standin_.PushScript({FalseQueryStep()});
    init_(L"Varnelmobilemgr", 0, 9);
    start_(longUrl.c_str(), L"C:\\t\\a.zip", 1, 2, 3, 4, 5, 6);
    Status status{};
    query_(40, status.data());
    remove_(40);
    closeHandle_(40);
    GetProc<PPCloseFn>(standin_.Module(), "_Run")();
    close_();

    const auto log = standin_.Log();
    ASSERT_EQ(log.size(), 7u);
    const char* names[] = {"PPInit2",       "PPStartTaskEx", "PPQueryTaskEx", "PPRemoveTask",
                           "PPCloseHandle", "_Run",          "PPClose"};
    const uint32_t results[] = {1, 40, 0, 1, 1, 0, 0};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].name, names[i]);
        EXPECT_EQ(log[i].result, results[i]) << names[i];
        EXPECT_EQ(log[i].threadId, GetCurrentThreadId());
        EXPECT_TRUE(log[i].returned);
        EXPECT_LE(log[i].tickCalled, log[i].tickReturned);
    }
    EXPECT_EQ(log[0].text1, L"Varnelmobilemgr");
    EXPECT_EQ(log[0].args, (std::vector<uint32_t>{0, 9}));
    EXPECT_EQ(log[1].text1, longUrl.substr(0, 2048));
    EXPECT_EQ(log[1].text2, L"C:\\t\\a.zip");
    EXPECT_EQ(log[1].args, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(log[i].handle, 40u) << names[i];
    }
    EXPECT_EQ(standin_.Calls("PPQueryTaskEx").size(), 1u);
}

TEST_F(StandInEngine, ConcurrentStartsAndQueriesGetDistinctHandlesAndACompleteLog) {
    constexpr int kThreads = 16;
    constexpr int kRounds = 40;
    std::vector<std::vector<uint32_t>> handles(kThreads);
    std::atomic<int> unfinished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, &unfinished, &mine = handles[t]] {
            for (int i = 0; i < kRounds; ++i) {
                const uint32_t handle = Start();
                Status status{};
                if (!query_(handle, status.data()) || At(status, 44) != 1) {
                    ++unfinished;
                }
                mine.push_back(handle);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unfinished, 0);

    std::set<uint32_t> distinct;
    for (const auto& mine : handles) {
        distinct.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(distinct.count(0), 0u);
    EXPECT_EQ(distinct.size(), size_t{kThreads * kRounds});
    EXPECT_EQ(standin_.Counters().liveHandles, uint32_t{kThreads * kRounds});

    const auto log = standin_.Log();
    ASSERT_EQ(log.size(), size_t{2 * kThreads * kRounds});
    std::set<DWORD> threadIds;
    for (const auto& call : log) {
        EXPECT_TRUE(call.returned);
        threadIds.insert(call.threadId);
    }
    EXPECT_EQ(threadIds.size(), size_t{kThreads});
}

TEST_F(StandInEngine, ADelayBlocksOnlyTheDelayedExport) {
    constexpr DWORD delayMs = 3000;
    standin_.SetDelay("PPQueryTaskEx", delayMs);
    const uint32_t handle = Start();
    DWORD queryTook = 0;
    const DWORD begin = GetTickCount();
    std::jthread querying([&] {
        Status status{};
        query_(handle, status.data());
        queryTook = GetTickCount() - begin;
    });

    // Meanwhile the log, the other exports and the engine's state stay usable.
    EXPECT_TRUE(standin_.WaitForCalls("PPQueryTaskEx", 1, 2000));
    EXPECT_FALSE(standin_.Calls("PPQueryTaskEx").at(0).returned) << "logged while it waits";
    closeHandle_(Start());
    EXPECT_FALSE(standin_.Calls("PPQueryTaskEx").at(0).returned)
        << "the other exports waited for the delayed one";
    querying.join();
    EXPECT_GE(queryTook, AtLeast(delayMs));
}

TEST_F(StandInEngine, ReleaseDelaysWakesAnEndlessDelay) {
    EXPECT_THROW(standin_.SetDelay("NoSuchExport", 10), std::invalid_argument);
    standin_.SetDelay("PPClose", INFINITE);
    std::jthread closing([this] { close_(); });
    EXPECT_TRUE(standin_.WaitForCalls("PPClose", 1, 2000));
    Sleep(200);
    EXPECT_FALSE(standin_.Calls("PPClose").at(0).returned);
    standin_.ReleaseDelays();
    closing.join();
    EXPECT_TRUE(standin_.Calls("PPClose").at(0).returned);
}

TEST_F(StandInEngine, ResetRestoresAFreshEngine) {
    standin_.SetInitResult(false);
    standin_.SetDefaultFailingStart();
    standin_.PushScript({QueryStep(standin::kStateReceiving)});
    standin_.PushScript({QueryStep(standin::kStateReceiving)});
    standin_.SetNextHandle(77);
    standin_.SetDelay("PPStartTaskEx", INFINITE);
    init_(L"Varnelmobilemgr", 0, 0);

    standin_.Reset();
    const StandInCounters counters = standin_.Counters();
    EXPECT_EQ(counters.initCalls, 0u);
    EXPECT_EQ(counters.queuedScripts, 0u);
    EXPECT_EQ(standin_.LogCount(), 0u);
    EXPECT_TRUE(init_(L"Varnelmobilemgr", 0, 0));
    const uint32_t handle = Start(); // would block for ever if the delay survived
    EXPECT_EQ(handle, 1u);
    EXPECT_EQ(QueryState(handle), standin::kStateFinished);
}

// Installs a built engine variant as <tree>\Tolvek.dll and loads it.
HMODULE LoadVariant(TestTree& tree, const wchar_t* builtName) {
    tree.InstallEngine(builtName);
    return tree.LoadFromTree(L"Tolvek.dll");
}

TEST(StandInVariants, EachVariantLacksExactlyItsExport) {
    const struct {
        const wchar_t* file;
        std::string missing;
    } variants[] = {{L"Tolvek.dll", ""},
                    {L"Tolvek_noinit.dll", "PPInit2"},
                    {L"Tolvek_nostart.dll", "PPStartTaskEx"}};
    for (const auto& variant : variants) {
        TestTree tree;
        HMODULE module = LoadVariant(tree, variant.file);
        for (const char* name : kEngineExportNames) {
            EXPECT_EQ(GetProcAddress(module, name) != nullptr, name != variant.missing)
                << testing::PrintToString(std::wstring(variant.file)) << " " << name;
        }
        EXPECT_NE(GetProcAddress(module, "StandIn_Reset"), nullptr);
    }
}

// The load-log line for the engine file at `relative` in the tree.
std::string AttachLine(const TestTree& tree, std::wstring_view relative) {
    std::string line = "attach ";
    for (wchar_t c : tree.Path(relative)) {
        line.push_back(static_cast<char>(c)); // the temp folder's path is ASCII here
    }
    return line + "\r\n";
}

TEST(StandInVariants, TheUnloadableEngineFailsLoadLibraryAfterLoggingItsAttach) {
    TestTree tree;
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    ASSERT_TRUE(SetEnvironmentVariableW(L"STANDIN_LOAD_LOG", tree.Path(L"load.log").c_str()));
    HMODULE module = LoadLibraryW(tree.Path(L"Tolvek.dll").c_str());
    SetEnvironmentVariableW(L"STANDIN_LOAD_LOG", nullptr);
    EXPECT_EQ(module, nullptr);
    if (module != nullptr) {
        FreeLibrary(module);
    }
    EXPECT_EQ(
        lstrcmpiA(tree.ReadFile(L"load.log").c_str(), AttachLine(tree, L"Tolvek.dll").c_str()), 0);
}

TEST(StandInLoadLog, ProcessAttachAppendsOneLineWithTheModulePath) {
    TestTree tree;
    ASSERT_TRUE(SetEnvironmentVariableW(L"STANDIN_LOAD_LOG", tree.Path(L"load.log").c_str()));
    tree.WriteFile(L"load.log", "earlier line\r\n");
    LoadVariant(tree, L"Tolvek.dll");
    tree.LoadFromTree(L"Tolvek.dll"); // already attached: no second line
    SetEnvironmentVariableW(L"STANDIN_LOAD_LOG", nullptr);

    const std::string content = tree.ReadFile(L"load.log");
    const std::string expected = "earlier line\r\n" + AttachLine(tree, L"Tolvek.dll");
    EXPECT_EQ(lstrcmpiA(content.c_str(), expected.c_str()), 0) << content;
}

} // namespace
