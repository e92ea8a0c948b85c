// file:// sources: a local copy of the file the URL names.
#include "standin_engine/real_transfer.h"

#include <shlwapi.h>

#include <algorithm>
#include <cwchar>

namespace standin {

namespace {

class FileSource final : public Source {
public:
    explicit FileSource(std::wstring path) : path_(std::move(path)) {}

    int32_t Open(uint64_t& total, uint32_t& code) override {
        code = 0;
        file_.reset(CreateFileW(path_.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size{};
        if (!file_ || !GetFileSizeEx(file_.get(), &size)) {
            return kStateUnreachable;
        }
        total = static_cast<uint64_t>(size.QuadPart);
        return 0;
    }

    bool Read(uint8_t* buffer, size_t size, size_t& got) override {
        DWORD read = 0;
        if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)),
                      &read, nullptr)) {
            return false;
        }
        got = read;
        return true;
    }

private:
    const std::wstring path_;
    unique_hfile file_;
};

} // namespace

std::unique_ptr<Source> MakeFileSource(const std::wstring& url) {
    if (_wcsnicmp(url.c_str(), L"file:", 5) != 0) {
        return nullptr;
    }
    // Decoding only shortens the URL; the room of a long path is added all the same.
    std::wstring path(url.size() + MAX_PATH, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (FAILED(PathCreateFromUrlW(url.c_str(), path.data(), &length, 0))) {
        return nullptr;
    }
    path.resize(wcsnlen(path.c_str(), path.size()));
    if (path.empty()) {
        return nullptr;
    }
    return std::make_unique<FileSource>(std::move(path));
}

} // namespace standin
