// Hostile and careless input: null pointers, unterminated and random records, odd targets.
#include "support/downloader_fixture.h"

#include <cstring>
#include <random>

using namespace drvtest;

namespace {

// A parameter record placed at the very end of a readable page: any read past the record's
// last byte faults at once instead of going unnoticed.
class GuardedRecord {
public:
    GuardedRecord() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const std::size_t pages =
            (sizeof(_MOBILE_DRV_TASK) + info.dwPageSize - 1) / info.dwPageSize + 1;
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, pages * info.dwPageSize,
                                                         MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + (pages - 1) * info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old);
        record_ = reinterpret_cast<_MOBILE_DRV_TASK*>(base_ + (pages - 1) * info.dwPageSize -
                                                      sizeof(_MOBILE_DRV_TASK));
    }
    ~GuardedRecord() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    _MOBILE_DRV_TASK* get() const { return record_; }
    unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(record_); }

private:
    unsigned char* base_ = nullptr;
    _MOBILE_DRV_TASK* record_ = nullptr;
};

class BadInputTest : public DownloaderFixture {
protected:
    void SetUp() override { SetUpTree(); }
};

} // namespace

TEST_F(BadInputTest, NullPointersGetTheirDocumentedResults) {
    auto extract =
        GetProc<ExtractZipFileFn>(GetModuleHandleW(LibraryPath().c_str()), "ExtractZipFile");
    EXPECT_EQ(downLoadFile(nullptr, nullptr), 0);
    EXPECT_EQ(downLoadFile(kUrl, nullptr), 0);
    EXPECT_EQ(downLoadFile(nullptr, Out(L"a.zip").c_str()), 0);
    EXPECT_EQ(extract(nullptr, nullptr), 1);
    EXPECT_NE(unique_downloader(createInstance(1001, nullptr)).get(), nullptr);

    auto downloader = Create();
    EXPECT_EQ(downloader->Init(nullptr), 0);
    EXPECT_EQ(downloader->AddTask(nullptr), 0);
    EXPECT_EQ(downloader->CancelTask(nullptr), 0);
    EXPECT_EQ(downloader->DownloadNow(nullptr, nullptr), 0);
    EXPECT_EQ(downloader->Init(&callback), 1);
    EXPECT_EQ(downloader->AddTask(nullptr), 0);
    EXPECT_EQ(downloader->CancelTask(nullptr), 0);
    EXPECT_EQ(downloader->DownloadNow(nullptr, Out(L"a.zip").c_str()), 0);
    EXPECT_EQ(downloader->DownloadNow(kUrl, nullptr), 0);
    downloader.reset();
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 0u);
}

TEST_F(BadInputTest, UnterminatedFieldsAreReadOnlyWithinTheRecord) {
    auto downloader = CreateReady();
    Engine().SetDefaultScript({QueryStep(standin::kStateFinished)});
    GuardedRecord record;
    std::wmemset(record.get()->name, L'N', MOBILEDRV_NAME_CHARS);
    std::wmemset(record.get()->url, L'U', MOBILEDRV_TEXT_CHARS);
    std::wmemset(record.get()->targetPath, L'T', MOBILEDRV_TEXT_CHARS);
    record.get()->owner = reinterpret_cast<void*>(~std::uintptr_t{0});
    record.get()->cancelEvent = reinterpret_cast<void*>(~std::uintptr_t{0});
    ASSERT_EQ(downloader->AddTask(record.get()), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    const auto start = Engine().Calls("PPStartTaskEx").at(0);
    EXPECT_EQ(start.text1, std::wstring(2047, L'U'));
    EXPECT_EQ(start.text2, std::wstring(2047, L'T'));
    EXPECT_EQ(callback.All().at(0).name, std::wstring(511, L'N'));
    EXPECT_EQ(callback.All().at(0).context, -1);
}

TEST_F(BadInputTest, RandomRecordsNeverCrashAndAreTakenOnlyWithAUrl) {
    auto downloader = CreateReady();
    Engine().SetDefaultFailingStart(); // no transfers: only the record handling is under test
    std::mt19937 random(20261208);
    GuardedRecord record;
    int taken = 0;
    int expected = 0;
    for (int round = 0; round < 40; ++round) {
        for (std::size_t i = 0; i < sizeof(_MOBILE_DRV_TASK); ++i) {
            record.bytes()[i] = static_cast<unsigned char>(random());
        }
        if (round % 4 == 0) {
            record.get()->url[0] = L'\0'; // empty URL: refused
        }
        if (round % 5 == 0) {
            record.get()->name[random() % MOBILEDRV_NAME_CHARS] = L'\0';
        }
        const bool hasUrl = record.get()->url[0] != L'\0';
        expected += hasUrl;
        const int result = downloader->AddTask(record.get());
        EXPECT_EQ(result, hasUrl ? 1 : 0) << "round " << round;
        taken += result;
        // Whatever the name holds, cancelling by it is safe.
        record.get()->name[MOBILEDRV_NAME_CHARS - 1] = L'\0';
        downloader->CancelTask(record.get()->name);
    }
    EXPECT_EQ(taken, expected);
    ASSERT_TRUE(Engine().WaitForCalls("PPStartTaskEx", static_cast<uint32_t>(expected), 5000));
}

TEST_F(BadInputTest, OddTargetsAreHandledWithoutTouchingOtherFiles) {
    auto downloader = CreateReady();
    // A missing folder: refused before the engine is asked.
    EXPECT_EQ(downloader->DownloadNow(kUrl, tree.Path(L"missing\\a.zip").c_str()), 0);
    EXPECT_EQ(Engine().CallCount("PPStartTaskEx"), 0u);

    // A read-only target is put aside and handed to the engine.
    tree.WriteFile(L"out\\ro.zip", "old");
    SetFileAttributesW(Out(L"ro.zip").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(downloader->DownloadNow(kUrl, Out(L"ro.zip").c_str()), 1);
    EXPECT_FALSE(tree.Exists(L"out\\ro.zip"));
    EXPECT_EQ(tree.ReadFile(L"out\\~ro.zip"), "old");

    // Put aside beside the target also when the path is long or written with forward slashes; a
    // file of the put-aside name in a folder further up stays as it is.
    const std::wstring upper = L"out\\" + std::wstring(240 - Out(L"").size(), L'u');
    const std::wstring deep = upper + L"\\" + std::wstring(100, L'v');
    tree.MakeDir(upper);
    tree.MakeDir(deep);
    tree.WriteFile(upper + L"\\~ro.zip", "unrelated");
    tree.WriteFile(deep + L"\\ro.zip", "old");
    tree.WriteFile(L"out\\fs.zip", "old");
    for (const std::wstring& target :
         {L"\\\\?\\" + tree.Path(deep + L"\\ro.zip"), tree.Path(L"out") + L"/fs.zip"}) {
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(downloader->DownloadNow(kUrl, target.c_str()), 1);
    }
    EXPECT_EQ(tree.FilesIn(deep), std::vector<std::wstring>{L"~ro.zip"});
    EXPECT_EQ(tree.ReadFile(upper + L"\\~ro.zip"), "unrelated");
    EXPECT_EQ(tree.ReadFile(L"out\\~fs.zip"), "old");
    EXPECT_FALSE(tree.Exists(L"~fs.zip"));

    // A folder at the target path stays as it is, whatever the engine then reports.
    tree.MakeDir(L"out\\folder.zip");
    tree.WriteFile(L"out\\folder.zip\\keep.txt", "inside");
    auto record = TaskRecord(L"folder", kUrl, Out(L"folder.zip"));
    EXPECT_EQ(downloader->AddTask(&record), 1);
    ASSERT_TRUE(callback.WaitForFinals(1, 5000));
    EXPECT_EQ(tree.ReadFile(L"out\\folder.zip\\keep.txt"), "inside");
    EXPECT_FALSE(tree.Exists(L"out\\~folder.zip"));

    // Overlong paths reach the engine cut to the record's size, never beyond.
    const std::wstring overlong = tree.Path(L"out\\") + std::wstring(5000, L'x');
    auto longRecord = TaskRecord(L"long", kUrl, overlong);
    EXPECT_EQ(downloader->AddTask(&longRecord), 1);
    ASSERT_TRUE(callback.WaitForFinals(2, 5000));
    EXPECT_EQ(Engine().Calls("PPStartTaskEx").back().text2.size(), 2047u);
}
