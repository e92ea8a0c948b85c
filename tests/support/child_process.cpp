#include "support/child_process.h"

#include "base/unique_handle.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
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
