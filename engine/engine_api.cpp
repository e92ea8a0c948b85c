#include "engine/engine_api.h"

#include "base/module.h"
#include "engine/verify.h"

#include <shlwapi.h>

// The instance is closed before its module reference goes with the member.
EngineApi::~EngineApi() {
    PPClose();
}

void EngineApi::Bind(unique_hmodule loaded) {
    module = std::move(loaded);
    for (std::size_t i = 0; i < kEngineEntryCount; ++i) {
        entries[i] = GetProcAddress(module.get(), kEngineExportNames[i]);
    }
}

bool EngineApi::PPInit2(const wchar_t* clientId, std::uint32_t a, std::uint32_t b) const {
    return Has(kPPInit2) && Entry<PPInit2Fn>(kPPInit2)(clientId, a, b) != 0;
}

std::uint32_t EngineApi::PPStartTaskEx(const wchar_t* url, const wchar_t* targetPath) const {
    // A transfer whose state cannot be queried would be polled for ever: an engine without
    // PPQueryTaskEx refuses every start, as one without PPStartTaskEx does.
    if (!Has(kPPStartTaskEx) || !Has(kPPQueryTaskEx)) {
        return 0;
    }
    return Entry<PPStartTaskExFn>(kPPStartTaskEx)(url, targetPath, 0, 0, 0, 0, 0, 0);
}

bool EngineApi::PPQueryTaskEx(std::uint32_t handle, PP_TASK_STATUS* status) const {
    return Has(kPPQueryTaskEx) && Entry<PPQueryTaskExFn>(kPPQueryTaskEx)(handle, status) != 0;
}

void EngineApi::PPRemoveTask(std::uint32_t handle) const {
    if (Has(kPPRemoveTask)) {
        Entry<PPRemoveTaskFn>(kPPRemoveTask)(handle);
    }
}

void EngineApi::PPCloseHandle(std::uint32_t handle) const {
    if (Has(kPPCloseHandle)) {
        Entry<PPCloseHandleFn>(kPPCloseHandle)(handle);
    }
}

void EngineApi::PPClose() const {
    if (Has(kPPClose)) {
        Entry<PPCloseFn>(kPPClose)();
    }
}

void EnginePath(wchar_t (&path)[MAX_PATH]) {
    if (PathCombineW(path, g_szModuleDir, L"..\\Tolvek.dll") == nullptr) {
        path[0] = L'\0';
    }
}

HMODULE LoadEngineModule(const wchar_t* path, LoadLibraryExWFn load) {
    // The engine's own folder first, then the host's folder and System32: never the current
    // folder or the PATH folders, where anyone may have planted a DLL of a dependency's name.
    HMODULE module = load(path, nullptr, kEngineSearchFlags);
    // Systems without these flags refuse them as an invalid parameter; there the engine's folder
    // takes the place of the host's in the search for its dependencies. Any other failure stands:
    // a dependency that is missing from the safe places is not looked for anywhere else.
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = load(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

EngineLoad LoadEngine() {
    wchar_t path[MAX_PATH] = {};
    EnginePath(path);
    if (path[0] == L'\0' || !PathFileExistsW(path)) {
        return {EngineLoadStatus::NoFile, {}};
    }

    // Held open from the check until the image is mapped, so the file cannot be swapped between.
    // A file that cannot be opened or read through cannot be loaded either; only one read whole
    // and not trusted is damaged.
    unique_hfile file = OpenEngineFileForVerification(path);
    if (!file) {
        return {EngineLoadStatus::NotLoadable, {}};
    }
    switch (CheckEngineFile(file.get())) {
    case EngineFileCheck::Trusted:
        break;
    case EngineFileCheck::Unreadable:
        return {EngineLoadStatus::NotLoadable, {}};
    case EngineFileCheck::NoResources:
        return {EngineLoadStatus::NoMemory, {}};
    case EngineFileCheck::Untrusted:
        ReportDamagedEngineAndExit(path);
    }

    EngineRef engine = EngineRef::make();
    if (!engine) {
        return {EngineLoadStatus::NoMemory, {}};
    }
    unique_hmodule module(LoadEngineModule(path));
    file.reset();
    if (!module) {
        return {EngineLoadStatus::NotLoadable, {}};
    }
    engine->Bind(std::move(module));

    // A failed initialisation tears the instance down right here: the record's destructor calls
    // PPClose and unloads the library.
    if (!engine->PPInit2(kEngineClientId, 0, 0)) {
        return {EngineLoadStatus::InitFailed, {}};
    }
    return {EngineLoadStatus::Ready, std::move(engine)};
}
