// String and file helpers of the module, linked into the test program.
#include "base/files.h"
#include "base/strings.h"
#include "base/unique_handle.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <string>

using drvtest::TestTree;

namespace {

std::wstring Repeat(wchar_t c, std::size_t n) {
    return std::wstring(n, c);
}

} // namespace

TEST(CopyWStr, ZeroCapacityLeavesDestinationUntouched) {
    wchar_t dest[4] = {L'x', L'y', L'z', L'\0'};
    EXPECT_EQ(CopyWStr(dest, 0, L"abc"), E_INVALIDARG);
    EXPECT_EQ(std::wstring(dest), L"xyz");
}

TEST(CopyWStr, CapacityOneAlwaysLeavesAnEmptyString) {
    wchar_t dest[2] = {L'x', L'y'};
    EXPECT_EQ(CopyWStr(dest, 1, L""), S_OK);
    EXPECT_EQ(dest[0], L'\0');
    EXPECT_EQ(dest[1], L'y') << "wrote past the capacity";
    dest[0] = L'x';
    EXPECT_EQ(CopyWStr(dest, 1, L"a"), kCopyTruncated);
    EXPECT_EQ(dest[0], L'\0');
    EXPECT_EQ(dest[1], L'y') << "wrote past the capacity";
}

TEST(CopyWStr, FitsUpToCapacityMinusOneAndCutsBeyond) {
    wchar_t dest[261];
    std::fill(std::begin(dest), std::end(dest), L'#');
    const std::wstring fits = Repeat(L'a', 259);
    EXPECT_EQ(CopyWStr(dest, 260, fits.c_str()), S_OK);
    EXPECT_EQ(std::wstring(dest), fits);
    EXPECT_EQ(dest[260], L'#') << "wrote past the capacity";

    std::wstring tooLong = Repeat(L'b', 259) + L"c";
    EXPECT_EQ(CopyWStr(dest, 260, tooLong.c_str()), kCopyTruncated);
    EXPECT_EQ(std::wstring(dest), Repeat(L'b', 259));
    EXPECT_EQ(dest[260], L'#') << "wrote past the capacity";
}

TEST(CopyWStr, NeverReadsPastTheSourceTerminator) {
    // A source whose NUL is the last readable unit of a guard page: reading further would fault.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    auto* pages = static_cast<char*>(
        VirtualAlloc(nullptr, info.dwPageSize * 2, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old));
    auto* source = reinterpret_cast<wchar_t*>(pages + info.dwPageSize) - 3;
    source[0] = L'o';
    source[1] = L'k';
    source[2] = L'\0';
    wchar_t dest[64];
    EXPECT_EQ(CopyWStr(dest, 64, source), S_OK);
    EXPECT_EQ(std::wstring(dest), L"ok");
    VirtualFree(pages, 0, MEM_RELEASE);
}

TEST(AppendWStr, AppendsAndCutsAtCapacity) {
    wchar_t dest[8] = L"abc";
    EXPECT_EQ(AppendWStr(dest, 8, L"de"), S_OK);
    EXPECT_EQ(std::wstring(dest), L"abcde");
    EXPECT_EQ(AppendWStr(dest, 8, L"fghij"), kCopyTruncated);
    EXPECT_EQ(std::wstring(dest), L"abcdefg");
}

class ClearTargetFileTest : public ::testing::Test {
protected:
    TestTree tree;
    std::wstring target = tree.Path(L"pkg.zip");
    std::wstring putAside = tree.Path(L"~pkg.zip");

    static void MakeReadOnly(const std::wstring& path) {
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
};

TEST_F(ClearTargetFileTest, NothingThereReturnsOneAndTouchesNothing) {
    tree.WriteFile(L"other.zip", "keep");
    EXPECT_TRUE(ClearTargetFile(target.c_str()));
    EXPECT_FALSE(tree.Exists(L"pkg.zip"));
    EXPECT_FALSE(tree.Exists(L"~pkg.zip"));
    EXPECT_EQ(tree.ReadFile(L"other.zip"), "keep");
}

TEST_F(ClearTargetFileTest, DeletesADeletableFile) {
    tree.WriteFile(L"pkg.zip", "old");
    EXPECT_TRUE(ClearTargetFile(target.c_str()));
    EXPECT_FALSE(tree.Exists(L"pkg.zip"));
    EXPECT_FALSE(tree.Exists(L"~pkg.zip"));
}

std::wstring PendingRenames() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    DWORD size = 0;
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (size != 0) {
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value.data()), &size);
    }
    RegCloseKey(key);
    return value; // NUL-separated pairs: source, then destination (empty = delete)
}

// True when `path` is registered for deletion at the next restart. Entries are stored in NT form
// ("\??\C:\...") followed by an empty destination.
bool RegisteredForDeletion(const std::wstring& path) {
    const std::wstring entry = L"\\??\\" + path + std::wstring(2, L'\0');
    return PendingRenames().find(entry) != std::wstring::npos;
}

TEST_F(ClearTargetFileTest, PutsAsideAFileThatCannotBeDeletedAndRegistersItsDeletion) {
    tree.WriteFile(L"pkg.zip", "locked");
    MakeReadOnly(target);
    tree.WriteFile(L"~pkg.zip", "older put-aside copy");

    EXPECT_TRUE(ClearTargetFile(target.c_str()));
    EXPECT_FALSE(tree.Exists(L"pkg.zip"));
    EXPECT_EQ(tree.ReadFile(L"~pkg.zip"), "locked") << "the older put-aside file was not replaced";

    EXPECT_TRUE(RegisteredForDeletion(putAside))
        << "no deletion at restart registered for the put-aside file";
}

TEST_F(ClearTargetFileTest, LongestTargetIsPutAsideUnderItsWholeNameOnly) {
    // A 259-character target: "~" plus its name makes 260 characters, none of which may be cut.
    const std::wstring folder = tree.Path(L"");
    const std::wstring name = Repeat(L'p', 259 - folder.size());
    const std::wstring longTarget = folder + name;
    const std::wstring cut = L"~" + name.substr(0, name.size() - 1);
    ASSERT_EQ(longTarget.size(), 259u);
    tree.WriteFile(name, "locked");
    MakeReadOnly(longTarget);
    tree.WriteFile(cut, "unrelated file of the cut name");

    EXPECT_TRUE(ClearTargetFile(longTarget.c_str()));
    EXPECT_FALSE(tree.Exists(name));
    EXPECT_EQ(tree.ReadFile(L"~" + name), "locked");
    EXPECT_EQ(tree.ReadFile(cut), "unrelated file of the cut name");
    EXPECT_TRUE(RegisteredForDeletion(folder + L"~" + name));
}

TEST_F(ClearTargetFileTest, OlderPutAsideFileThatCannotBeDeletedFailsAndKeepsTheTarget) {
    tree.WriteFile(L"pkg.zip", "locked");
    MakeReadOnly(target);
    tree.WriteFile(L"~pkg.zip", "stuck");
    MakeReadOnly(putAside);

    EXPECT_FALSE(ClearTargetFile(target.c_str()));
    EXPECT_EQ(tree.ReadFile(L"pkg.zip"), "locked");
    EXPECT_EQ(tree.ReadFile(L"~pkg.zip"), "stuck");
}

TEST_F(ClearTargetFileTest, FolderAtTheTargetIsLeftAlone) {
    tree.MakeDir(L"pkg.zip");
    tree.WriteFile(L"pkg.zip\\inside.txt", "data");
    EXPECT_FALSE(ClearTargetFile(target.c_str()));
    EXPECT_EQ(tree.ReadFile(L"pkg.zip\\inside.txt"), "data");
    EXPECT_FALSE(tree.Exists(L"~pkg.zip"));
}

namespace {

// A close that sets an error of its own, as a failing one does.
BOOL CloseSettingAnError(int) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // namespace

// `owner.reset(CreateX(...))` closes the old value after CreateX has failed, and an owner may go
// out of scope between a failed call and the reading of its error.
TEST(HandleOwner, ResetKeepsTheFailedCallsErrorInsteadOfTheClosesOwn) {
    DWORD afterReset = 0;
    {
        unique_any<close_traits<int, &CloseSettingAnError>> owner(1);
        SetLastError(ERROR_FILE_NOT_FOUND);
        owner.reset(2);
        afterReset = GetLastError();
        SetLastError(ERROR_PATH_NOT_FOUND);
    }
    const DWORD afterScope = GetLastError();
    EXPECT_EQ(afterReset, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "replaced by reset";
    EXPECT_EQ(afterScope, static_cast<DWORD>(ERROR_PATH_NOT_FOUND))
        << "replaced by the owner going";
}

TEST(HandleOwner, FileOwnerTreatsNullAsNoFileInsteadOfClosingIt) {
    EXPECT_FALSE(unique_hfile(nullptr));
    EXPECT_FALSE(unique_hfile(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(unique_find_handle(nullptr));
}
