#include "support/downloader_fixture.h"

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

unique_downloader DownloaderFixture::Create() {
    int version = 0;
    unique_downloader downloader(createInstance(MOBILEDRV_INTERFACE_VERSION, &version));
    EXPECT_NE(downloader.get(), nullptr);
    return downloader;
}

unique_downloader DownloaderFixture::CreateReady() {
    unique_downloader downloader = Create();
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

} // namespace drvtest
