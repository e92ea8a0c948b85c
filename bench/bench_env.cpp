#include "bench/bench_env.h"

#include "bench/win_handle.h"

#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace bench {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + " (error " + std::to_string(GetLastError()) + ")");
}

template <std::size_t N>
bool EqualText(const wchar_t (&field)[N], const std::wstring& text) {
    return text.size() < N && text.compare(field) == 0;
}

} // namespace

LoadedModule::LoadedModule(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (module_ == nullptr) {
        Fail("cannot load " + Narrow(path));
    }
}

LoadedModule::~LoadedModule() {
    FreeLibrary(module_);
}

FARPROC LoadedModule::Resolve(const char* name) const {
    const FARPROC function = GetProcAddress(module_, name);
    if (function == nullptr) {
        Fail(std::string("missing export ") + name);
    }
    return function;
}

Tree Tree::LayOut(const std::wstring& work) {
    Tree tree{.root = work + L"\\tree", .out = work + L"\\out"};
    for (const std::wstring& folder : {work, tree.root, tree.root + L"\\bin", tree.out}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            Fail("cannot create " + Narrow(folder));
        }
    }
    const std::wstring built = ProgramFolder();
    if (!CopyFileW((built + L"\\MobileDrvDown.dll").c_str(), tree.LibraryPath().c_str(), FALSE) ||
        !CopyFileW((built + L"\\Tolvek.dll").c_str(), tree.EnginePath().c_str(), FALSE)) {
        Fail("cannot copy the library and the engine into " + Narrow(tree.root));
    }
    return tree;
}

Engine::Engine(const std::wstring& path)
    : module_(path), init_(module_.Bind<PPInit2Fn>("PPInit2")),
      start_(module_.Bind<PPStartTaskExFn>("PPStartTaskEx")),
      query_(module_.Bind<PPQueryTaskExFn>("PPQueryTaskEx")),
      close_(module_.Bind<PPCloseFn>("PPClose")),
      reset_(module_.Bind<decltype(reset_)>("StandIn_Reset")),
      setMode_(module_.Bind<decltype(setMode_)>("StandIn_SetMode")),
      setDefaultScript_(module_.Bind<decltype(setDefaultScript_)>("StandIn_SetDefaultScript")),
      setDelay_(module_.Bind<decltype(setDelay_)>("StandIn_SetDelay")),
      releaseDelays_(module_.Bind<decltype(releaseDelays_)>("StandIn_ReleaseDelays")),
      logCount_(module_.Bind<decltype(logCount_)>("StandIn_LogCount")),
      callCount_(module_.Bind<decltype(callCount_)>("StandIn_CallCount")),
      getLogEntry_(module_.Bind<decltype(getLogEntry_)>("StandIn_GetLogEntry")),
      getCounters_(module_.Bind<decltype(getCounters_)>("StandIn_GetCounters")) {}

void Engine::ResetForRealTransfers() {
    reset_();
    setMode_(kStandInReal);
}

void Engine::ResetForScriptedState(int32_t state) {
    reset_();
    setMode_(kStandInScripted);
    const StandInStep forever{.result = 1, .state = state, .repeat = 0};
    setDefaultScript_(1, &forever, 1);
}

void Engine::HoldQueries() const {
    setDelay_("PPQueryTaskEx", INFINITE);
}

void Engine::ReleaseQueries() const {
    releaseDelays_();
}

uint32_t Engine::CallCount(const char* exportName) const {
    return callCount_(exportName);
}

StandInCounters Engine::Counters() const {
    StandInCounters counters{};
    getCounters_(&counters);
    return counters;
}

bool Engine::FindStart(const std::wstring& target, StartCall& call) const {
    // An entry holds two long strings: too big for the stack.
    auto entry = std::make_unique<StandInLogEntry>();
    for (uint32_t i = logCount_(); i-- > 0;) {
        if (getLogEntry_(i, entry.get()) != 0 &&
            std::string_view(entry->exportName) == "PPStartTaskEx" && entry->returned != 0 &&
            EqualText(entry->text2, target)) {
            call = StartCall{.handle = entry->handle,
                             .tickCalled = entry->tickCalled,
                             .tickReturned = entry->tickReturned};
            return true;
        }
    }
    return false;
}

bool Engine::Init() const {
    return init_(L"MobileDrvDownBench", 0, 0) != 0;
}

uint32_t Engine::StartTask(const std::wstring& url, const std::wstring& target) const {
    return start_(url.c_str(), target.c_str(), 0, 0, 0, 0, 0, 0);
}

bool Engine::Query(uint32_t handle, PP_TASK_STATUS& status) const {
    status = PP_TASK_STATUS{};
    return query_(handle, &status) != 0;
}

void Engine::Close() const {
    close_();
}

Library::Library(const std::wstring& path)
    : module_(path), createInstance_(module_.Bind<CreateInstanceFn>("CreateInstance")),
      downLoadFile_(module_.Bind<DownLoadFileFn>("DownLoadFile")) {}

IMobileDrvDown* Library::Create() const {
    int version = 0;
    IMobileDrvDown* downloader = createInstance_(MOBILEDRV_INTERFACE_VERSION, &version);
    if (downloader == nullptr) {
        Fail("CreateInstance returned no downloader");
    }
    return downloader;
}

bool Library::DownLoadFile(const std::wstring& url, const std::wstring& target) const {
    return downLoadFile_(url.c_str(), target.c_str()) != 0;
}

std::wstring ProgramFolder() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void MakeFileOfSize(const std::wstring& path, uint64_t size) {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        Fail("cannot create " + Narrow(path));
    }
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Get())) {
        Fail("cannot size " + Narrow(path));
    }
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
    return narrow;
}

} // namespace bench
