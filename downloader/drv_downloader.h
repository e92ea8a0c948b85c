// The downloader object hosts obtain from CreateInstance.
#pragma once

#include "MobileDrvDown.h"
#include "downloader/downloader_state.h"

// One downloader: one engine instance, the host's callback and a list of named tasks. The
// object itself is only the host's handle; everything its workers use lives in the shared
// DownloaderState, so a worker that outlives Release never touches freed memory.
class CDrvDownloader final : public IMobileDrvDown {
public:
    explicit CDrvDownloader(StateRef state) noexcept;
    // Runs the full Uninit sequence. Placed after DownloadNow in the table of virtual operations.
    virtual ~CDrvDownloader();

    void __stdcall Release() override;
    int __stdcall Init(IMobileDrvDownCallback* callback) override;
    void __stdcall Uninit() override;
    int __stdcall AddTask(_MOBILE_DRV_TASK* task) override;
    int __stdcall CancelTask(const wchar_t* name) override;
    int __stdcall DownloadNow(const wchar_t* url, const wchar_t* targetPath) override;

private:
    StateRef state_;
};

// A new downloader, or null when memory or its shutdown event cannot be had.
IMobileDrvDown* CreateDownloader();
