#include "support/downloader_fixture.h"

#include <cstring>

namespace drvtest {

void DownloaderFixture::SetUpTree(const wchar_t* engine, const wchar_t* library) {
    tree.InstallLibrary(library);
    if (engine != nullptr) {
        tree.InstallEngine(engine);
    }
    tree.MakeDir(L"out");
    createInstance = GetProc<CreateInstanceFn>(tree.LoadLibraryFromTree(), "CreateInstance");
    ASSERT_NE(createInstance, nullptr);
    if (engine != nullptr) {
        engine_.emplace(tree);
    }
}

IMobileDrvDown* DownloaderFixture::Create() {
    int version = 0;
    IMobileDrvDown* downloader = createInstance(MOBILEDRV_INTERFACE_VERSION, &version);
    EXPECT_NE(downloader, nullptr);
    return downloader;
}

IMobileDrvDown* DownloaderFixture::CreateReady() {
    IMobileDrvDown* downloader = Create();
    EXPECT_EQ(downloader->Init(&callback), 1);
    return downloader;
}

bool DownloaderFixture::EngineLoadedOnlyByTest() {
    if (!FreeLibrary(Engine().Module())) {
        return false;
    }
    const bool gone = GetModuleHandleW(EnginePath().c_str()) == nullptr;
    LoadLibraryW(EnginePath().c_str()); // the test's reference back
    return gone;
}

_MOBILE_DRV_TASK DownloaderFixture::Record(const std::wstring& name, const std::wstring& url,
                                           const std::wstring& target, int context) {
    _MOBILE_DRV_TASK record;
    std::memset(&record, 0, sizeof record);
    wcsncpy(record.name, name.c_str(), MOBILEDRV_NAME_CHARS - 1);
    wcsncpy(record.url, url.c_str(), MOBILEDRV_TEXT_CHARS - 1);
    wcsncpy(record.targetPath, target.c_str(), MOBILEDRV_TEXT_CHARS - 1);
    record.context = context;
    return record;
}

} // namespace drvtest
