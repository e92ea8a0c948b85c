#include "support/child_process.h"

#include "base/unique_handle.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace drvtest {

namespace {

std::wstring Quote(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    for (wchar_t c : argument) {
        if (c == L'"') {
            quoted += L'\\';
        }
        quoted += c;
    }
    return quoted + L"\"";
}

// The name of a NAME=VALUE entry, with its '=' (names of drive variables start with '=').
std::wstring NameOf(const std::wstring& entry) {
    const std::size_t equals = entry.find(L'=', 1);
    return equals == std::wstring::npos ? entry : entry.substr(0, equals + 1);
}

bool Overridden(const std::wstring& entry, const std::vector<std::wstring>& extra) {
    const std::wstring name = NameOf(entry);
    for (const std::wstring& other : extra) {
        if (CompareStringOrdinal(name.c_str(), -1, NameOf(other).c_str(), -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

std::wstring EnvironmentBlock(const std::vector<std::wstring>& extra) {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (!Overridden(entry, extra)) {
            block.append(entry).push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(own);
    for (const std::wstring& entry : extra) {
        block.append(entry).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// A window station of this process's own, with no display, and its desktop, on which children
// run. On the shared interactive one, a child's first window (the library's message box about a
// damaged engine) has Wine start the desktop process, which inherits the child's Unix standard
// error, that is the test runner's output pipe, and lives until no process of the whole run uses
// the desktop any more: the runner would wait for all the other tests before this one could end.
class HiddenDesktop {
public:
    HiddenDesktop()
        : name_(L"drvtest-" + std::to_wstring(GetCurrentProcessId())),
          station_(CreateWindowStationW(name_.c_str(), 0, WINSTA_ALL_ACCESS, nullptr)) {
        // A desktop is made in the window station of the calling process.
        HWINSTA own = GetProcessWindowStation();
        if (station_ && SetProcessWindowStation(station_.get())) {
            desktop_.reset(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
            SetProcessWindowStation(own);
        }
        if (!desktop_) {
            throw std::runtime_error("cannot create the children's window station");
        }
        name_ += L"\\Default";
    }
    wchar_t* Name() { return name_.data(); }

private:
    std::wstring name_;
    unique_hwinsta station_;
    unique_hdesk desktop_;
};

} // namespace

ChildResult RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::vector<std::wstring>& environment, DWORD timeoutMs,
                     const std::wstring& currentDir) {
    // Output goes to a file, not a pipe: a crashed child's debugger can inherit a pipe and keep
    // its reader waiting, whereas a file is simply read once the child has ended.
    wchar_t folder[MAX_PATH] = {};
    wchar_t outputPath[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"drv", 0, outputPath);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    unique_hfile output(CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!output) {
        throw std::runtime_error("cannot create the child's output file");
    }

    std::wstring commandLine = Quote(program);
    for (const std::wstring& argument : arguments) {
        commandLine += L" " + Quote(argument);
    }
    std::wstring env = EnvironmentBlock(environment);
    // The child inherits its output file and nothing else: a handle of this process that it
    // inherited (the test runner's output pipe) would go on to whatever it starts, such as
    // Wine's desktop process for a message box, and keep the runner waiting after the test.
    HANDLE inherited = output.get();
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> list(listSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited,
                                   sizeof inherited, nullptr, nullptr)) {
        throw std::runtime_error("cannot limit the child's inherited handles");
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    static HiddenDesktop desktop;
    startup.StartupInfo.lpDesktop = desktop.Name();
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = output.get();
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(
        program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
        CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, env.data(),
        currentDir.empty() ? nullptr : currentDir.c_str(), &startup.StartupInfo, &process);
    DeleteProcThreadAttributeList(attributes);
    output.reset();
    if (!started) {
        DeleteFileW(outputPath);
        throw std::runtime_error("CreateProcessW failed, error " + std::to_string(GetLastError()));
    }

    const unique_handle thread(process.hThread);
    const unique_handle child(process.hProcess);
    ChildResult result;
    if (WaitForSingleObject(child.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.get(), 0xDEAD);
        WaitForSingleObject(child.get(), INFINITE);
    }
    GetExitCodeProcess(child.get(), &result.exitCode);

    std::ifstream in(std::filesystem::path(outputPath), std::ios::binary);
    result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileW(outputPath);
    return result;
}

} // namespace drvtest
