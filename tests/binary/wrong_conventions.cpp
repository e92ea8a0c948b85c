// A library with the shape of MobileDrvDown.dll and the calling conventions a slip would give it:
// the interface operations as plain member functions (thiscall on x86: `this` in ecx, so each
// removes 4 bytes less) and the exports as cdecl (the caller removes the arguments). The binary
// check must reject every one of them; the test that runs it on this library expects exactly
// that.
#include <cwchar>

class IWronglyDeclared {
public:
    virtual void Release() = 0;
    virtual int Init(void* callback) = 0;
    virtual void Uninit() = 0;
    virtual int AddTask(void* task) = 0;
    virtual int CancelTask(const wchar_t* name) = 0;
    virtual int DownloadNow(const wchar_t* url, const wchar_t* targetPath) = 0;
};

class CDrvDownloader final : public IWronglyDeclared {
public:
    void Release() override { delete this; }
    int Init(void* callback) override { return callback != nullptr ? 1 : 0; }
    void Uninit() override { callback_ = nullptr; }
    int AddTask(void* task) override { return task != nullptr ? 1 : 0; }
    int CancelTask(const wchar_t* name) override { return name != nullptr && *name != 0 ? 1 : 0; }
    int DownloadNow(const wchar_t* url, const wchar_t* targetPath) override {
        return std::wcscmp(url, targetPath) != 0 ? 1 : 0;
    }

private:
    void* callback_ = nullptr;
};

extern "C" {

__declspec(dllexport) IWronglyDeclared* CreateInstance(int requestedVersion, int* outVersion) {
    *outVersion = 1001;
    return requestedVersion <= 1001 ? new CDrvDownloader : nullptr;
}

__declspec(dllexport) int DownLoadFile(const wchar_t* url, const wchar_t* targetPath) {
    return std::wcscmp(url, targetPath) != 0 ? 1 : 0;
}

__declspec(dllexport) int ExtractZipFile(const void* reserved1, const void* reserved2) {
    return reserved1 != reserved2 ? 1 : 0;
}

} // extern "C"
