// What each behaviour of the engine makes of a transfer, whichever way the host starts it:
// DownLoadFile (an engine instance of its own for the call), DownloadNow and AddTask (the
// downloader's instance). One row per behaviour of the stand-in engine, crossed with the three
// entry points; every case checks the result, the notifications, the engine's calls with their
// arguments, the file that was at the target, and that no engine instance is left.
#include "support/downloader_fixture.h"
#include "support/wait.h"

#include <ostream>
#include <tuple>

using namespace drvtest;

namespace {

struct EngineBehaviour {
    const char* name;
    // The engine file (null: none), whether its PPInit2 succeeds, and the answers of its queries
    // to each transfer (none: PPStartTaskEx refuses the transfer).
    const wchar_t* engine = L"Tolvek.dll";
    bool initialises = true;
    std::vector<StandInStep> queries = {};
    // What follows: the calls that load an instance (it is up when the last is PPInit2), the
    // calls of one transfer on an instance that is up, the task's progress notifications, the
    // result, and whether the old file at the target is gone.
    Names instance = {"PPInit2"};
    Names transfer = {};
    std::size_t progress = 0;
    bool succeeds = false;
    bool clearsTarget = true;

    bool Up() const { return !instance.empty() && instance.back() == "PPInit2"; }
};

void PrintTo(const EngineBehaviour& row, std::ostream* out) {
    *out << row.name;
}

EngineBehaviour EndsInState(const char* name, int32_t state) {
    return {.name = name,
            .queries = {QueryStep(state)},
            .transfer = {"PPStartTaskEx", "PPQueryTaskEx"}};
}

const EngineBehaviour kBehaviours[] = {
    {.name = "FinishesAfterRunningAndUnansweredQueries",
     .queries = {QueryStep(standin::kStateConnecting), FalseQueryStep(),
                 QueryStep(standin::kStateReceiving), QueryStep(standin::kStateFinishing),
                 QueryStep(standin::kStateFinished)},
     .transfer = {"PPStartTaskEx", "PPQueryTaskEx", "PPQueryTaskEx", "PPQueryTaskEx",
                  "PPQueryTaskEx", "PPQueryTaskEx"},
     .progress = 3,
     .succeeds = true},
    // Every state but 1 and the running ones (5, 6, 7) is a failure; a query that returns true
    // but leaves the record alone reads as state 0.
    EndsInState("State0", 0),
    EndsInState("State2", 2),
    EndsInState("State3", 3),
    EndsInState("State4", 4),
    EndsInState("State8", 8),
    EndsInState("StateMinus1", -1),
    EndsInState("State1000", 1000),
    // The target is cleared before the start all the same.
    {.name = "RefusedStart", .transfer = {"PPStartTaskEx"}},
    // Without PPStartTaskEx nothing starts; without PPQueryTaskEx nothing may, since its
    // transfers could never be seen to end.
    {.name = "WithoutStart", .engine = L"Tolvek_nostart.dll"},
    {.name = "WithoutQuery", .engine = L"Tolvek_noquery.dll"},
    // An instance that does not come up is closed and unloaded; the target is never touched.
    {.name = "RefusedInitialisation",
     .initialises = false,
     .instance = {"PPInit2", "PPClose"},
     .clearsTarget = false},
    {.name = "WithoutInitialisation",
     .engine = L"Tolvek_noinit.dll",
     .instance = {"PPClose"},
     .clearsTarget = false},
    {.name = "NoEngineFile", .engine = nullptr, .instance = {}, .clearsTarget = false},
};

enum class EntryPoint { DownLoadFile, DownloadNow, AddTask };

const char* NameOf(EntryPoint entry) {
    const char* names[] = {"DownLoadFile", "DownloadNow", "AddTask"};
    return names[static_cast<int>(entry)];
}

void PrintTo(EntryPoint entry, std::ostream* out) {
    *out << NameOf(entry);
}

using Case = std::tuple<EngineBehaviour, EntryPoint>;

// <behaviour>_<entry point>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + NameOf(std::get<1>(info.param));
}

Names operator+(Names a, const Names& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class EngineBehaviourTest : public DownloaderFixture, public testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        SetUpTree(Row().engine);
        tree.WriteFile(L"out\\pkg.zip", "old");
        if (HasEngine()) {
            Engine().SetInitResult(Row().initialises);
        }
    }

    const EngineBehaviour& Row() const { return std::get<0>(GetParam()); }
    bool HasEngine() const { return Row().engine != nullptr; }
    // The calls of one transfer, when the instance is up.
    Names Transfer() const { return Row().Up() ? Row().transfer : Names{}; }
    Names Log() { return HasEngine() ? NamesOf(Engine().Log()) : Names{}; }
    // The engine's answers to the next transfer.
    void Script() {
        if (HasEngine() && Row().queries.empty()) {
            Engine().PushFailingStart();
        } else if (HasEngine()) {
            Engine().PushScript(Row().queries);
        }
    }

    unique_downloader Initialised() {
        auto downloader = Create();
        EXPECT_EQ(downloader->Init(&callback), Row().Up() ? 1 : 0);
        EXPECT_EQ(Log(), Row().instance);
        return downloader;
    }
    // Two blocking downloads in a row, each adding `calls` to the engine's log.
    template <class Download>
    void Blocking(Download download, const Names& calls) {
        Names expected = Log();
        for (int call = 0; call < 2; ++call) {
            SCOPED_TRACE(call);
            Script();
            EXPECT_EQ(download(), Row().succeeds ? 1 : 0);
            expected = expected + calls;
            EXPECT_EQ(Log(), expected);
        }
    }
    void AddOneTask(IMobileDrvDown& downloader);
    void ExpectArguments();
};

// AddTask takes the task whatever the engine does: a host then waits for its end. A task on an
// instance that is up ends in its progress and exactly one final notification, on the thread that
// ran it; one without an instance ends in silence. Either leaves the list.
void EngineBehaviourTest::AddOneTask(IMobileDrvDown& downloader) {
    Script();
    auto record = TaskRecord(L"pkg", kUrl, Target(), 7);
    ASSERT_EQ(downloader.AddTask(&record), 1);
    if (Row().Up()) {
        ASSERT_TRUE(callback.WaitForFinals(1, 15000));
    }
    // The worker takes its task out of the list after its last notification.
    ASSERT_TRUE(PollUntil([&] { return downloader.CancelTask(L"pkg") == 0; }, 5000))
        << "the ended task is still listed";
    EXPECT_EQ(Log(), Row().instance + Transfer());

    const auto all = callback.All();
    ASSERT_EQ(all.size(), Row().Up() ? Row().progress + 1 : 0);
    EXPECT_EQ(OfKind(all, MOBILEDRV_NOTIFY_PROGRESS).size(), Row().progress);
    const auto starts = HasEngine() ? Engine().Calls("PPStartTaskEx") : std::vector<EngineCall>{};
    for (const Notification& n : all) {
        EXPECT_EQ(n.name, L"pkg");
        EXPECT_EQ(n.context, 7);
        EXPECT_NE(n.threadId, GetCurrentThreadId());
        if (!starts.empty()) {
            EXPECT_EQ(n.threadId, starts[0].threadId)
                << "notified on the thread that runs the task";
        }
    }
    if (!all.empty()) {
        EXPECT_EQ(all.back().kind,
                  Row().succeeds ? MOBILEDRV_NOTIFY_SUCCEEDED : MOBILEDRV_NOTIFY_FAILED);
        EXPECT_EQ(all.back().targetPath, Target());
    }
}

// The library's client id to PPInit2, the host's URL and target to PPStartTaskEx, and each start's
// handle to the calls that follow it.
void EngineBehaviourTest::ExpectArguments() {
    uint32_t handle = 0;
    for (const EngineCall& call : HasEngine() ? Engine().Log() : std::vector<EngineCall>{}) {
        if (call.name == "PPInit2") {
            EXPECT_EQ(call.text1, L"Varnelmobilemgr");
            EXPECT_EQ(call.args, (std::vector<uint32_t>{0, 0}));
        } else if (call.name == "PPStartTaskEx") {
            EXPECT_EQ(call.text1, kUrl);
            EXPECT_EQ(call.text2, Target());
            EXPECT_EQ(call.args, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0}));
            handle = call.handle;
        } else if (call.name != "PPClose") {
            EXPECT_EQ(call.handle, handle) << call.name;
        }
    }
}

} // namespace

// DownLoadFile loads, uses and closes an instance of its own at each call; a downloader's
// instance serves DownloadNow after DownloadNow, which notify nothing, and its tasks, until the
// downloader goes.
TEST_P(EngineBehaviourTest, ResultNotificationsEngineCallsAndTargetFollowTheEngine) {
    unique_downloader downloader;
    switch (std::get<1>(GetParam())) {
    case EntryPoint::DownLoadFile:
        Blocking([&] { return downLoadFile(kUrl, Target().c_str()); },
                 Row().instance + Transfer() + (Row().Up() ? Names{"PPClose"} : Names{}));
        break;
    case EntryPoint::DownloadNow:
        downloader = Initialised();
        Blocking([&] { return downloader->DownloadNow(kUrl, Target().c_str()); }, Transfer());
        EXPECT_TRUE(callback.All().empty());
        break;
    case EntryPoint::AddTask:
        downloader = Initialised();
        AddOneTask(*downloader);
        break;
    }
    ExpectArguments();
    // The old file is gone once a transfer was to start, and untouched otherwise.
    if (Row().clearsTarget) {
        EXPECT_FALSE(tree.Exists(L"out\\pkg.zip"));
    } else {
        EXPECT_EQ(tree.ReadFile(L"out\\pkg.zip"), "old");
    }
    // A downloader whose Init the engine refused initialises once the engine does.
    if (downloader && HasEngine() && !Row().initialises) {
        Engine().SetInitResult(true);
        EXPECT_EQ(downloader->Init(&callback), 1) << "the downloader stays usable";
    }
    downloader.reset();
    if (HasEngine()) {
        EXPECT_EQ(Engine().Counters().liveInstances, 0u);
    }
    EXPECT_TRUE(EngineLoadedOnlyByTest());
}

INSTANTIATE_TEST_SUITE_P(Behaviours, EngineBehaviourTest,
                         testing::Combine(testing::ValuesIn(kBehaviours),
                                          testing::Values(EntryPoint::DownLoadFile,
                                                          EntryPoint::DownloadNow,
                                                          EntryPoint::AddTask)),
                         CaseName);
