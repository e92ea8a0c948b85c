// The hosts' helper header as a host's source meets it: included first and alone, then used.
// Compiled by check_public_header.sh like header_check.cpp.
#include "MobileDrvDownHost.h"

// A string type with data() and size() and no terminator, as std::wstring_view is.
struct Span {
    const wchar_t* data() const { return text; }
    size_t size() const { return length; }
    const wchar_t* text;
    size_t length;
};

int UseEveryHelper(const wchar_t* url, const wchar_t* target) {
    // The exports' types are exactly those of the declarations.
    mobiledrv::CreateInstanceFn create = CreateInstance;
    mobiledrv::DownLoadFileFn download = DownLoadFile;
    mobiledrv::ExtractZipFileFn extract = ExtractZipFile;
    mobiledrv::unique_downloader owner(create(MOBILEDRV_INTERFACE_VERSION, NULL));
    mobiledrv::unique_downloader moved(static_cast<mobiledrv::unique_downloader&&>(owner));
    if (!moved) {
        return download(url, target) + extract(NULL, NULL);
    }
    const Span name = {L"pkg-and-more", 3};
    _MOBILE_DRV_TASK task = mobiledrv::TaskRecord(name, url, target, 7);
    const int taken = moved->AddTask(&task) + (*moved).CancelTask(task.name);
    moved.reset();
    owner = mobiledrv::unique_downloader(create(MOBILEDRV_INTERFACE_VERSION, NULL));
    return taken + (moved.get() == NULL) + (owner.release() != NULL);
}
