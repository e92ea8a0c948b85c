/*
 * MobileDrvDownHost.h: what every C++ host of MobileDrvDown.dll would otherwise write by hand
 * around MobileDrvDown.h. Header-only; C++11 and later, with any host compiler (Microsoft's, clang
 * in either mode, MinGW-w64), and it needs no C++ standard library.
 *
 *   mobiledrv::unique_downloader  owns an IMobileDrvDown and calls its Release when it goes
 *   mobiledrv::TaskRecord(...)    the parameter record of AddTask, filled from strings
 *   mobiledrv::CreateInstanceFn, DownLoadFileFn, ExtractZipFileFn
 *                                 the exports' types, for hosts that use GetProcAddress
 */
#ifndef MOBILEDRVDOWNHOST_H
#define MOBILEDRVDOWNHOST_H

#include "MobileDrvDown.h"

namespace mobiledrv {

typedef IMobileDrvDown*(__stdcall* CreateInstanceFn)(int requestedVersion, int* outVersion);
typedef int(__stdcall* DownLoadFileFn)(const wchar_t* url, const wchar_t* targetPath);
typedef int(__stdcall* ExtractZipFileFn)(const void* reserved1, const void* reserved2);

/*
 * Owns one downloader: Release runs when the owner is reset or goes out of scope, also when the
 * host leaves early by return or exception. Movable, not copyable (Release may run only once).
 * Reset it from inside OnNotify to release the downloader there.
 */
class unique_downloader {
public:
    unique_downloader() : downloader_(0) {}
    explicit unique_downloader(IMobileDrvDown* downloader) : downloader_(downloader) {}
    unique_downloader(unique_downloader&& other) : downloader_(other.release()) {}
    unique_downloader& operator=(unique_downloader&& other) {
        reset(other.release());
        return *this;
    }
    unique_downloader(const unique_downloader&) = delete;
    unique_downloader& operator=(const unique_downloader&) = delete;
    ~unique_downloader() { reset(); }

    IMobileDrvDown* get() const { return downloader_; }
    IMobileDrvDown* operator->() const { return downloader_; }
    IMobileDrvDown& operator*() const { return *downloader_; }
    explicit operator bool() const { return downloader_ != 0; }

    /* Gives the downloader up without releasing it. */
    IMobileDrvDown* release() {
        IMobileDrvDown* downloader = downloader_;
        downloader_ = 0;
        return downloader;
    }
    /* Releases the downloader held (if any) and holds `downloader`. The held pointer is cleared
       before Release runs, so a notification that reaches this owner meanwhile sees none. */
    void reset(IMobileDrvDown* downloader = 0) {
        IMobileDrvDown* old = downloader_;
        downloader_ = downloader;
        if (old != 0) {
            old->Release();
        }
    }

private:
    IMobileDrvDown* downloader_;
};

/*
 * A text for TaskRecord: a NUL-terminated string, or any string type with data() and size()
 * (std::wstring, std::wstring_view, ...), which need not be terminated.
 */
class TaskText {
public:
    TaskText(const wchar_t* text) : text_(text), length_(Length(text)) {}
    template <class Text,
              class = decltype(static_cast<const wchar_t*>(static_cast<const Text*>(0)->data()))>
    TaskText(const Text& text) : text_(text.data()), length_(text.size()) {}

    /* Copies the text into `field` of `chars` characters, cut to chars - 1 and terminated. */
    void CopyTo(wchar_t* field, size_t chars) const {
        size_t count = length_ < chars - 1 ? length_ : chars - 1;
        for (size_t i = 0; i < count; ++i) {
            field[i] = text_[i];
        }
        field[count] = L'\0';
    }

private:
    static size_t Length(const wchar_t* text) {
        size_t length = 0;
        while (text != 0 && text[length] != L'\0') {
            ++length;
        }
        return length;
    }

    const wchar_t* text_;
    size_t length_;
};

/*
 * The parameter record of IMobileDrvDown::AddTask: zeroed, each text cut to its field so that
 * every field is terminated (the library cuts an over-long field the same way; a host that cuts
 * it itself knows what was sent). `context` comes back in every notification of the downloader.
 */
inline _MOBILE_DRV_TASK TaskRecord(TaskText name, TaskText url, TaskText targetPath,
                                   int context = 0) {
    _MOBILE_DRV_TASK record = {};
    name.CopyTo(record.name, MOBILEDRV_NAME_CHARS);
    url.CopyTo(record.url, MOBILEDRV_TEXT_CHARS);
    targetPath.CopyTo(record.targetPath, MOBILEDRV_TEXT_CHARS);
    record.context = context;
    return record;
}

} // namespace mobiledrv

#endif /* MOBILEDRVDOWNHOST_H */
