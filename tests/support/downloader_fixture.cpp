#include "support/downloader_fixture.h"

namespace drvtest {

void DownloaderFixture::Install(const wchar_t* engine, const wchar_t* library) {
    tree.InstallLibrary(library);
    if (engine != nullptr) {
        tree.InstallEngine(engine);
    }
    tree.MakeDir(L"out");
}

void DownloaderFixture::Bind(HMODULE library, bool engine) {
    ASSERT_NE(library, nullptr);
    createInstance = GetProc<CreateInstanceFn>(library, "CreateInstance");
    downLoadFile = GetProc<DownLoadFileFn>(library, "DownLoadFile");
    ASSERT_NE(createInstance, nullptr);
    ASSERT_NE(downLoadFile, nullptr);
    if (engine) {
        engine_.emplace(tree);
    }
}

void DownloaderFixture::SetUpTree(const wchar_t* engine, const wchar_t* library) {
    Install(engine, library);
    Bind(tree.LoadLibraryFromTree(), engine != nullptr);
}

void DownloaderFixture::SetUpTreeWithImportFaults() {
    Install(L"Tolvek.dll", L"MobileDrvDown.dll");
    faults_.emplace(LibraryPath());
    injected_.reset(faults_->Load());
    Bind(injected_.get(), true);
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
    if (!engine_) {
        return GetModuleHandleW(EnginePath().c_str()) == nullptr;
    }
    if (!FreeLibrary(Engine().Module())) {
        return false;
    }
    const bool gone = GetModuleHandleW(EnginePath().c_str()) == nullptr;
    LoadLibraryW(EnginePath().c_str()); // the test's reference back
    return gone;
}

} // namespace drvtest
