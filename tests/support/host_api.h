// The library as a host calls it: its exports' types for GetProcAddress, an owner that releases a
// downloader, and the task record a host fills. Needs no GoogleTest: the benchmark and drvget
// use it too.
#pragma once

#include "MobileDrvDown.h"

#include <memory>
#include <string_view>

namespace drvtest {

// decltype reads the declarations only: nothing here binds to the import library.
using CreateInstanceFn = decltype(&CreateInstance);
using DownLoadFileFn = decltype(&DownLoadFile);
using ExtractZipFileFn = decltype(&ExtractZipFile);

struct ReleaseDownloader {
    void operator()(IMobileDrvDown* downloader) const { downloader->Release(); }
};
// A downloader that is released when its owner goes, also when a test ends early.
using unique_downloader = std::unique_ptr<IMobileDrvDown, ReleaseDownloader>;

// A parameter record for AddTask as a host fills it: zeroed, each text cut to its field.
inline _MOBILE_DRV_TASK TaskRecord(std::wstring_view name, std::wstring_view url,
                                   std::wstring_view target, int context = 0) {
    _MOBILE_DRV_TASK record{};
    name.copy(record.name, MOBILEDRV_NAME_CHARS - 1);
    url.copy(record.url, MOBILEDRV_TEXT_CHARS - 1);
    target.copy(record.targetPath, MOBILEDRV_TEXT_CHARS - 1);
    record.context = context;
    return record;
}

} // namespace drvtest
