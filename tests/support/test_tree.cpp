#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace drvtest {

namespace {

std::wstring CaseName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("outside");
    std::wstring wide;
    for (char c : name) {
        wide.push_back((c == '/' || c == '\\') ? L'_' : static_cast<wchar_t>(c));
    }
    return wide;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + " failed, error " +
                                 std::to_string(GetLastError()));
    }
}

} // namespace

std::wstring BuildDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

TestTree::TestTree() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"drvdown-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + CaseName();
    RemoveTree(root_);
    Check(CreateDirectoryW(root_.c_str(), nullptr) != FALSE, "CreateDirectoryW(root)");
    MakeDir(L"bin");
}

TestTree::~TestTree() {
    // Unloaded in the reverse order of loading.
    while (!loaded_.empty()) {
        loaded_.pop_back();
    }
    RemoveTree(root_);
}

std::wstring TestTree::Path(std::wstring_view relative) const {
    return root_ + L"\\" + std::wstring(relative);
}

void TestTree::CopyBuilt(std::wstring_view builtName, std::wstring_view relative) {
    const std::wstring source = BuildDir() + L"\\" + std::wstring(builtName);
    Check(CopyFileW(source.c_str(), Path(relative).c_str(), FALSE) != FALSE, "CopyFileW");
}

HMODULE TestTree::LoadLibraryFromTree() {
    return LoadFromTree(L"bin\\MobileDrvDown.dll");
}

HMODULE TestTree::LoadFromTree(std::wstring_view relative) {
    unique_hmodule module(LoadLibraryW(Path(relative).c_str()));
    Check(static_cast<bool>(module), "LoadLibraryW");
    loaded_.push_back(std::move(module));
    return loaded_.back().get();
}

void TestTree::WriteFile(std::wstring_view relative, std::string_view content) const {
    std::ofstream out(std::filesystem::path(Path(relative)), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    Check(out.good(), "writing a file");
}

std::string TestTree::ReadFile(std::wstring_view relative) const {
    std::ifstream in(std::filesystem::path(Path(relative)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestTree::Exists(std::wstring_view relative) const {
    return GetFileAttributesW(Path(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> TestTree::FilesIn(std::wstring_view relative) const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const unique_find_handle search(
        FindFirstFileW(Path(std::wstring(relative) + L"\\*").c_str(), &found));
    for (bool more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found)) {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void TestTree::MakeDir(std::wstring_view relative) const {
    Check(CreateDirectoryW(Path(relative).c_str(), nullptr) != FALSE, "CreateDirectoryW");
}

void RemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    if (const unique_find_handle search(FindFirstFileW((path + L"\\*").c_str(), &found)); search) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                RemoveTree(path + L"\\" + name);
            }
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace drvtest
