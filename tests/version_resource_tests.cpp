// The version resource of each shipped binary, read back the way installers and Explorer read it
// (GetFileVersionInfoW, VerQueryValueW): the fixed file information and the string table carry
// the project's one version and name each file.
#include "support/test_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Binary {
    const wchar_t* file;
    DWORD fileType;
};

const Binary kShipped[] = {
    {L"MobileDrvDown.dll", VFT_DLL},
    {L"drvget.exe", VFT_APP},
    {L"Tolvek.dll", VFT_DLL},
};

const wchar_t* const kStrings[] = {L"CompanyName",  L"FileDescription", L"FileVersion",
                                   L"InternalName", L"LegalCopyright",  L"OriginalFilename",
                                   L"ProductName",  L"ProductVersion"};

std::wstring QueryString(const std::vector<BYTE>& info, const wchar_t* block, const wchar_t* name) {
    void* value = nullptr;
    UINT chars = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &chars) || value == nullptr) {
        return L"(missing)";
    }
    return static_cast<const wchar_t*>(value);
}

TEST(VersionResource, EachShippedBinaryCarriesTheProjectVersion) {
    for (const Binary& binary : kShipped) {
        SCOPED_TRACE(testing::Message() << binary.file);
        const std::wstring path = drvtest::BuildDir() + L"\\" + binary.file;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(DRVDOWN_VERSION_MINOR, DRVDOWN_VERSION_MAJOR));
        EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, DRVDOWN_VERSION_PATCH));
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
        EXPECT_EQ(fixed->dwFileType, binary.fileType);

        // The string table of the language and code page the translation list names first.
        WORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                                   reinterpret_cast<void**>(&translation), &length));
        ASSERT_GE(length, 2 * sizeof(WORD));
        wchar_t block[9];
        swprintf(block, 9, L"%04x%04x", translation[0], translation[1]);

        std::wstring shown;
        for (const wchar_t* name : kStrings) {
            const std::wstring value = QueryString(info, block, name);
            EXPECT_NE(value, L"(missing)") << name;
            EXPECT_FALSE(value.empty()) << name;
            shown += std::wstring(L" ") + name + L"=\"" + value + L"\"";
        }
        EXPECT_EQ(QueryString(info, block, L"FileVersion"), DRVDOWN_VERSION_STRING);
        EXPECT_EQ(QueryString(info, block, L"ProductVersion"), DRVDOWN_VERSION_STRING);
        EXPECT_EQ(QueryString(info, block, L"ProductName"), L"MobileDrvDown");
        EXPECT_EQ(QueryString(info, block, L"OriginalFilename"), binary.file);
        std::printf("%ls: %u.%u.%u.%u, block %ls,%ls\n", binary.file,
                    HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), block,
                    shown.c_str());
    }
}

} // namespace
