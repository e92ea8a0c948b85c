// Downloads end to end: the library drives the stand-in engine with real transfers against a
// loopback HTTP server of the test's own; and drvget, the command-line host, run as a program.
#include "standin_engine/status_values.h"
#include "support/child_process.h"
#include "support/downloader_fixture.h"
#include "support/http_test_server.h"
#include "support/process_handles.h"
#include "support/random_bytes.h"
#include "support/wait.h"

#include <shlwapi.h>

#include <algorithm>
#include <array>
#include <iterator>

using namespace drvtest;

namespace {

// The engine's status record as PPQueryTaskEx fills it.
struct EngineStatus {
    std::array<uint32_t, 7> values{};
    int32_t state = 0;
};

uint64_t Total(const unsigned* status) {
    return standin::Combined(status, standin::kValueTotalLow);
}

uint64_t Received(const unsigned* status) {
    return standin::Combined(status, standin::kValueReceivedLow);
}

std::wstring FileUrl(const std::wstring& path) {
    wchar_t url[2048] = {};
    DWORD length = 2048;
    EXPECT_EQ(UrlCreateFromPathW(path.c_str(), url, &length, 0), S_OK);
    return url;
}

using Files = std::vector<std::wstring>;

// A downloader of a fresh tree whose engine moves real bytes, and a loopback server.
class EndToEnd : public DownloaderFixture {
protected:
    void SetUp() override {
        SetUpTree();
        Engine().UseRealTransfers();
        downloader = CreateReady();
    }
    // Adds the task `name` downloading `url` into out\<name>.
    void Add(const std::wstring& name, const std::wstring& url) {
        auto record = TaskRecord(name, url, Out(name));
        ASSERT_EQ(downloader->AddTask(&record), 1);
    }
    std::vector<std::wstring> OutFiles() const { return tree.FilesIn(L"out"); }
    std::string OutFile(const std::wstring& name) const { return tree.ReadFile(L"out\\" + name); }
    // The final notification of the task, after waiting for `count` finals in all.
    int FinalKindOf(const std::wstring& name) {
        const auto finals = OfKind(callback.For(name), MOBILEDRV_NOTIFY_SUCCEEDED);
        const auto failures = OfKind(callback.For(name), MOBILEDRV_NOTIFY_FAILED);
        EXPECT_EQ(finals.size() + failures.size(), 1u) << "exactly one final notification";
        return failures.empty() ? MOBILEDRV_NOTIFY_SUCCEEDED : MOBILEDRV_NOTIFY_FAILED;
    }

    HttpTestServer server;
    unique_downloader downloader;
};

} // namespace

TEST_F(EndToEnd, DownloadsTheServedBytesSizedUnsizedAndThroughARedirect) {
    const std::string body = RandomBytes(3 * 1024 * 1024 + 123, 1);
    server.Route("/pkg.zip", HttpResponse::Ok(body));
    server.Route("/moved", HttpResponse::Redirect(server.Address("/pkg.zip")));
    HttpResponse unsized = HttpResponse::Ok(body);
    unsized.announceLength = false;
    server.Route("/unsized.zip", unsized);

    Add(L"direct.zip", server.Url("/pkg.zip"));
    Add(L"moved.zip", server.Url("/moved"));
    Add(L"unsized.zip", server.Url("/unsized.zip"));
    ASSERT_TRUE(callback.WaitForFinals(3, 30000));

    for (const wchar_t* name : {L"direct.zip", L"moved.zip", L"unsized.zip"}) {
        EXPECT_EQ(FinalKindOf(name), MOBILEDRV_NOTIFY_SUCCEEDED) << name;
        EXPECT_TRUE(OutFile(name) == body) << name << " holds other bytes";
    }
    EXPECT_EQ(server.Requests("/moved"), 1u);
    EXPECT_EQ(server.Requests("/pkg.zip"), 2u) << "the redirect was followed";
    EXPECT_EQ(OutFiles(), (Files{L"direct.zip", L"moved.zip", L"unsized.zip"}))
        << "no temporary file is left";
}

TEST_F(EndToEnd, ManyTasksAtOnceEachGetTheirOwnBytes) {
    constexpr int kTasks = 6;
    std::vector<std::string> bodies;
    for (int i = 0; i < kTasks; ++i) {
        bodies.push_back(RandomBytes(400 * 1024 + static_cast<std::size_t>(i) * 7919, 10 + i));
        server.Route("/f" + std::to_string(i), HttpResponse::Slow(bodies.back(), 64 * 1024, 30));
    }
    for (int i = 0; i < kTasks; ++i) {
        Add(L"f" + std::to_wstring(i), server.Url("/f" + std::to_string(i)));
    }
    ASSERT_TRUE(callback.WaitForFinals(kTasks, 30000));
    for (int i = 0; i < kTasks; ++i) {
        const std::wstring name = L"f" + std::to_wstring(i);
        EXPECT_EQ(FinalKindOf(name), MOBILEDRV_NOTIFY_SUCCEEDED) << i;
        EXPECT_TRUE(OutFile(name) == bodies[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_EQ(OutFiles().size(), static_cast<std::size_t>(kTasks));
}

TEST_F(EndToEnd, NotFoundAndARefusedConnectionEachFailOnceAndLeaveNothing) {
    tree.WriteFile(L"out\\refused.zip", "an older download");
    Add(L"missing.zip", server.Url("/nothing-here"));
    Add(L"refused.zip",
        L"http://127.0.0.1:" + std::to_wstring(HttpTestServer::UnusedPort()) + L"/pkg.zip");
    ASSERT_TRUE(callback.WaitForFinals(2, 30000));
    Sleep(1500); // time for a second final notification, were there one

    EXPECT_EQ(FinalKindOf(L"missing.zip"), MOBILEDRV_NOTIFY_FAILED);
    EXPECT_EQ(FinalKindOf(L"refused.zip"), MOBILEDRV_NOTIFY_FAILED);
    EXPECT_EQ(server.Requests("/nothing-here"), 1u);
    EXPECT_EQ(OutFiles(), Files{}) << "nothing under the targets' names, no temporary files";
}

TEST_F(EndToEnd, AServerClosingMidBodyFailsTheTaskAndLeavesNoPartialFile) {
    HttpResponse cut = HttpResponse::Ok(RandomBytes(1024 * 1024, 2));
    cut.closeAfter = 300 * 1024;
    server.Route("/cut.zip", cut);
    Add(L"cut.zip", server.Url("/cut.zip"));
    ASSERT_TRUE(callback.WaitForFinals(1, 30000));
    EXPECT_EQ(FinalKindOf(L"cut.zip"), MOBILEDRV_NOTIFY_FAILED);
    EXPECT_EQ(OutFiles(), Files{});
}

TEST_F(EndToEnd, CancelMidTransferStopsItWithNoNotificationAfterAndNoFile) {
    // About 6 s of sending, so the cancel comes in the middle.
    server.Route("/slow.zip", HttpResponse::Slow(RandomBytes(4 * 1024 * 1024, 3), 16 * 1024, 25));
    Add(L"slow.zip", server.Url("/slow.zip"));
    ASSERT_TRUE(callback.WaitFor(
        [](const std::vector<Notification>& all) {
            return std::any_of(all.begin(), all.end(), [](const Notification& n) {
                return n.kind == MOBILEDRV_NOTIFY_PROGRESS && Received(n.status) > 0;
            });
        },
        10000));
    // Mid-transfer the bytes so far are in a temporary file beside the target, never in it.
    const Files during = OutFiles();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].rfind(L"~slow.zip.", 0), 0u) << during[0];
    EXPECT_TRUE(during[0].ends_with(L".part")) << during[0];

    ASSERT_EQ(downloader->CancelTask(L"SLOW.ZIP"), 1);
    ASSERT_TRUE(Engine().WaitForCalls("PPCloseHandle", 1, 3000));
    const std::size_t seen = callback.All().size();
    EXPECT_TRUE(PollUntil([&] { return OutFiles().empty(); }, 5000))
        << "the stopped transfer removes its temporary file";
    Sleep(1500);
    EXPECT_EQ(callback.All().size(), seen) << "no notification after the cancel";
    EXPECT_EQ(OutFiles(), Files{});
}

TEST_F(EndToEnd, ProgressNeverGoesBackwardsAndEndsAtTheTotal) {
    const std::string body = RandomBytes(2 * 1024 * 1024, 4);
    server.Route("/pkg.zip", HttpResponse::Slow(body, 32 * 1024, 45)); // about 3 s
    Add(L"pkg.zip", server.Url("/pkg.zip"));
    ASSERT_TRUE(callback.WaitForFinals(1, 30000));
    ASSERT_EQ(FinalKindOf(L"pkg.zip"), MOBILEDRV_NOTIFY_SUCCEEDED);

    const auto progress = OfKind(callback.All(), MOBILEDRV_NOTIFY_PROGRESS);
    ASSERT_GE(progress.size(), 2u);
    for (std::size_t i = 0; i < progress.size(); ++i) {
        const unsigned* status = progress[i].status;
        EXPECT_EQ(Total(status), body.size()) << i;
        EXPECT_LE(Received(status), body.size()) << i;
        EXPECT_EQ(status[standin::kValueHttpStatus], 200u) << i;
        if (i > 0) {
            const unsigned* before = progress[i - 1].status;
            EXPECT_GE(Received(status), Received(before)) << i;
            EXPECT_GT(status[standin::kValueElapsedMs], before[standin::kValueElapsedMs]);
        }
    }
    EXPECT_GT(Received(progress.back().status), Received(progress.front().status));
    EXPECT_GT(progress.back().status[standin::kValueSpeed], 0u);

    // The task ended by its state, so the engine still answers for it: the count reached the
    // total, the last speed is the average of the whole transfer.
    const uint32_t handle = Engine().Calls("PPStartTaskEx").at(0).handle;
    PP_TASK_STATUS raw{};
    ASSERT_TRUE(GetProc<PPQueryBytesFn>(Engine().Module(),
                                        "PPQueryTaskEx")(handle, reinterpret_cast<uint8_t*>(&raw)));
    unsigned values[7];
    std::copy(std::begin(raw.values), std::end(raw.values), values);
    values[6] = raw.value36;
    EXPECT_EQ(raw.state, standin::kStateFinished);
    EXPECT_EQ(Total(values), body.size());
    EXPECT_EQ(Received(values), body.size());
    EXPECT_GE(values[standin::kValueElapsedMs], progress.back().status[standin::kValueElapsedMs]);
    const uint64_t average = body.size() * 1000 / std::max(values[standin::kValueElapsedMs], 1u);
    EXPECT_NEAR(static_cast<double>(values[standin::kValueSpeed]), static_cast<double>(average),
                average * 0.01 + 1);
    EXPECT_TRUE(OutFile(L"pkg.zip") == body);
}

TEST_F(EndToEnd, FileUrlsAreCopiedLocallyAndAMissingFileFails) {
    const std::string body = RandomBytes(2 * 1024 * 1024 + 5, 5);
    tree.MakeDir(L"source dir");
    tree.WriteFile(L"source dir\\driver pkg.zip", body);
    Add(L"copy.zip", FileUrl(tree.Path(L"source dir\\driver pkg.zip")));
    Add(L"missing.zip", FileUrl(tree.Path(L"source dir\\not there.zip")));
    ASSERT_TRUE(callback.WaitForFinals(2, 30000));
    EXPECT_EQ(FinalKindOf(L"copy.zip"), MOBILEDRV_NOTIFY_SUCCEEDED);
    EXPECT_EQ(FinalKindOf(L"missing.zip"), MOBILEDRV_NOTIFY_FAILED);
    EXPECT_TRUE(OutFile(L"copy.zip") == body);
    EXPECT_EQ(OutFiles(), Files{L"copy.zip"});
}

TEST_F(EndToEnd, DownLoadFileAndDownloadNowFetchTheSameFile) {
    const std::string body = RandomBytes(1536 * 1024, 6);
    server.Route("/pkg.zip", HttpResponse::Ok(body));

    EXPECT_EQ(downLoadFile(server.Url("/pkg.zip").c_str(), Out(L"blocking.zip").c_str()), 1);
    EXPECT_EQ(downloader->DownloadNow(server.Url("/pkg.zip").c_str(), Out(L"now.zip").c_str()), 1);
    EXPECT_TRUE(OutFile(L"blocking.zip") == body);
    EXPECT_TRUE(OutFile(L"now.zip") == body);

    EXPECT_EQ(downLoadFile(server.Url("/gone").c_str(), Out(L"gone1.zip").c_str()), 0);
    EXPECT_EQ(downloader->DownloadNow(server.Url("/gone").c_str(), Out(L"gone2.zip").c_str()), 0);
    EXPECT_EQ(OutFiles(), (Files{L"blocking.zip", L"now.zip"}));
}

TEST_F(EndToEnd, FinishedAndFailedTransfersLeaveNoHandleOnceTheDownloaderIsReleased) {
    // Each round has a downloader, a callback and a server of its own, all gone when it ends.
    // Every round must end with exactly the handles of each type the process held before the
    // first: the transfers run on the engine's threads, and what WinHTTP and Winsock keep for a
    // thread goes with it. (This thread's own Winsock objects, which last as long as the thread,
    // were made when the fixture's server started.)
    downloader.reset();
    MakeMessageQueue();
    const std::vector<ProcessHandle> before = ProcessHandles();
    ASSERT_FALSE(before.empty());
    const std::string body = RandomBytes(512 * 1024 + 17, 9);
    for (int round = 0; round < 2; ++round) {
        {
            HttpTestServer roundServer;
            roundServer.Route("/pkg.zip", HttpResponse::Ok(body));
            roundServer.Route("/moved", HttpResponse::Redirect(roundServer.Address("/pkg.zip")));
            HttpResponse unsized = HttpResponse::Ok(body);
            unsized.announceLength = false;
            roundServer.Route("/unsized.zip", unsized);
            RecordingCallback finals;
            auto roundDownloader = Create();
            ASSERT_EQ(roundDownloader->Init(&finals), 1);
            const std::wstring prefix = L"r" + std::to_wstring(round) + L"-";
            for (const auto& [name, path] : {std::pair{L"direct.zip", "/pkg.zip"},
                                             {L"moved.zip", "/moved"},
                                             {L"unsized.zip", "/unsized.zip"},
                                             {L"missing.zip", "/nothing-here"}}) {
                auto record = TaskRecord(prefix + name, roundServer.Url(path), Out(prefix + name));
                ASSERT_EQ(roundDownloader->AddTask(&record), 1);
            }
            const bool ended = finals.WaitForFinals(4, 30000);
            roundDownloader.reset();
            ASSERT_TRUE(ended);
            EXPECT_EQ(OfKind(finals.All(), MOBILEDRV_NOTIFY_SUCCEEDED).size(), 3u) << round;
            EXPECT_EQ(OfKind(finals.All(), MOBILEDRV_NOTIFY_FAILED).size(), 1u) << round;
        }
        // Workers may end a poll interval after Release has returned.
        EXPECT_EQ(HandleChangesSettled(before, 10000), "") << "after round " << round;
    }
}

// The engine alone: how a fresh load transfers, and what its last PPClose waits for.
class RealEngine : public ::testing::Test {
protected:
    void SetUp() override {
        tree.InstallEngine();
        tree.MakeDir(L"out");
        module = tree.LoadFromTree(L"Tolvek.dll");
        init = GetProc<PPInit2Fn>(module, "PPInit2");
        start = GetProc<PPStartTaskExFn>(module, "PPStartTaskEx");
        query = GetProc<PPQueryBytesFn>(module, "PPQueryTaskEx");
        remove = GetProc<PPRemoveTaskFn>(module, "PPRemoveTask");
        close = GetProc<PPCloseFn>(module, "PPClose");
    }
    uint32_t Start(const std::wstring& url, const std::wstring& target) {
        return start(url.c_str(), tree.Path(target).c_str(), 0, 0, 0, 0, 0, 0);
    }
    EngineStatus Query(uint32_t handle) {
        PP_TASK_STATUS raw{};
        EngineStatus status;
        if (query(handle, reinterpret_cast<uint8_t*>(&raw))) {
            std::copy(std::begin(raw.values), std::end(raw.values), status.values.begin());
            status.values[6] = raw.value36;
            status.state = raw.state;
        }
        return status;
    }
    // Polls until the transfer has left the running states; its last state.
    int32_t WaitForEnd(uint32_t handle) {
        int32_t state = 0;
        PollUntil(
            [&] {
                state = Query(handle).state;
                return state != standin::kStateConnecting && state != standin::kStateReceiving &&
                       state != standin::kStateFinishing;
            },
            20000);
        return state;
    }

    TestTree tree;
    HMODULE module = nullptr;
    PPInit2Fn init = nullptr;
    PPStartTaskExFn start = nullptr;
    PPQueryBytesFn query = nullptr;
    PPRemoveTaskFn remove = nullptr;
    PPCloseFn close = nullptr;
};

TEST_F(RealEngine, AFreshLoadTransfersForRealUntilTheTestHelperTakesOver) {
    const std::string body = RandomBytes(300 * 1024, 7);
    tree.WriteFile(L"source.bin", body);
    const std::wstring url = FileUrl(tree.Path(L"source.bin"));

    const uint32_t real = Start(url, L"out\\real.bin");
    ASSERT_NE(real, 0u);
    EXPECT_EQ(WaitForEnd(real), standin::kStateFinished);
    EXPECT_TRUE(tree.ReadFile(L"out\\real.bin") == body);
    EXPECT_EQ(Start(L"ftp://127.0.0.1/pkg.zip", L"out\\ftp.bin"), 0u) << "unsupported scheme";
    EXPECT_EQ(start(url.c_str(), L"", 0, 0, 0, 0, 0, 0), 0u) << "no target";

    // The helper switches the same loaded engine to scripts: the default one finishes at once,
    // and nothing moves.
    StandIn helper(tree);
    const uint32_t scripted = Start(url, L"out\\scripted.bin");
    EXPECT_EQ(Query(scripted).state, standin::kStateFinished);
    helper.UseRealTransfers();
    const uint32_t again = Start(url, L"out\\again.bin");
    EXPECT_EQ(WaitForEnd(again), standin::kStateFinished);
    helper.Reset();
    const uint32_t afterReset = Start(url, L"out\\reset.bin");
    EXPECT_EQ(Query(afterReset).state, standin::kStateFinished);
    EXPECT_EQ(tree.FilesIn(L"out"), (Files{L"again.bin", L"real.bin"}));
}

TEST_F(RealEngine, TheLastCloseStopsTransfersAndWaitsUntilTheirFilesAreGone) {
    HttpTestServer server;
    server.Route("/slow.zip", HttpResponse::Slow(RandomBytes(4 * 1024 * 1024, 8), 8 * 1024, 20));
    ASSERT_TRUE(init(L"Varnelmobilemgr", 0, 0));
    const uint32_t kept = Start(server.Url("/slow.zip"), L"out\\kept.zip");
    const uint32_t removed = Start(server.Url("/slow.zip"), L"out\\removed.zip");
    ASSERT_TRUE(PollUntil([&] { return Query(kept).state == standin::kStateReceiving; }, 10000));
    ASSERT_TRUE(PollUntil([&] { return Query(removed).state == standin::kStateReceiving; }, 10000));

    EXPECT_EQ(remove(removed), 1);
    EXPECT_EQ(Query(removed).state, 0) << "a stopped transfer reports nothing";
    EXPECT_NE(Query(kept).state, 0) << "the other one runs on";
    close();
    // PPClose returned only once no transfer ran any more: nothing is left to clean up.
    EXPECT_EQ(tree.FilesIn(L"out"), Files{});
    EXPECT_EQ(Query(kept).state, 0);
}

// drvget, run as a host program would be installed: <app>\bin\drvget.exe beside the library,
// the engine in <app>.
class DrvgetProgram : public ::testing::Test {
protected:
    void SetUp() override {
        tree.InstallLibrary();
        tree.InstallEngine();
        tree.CopyBuilt(L"drvget.exe", L"bin\\drvget.exe");
        tree.MakeDir(L"out");
    }
    ChildResult Run(const std::vector<std::wstring>& arguments) {
        return RunChild(tree.Path(L"bin\\drvget.exe"), arguments, {}, 90000);
    }

    TestTree tree;
    HttpTestServer server;
};

TEST_F(DrvgetProgram, DownloadsEveryPairAndExitsWithZero) {
    const std::string first = RandomBytes(2 * 1024 * 1024, 20);
    const std::string second = RandomBytes(700 * 1024, 21);
    server.Route("/a.zip", HttpResponse::Slow(first, 64 * 1024, 50)); // progress on the way
    server.Route("/b.zip", HttpResponse::Ok(second));
    const ChildResult child = Run({server.Url("/a.zip"), tree.Path(L"out\\a.zip"),
                                   server.Url("/b.zip"), tree.Path(L"out\\b.zip")});
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_TRUE(tree.ReadFile(L"out\\a.zip") == first);
    EXPECT_TRUE(tree.ReadFile(L"out\\b.zip") == second);
    EXPECT_NE(child.output.find("engine status"), std::string::npos)
        << "progress lines: " << child.output;
    EXPECT_NE(child.output.find("2 of 2 downloads succeeded"), std::string::npos) << child.output;

    const ChildResult blocking =
        Run({L"--blocking", server.Url("/b.zip"), tree.Path(L"out\\blocking.zip")});
    EXPECT_EQ(blocking.exitCode, 0u) << blocking.output;
    EXPECT_TRUE(tree.ReadFile(L"out\\blocking.zip") == second);
}

TEST_F(DrvgetProgram, AFailingDownloadOrABadCommandLineExitsNonZero) {
    server.Route("/b.zip", HttpResponse::Ok(RandomBytes(100 * 1024, 22)));
    const ChildResult failed = Run({server.Url("/b.zip"), tree.Path(L"out\\b.zip"),
                                    server.Url("/missing.zip"), tree.Path(L"out\\missing.zip")});
    EXPECT_EQ(failed.exitCode, 1u) << failed.output;
    EXPECT_NE(failed.output.find("1 of 2 downloads succeeded"), std::string::npos) << failed.output;
    EXPECT_EQ(tree.FilesIn(L"out"), Files{L"b.zip"});

    const ChildResult blocking =
        Run({L"--blocking", server.Url("/missing.zip"), tree.Path(L"out\\missing.zip")});
    EXPECT_EQ(blocking.exitCode, 1u) << blocking.output;

    EXPECT_EQ(Run({server.Url("/b.zip")}).exitCode, 2u) << "a URL without a target";
    EXPECT_EQ(Run({L"--frobnicate", server.Url("/b.zip"), tree.Path(L"out\\c.zip")}).exitCode, 2u);
    EXPECT_EQ(Run({L"--help"}).exitCode, 0u);
}

// drvget with the library as a release that trusts signers only builds it (DrvDownSigned: no
// file digests, the test maker A's key pinned): an engine A signed downloads; a damaged copy ends
// drvget with the documented code before anything is fetched.
TEST_F(DrvgetProgram, ASignerOnlyLibraryDownloadsThroughASignedEngineAndRefusesADamagedOne) {
    tree.InstallLibrary(L"DrvDownSigned.dll");
    tree.InstallEngine(L"signing\\Tolvek_signedA.dll");
    const std::string body = RandomBytes(300 * 1024, 23);
    server.Route("/s.zip", HttpResponse::Ok(body));
    const ChildResult child = Run({server.Url("/s.zip"), tree.Path(L"out\\s.zip")});
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_TRUE(tree.ReadFile(L"out\\s.zip") == body);

    tree.InstallEngine(L"signing\\Tolvek_signedA_tampered.dll");
    const ChildResult refused = Run({server.Url("/s.zip"), tree.Path(L"out\\t.zip")});
    EXPECT_EQ(refused.exitCode, 0xE0DD0001u) << refused.output;
    EXPECT_NE(refused.output.find("damaged"), std::string::npos) << refused.output;
    EXPECT_FALSE(tree.Exists(L"out\\t.zip"));
    EXPECT_EQ(server.Requests("/s.zip"), 1u);
}

TEST_F(DrvgetProgram, AnEngineThatCannotStartIsReportedWithExitCodeThree) {
    DeleteFileW(tree.Path(L"Tolvek.dll").c_str());
    const ChildResult missing = Run({server.Url("/a.zip"), tree.Path(L"out\\a.zip")});
    EXPECT_EQ(missing.exitCode, 3u) << missing.output;
    EXPECT_NE(missing.output.find("Tolvek.dll"), std::string::npos) << missing.output;

    // An engine file the library trusts but Windows cannot load: the library throws, in
    // Microsoft's format, and drvget still ends with its message and code.
    tree.InstallEngine(L"Tolvek_unloadable.dll");
    const ChildResult unloadable = Run({server.Url("/a.zip"), tree.Path(L"out\\a.zip")});
    EXPECT_EQ(unloadable.exitCode, 3u) << unloadable.output;
    EXPECT_NE(unloadable.output.find("can not load tolvek.dll"), std::string::npos)
        << unloadable.output;
}
