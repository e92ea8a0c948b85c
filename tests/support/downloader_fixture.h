// A fresh tree with the library and the stand-in engine, and downloaders made by its factory.
#pragma once

#include "MobileDrvDownHost.h"
#include "support/import_faults.h"
#include "support/recording_callback.h"
#include "support/standin.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace drvtest {

// The tests drive the library as hosts do, with the package's helpers.
using namespace mobiledrv;

class DownloaderFixture : public ::testing::Test {
protected:
    // Lays out the library (or its probe copy) and an engine variant (none for nullptr) and loads
    // them.
    void SetUpTree(const wchar_t* engine = L"Tolvek.dll",
                   const wchar_t* library = L"MobileDrvDown.dll");
    // The same with the library's imports routed through the failure injector (Faults()).
    void SetUpTreeWithImportFaults();
    unique_downloader Create();
    // A downloader initialised with `callback`.
    unique_downloader CreateReady();

    StandIn& Engine() { return *engine_; }
    ImportFaults& Faults() { return *faults_; }
    std::wstring LibraryPath() const { return tree.Path(L"bin\\MobileDrvDown.dll"); }
    std::wstring EnginePath() const { return tree.Path(L"Tolvek.dll"); }
    std::wstring Out(const std::wstring& name) const { return tree.Path(L"out\\" + name); }
    // The target of a case's one download.
    std::wstring Target() const { return Out(L"pkg.zip"); }
    // True when the engine module is mapped by the test's own load only (or, in a tree without
    // an engine, not at all): the library unloaded whatever it loaded.
    bool EngineLoadedOnlyByTest();
    TestTree tree;
    RecordingCallback callback;
    CreateInstanceFn createInstance = nullptr;
    DownLoadFileFn downLoadFile = nullptr;

private:
    void Install(const wchar_t* engine, const wchar_t* library);
    void Bind(HMODULE library, bool engine);

    std::optional<ImportFaults> faults_;
    unique_hmodule injected_; // the library loaded through the injector, unloaded before the tree
    std::optional<StandIn> engine_;
};

} // namespace drvtest
