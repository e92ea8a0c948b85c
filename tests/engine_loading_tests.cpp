// Loading the engine, hardened: its dependencies come from its own folder (or the host's, or
// System32), never from the current folder or PATH; and a library that trusts signers only loads
// engines its pinned maker signed and ends the process for every other file. Each case runs the
// library in a child process, since a refused engine ends the process.
#include "engine/engine_api.h"
#include "support/child_process.h"
#include "support/standin.h"
#include "support/test_tree.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

using namespace drvtest;

namespace {

constexpr DWORD kEngineDamaged = 0xE0DD0001u;
constexpr DWORD kUnhandledException = 4; // library_child's code for an exception nobody caught

std::wstring ChildProgram() {
    return BuildDir() + L"\\library_child.exe";
}

bool SamePath(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The files the load log says were attached, in order ("attach <path>" lines).
std::vector<std::string> AttachedFiles(const TestTree& tree, const std::wstring& log) {
    std::vector<std::string> files;
    const std::string text = tree.ReadFile(log);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("attach ", 0) == 0) {
            files.push_back(line.substr(7));
        }
        at = end + 1;
    }
    return files;
}

bool Attached(const std::vector<std::string>& files, const std::wstring& path) {
    return std::any_of(files.begin(), files.end(),
                       [&](const std::string& file) { return SamePath(file, Narrow(path)); });
}

std::string Listed(const std::vector<std::string>& files) {
    std::string text;
    for (const std::string& file : files) {
        text += "\n  " + file;
    }
    return text.empty() ? " (none)" : text;
}

// The tree for the dependency cases: the library in bin\, the engine that imports EngineDep.dll
// in the root, and two folders where a planted copy of EngineDep.dll may lie: cwd\ (the host's
// current folder) and path\ (a folder on the host's PATH).
class EngineDependencies : public ::testing::Test {
protected:
    void SetUp() override {
        tree.InstallLibrary();
        tree.InstallEngine(L"Tolvek_withdep.dll");
        tree.MakeDir(L"cwd");
        tree.MakeDir(L"path");
        tree.MakeDir(L"out");
    }
    void PlaceDependency(const std::wstring& folder) {
        tree.CopyBuilt(L"enginedep\\EngineDep.dll",
                       folder.empty() ? L"EngineDep.dll" : folder + L"\\EngineDep.dll");
    }
    // Runs library_child in cwd\ with path\ first on its PATH and the load log switched on.
    ChildResult Run(const std::vector<std::wstring>& arguments) {
        wchar_t path[32767] = {};
        GetEnvironmentVariableW(L"PATH", path, 32767);
        return RunChild(ChildProgram(), arguments,
                        {L"STANDIN_LOAD_LOG=" + tree.Path(L"loads.txt"),
                         L"STANDIN_TRANSFERS=scripted",
                         L"PATH=" + tree.Path(L"path") + L";" + path},
                        60000, tree.Path(L"cwd"));
    }
    ChildResult Download() {
        return Run({tree.Path(L"bin\\MobileDrvDown.dll"), L"downloadfile", kUrl,
                    tree.Path(L"out\\pkg.zip")});
    }
    std::vector<std::string> Loaded() const { return AttachedFiles(tree, L"loads.txt"); }

    TestTree tree;
};

// The threat, shown with the system's default search: a plain LoadLibraryW of the engine takes a
// copy planted in the current folder, or one in a PATH folder. Were it not so here, the cases
// below would prove nothing.
TEST_F(EngineDependencies, TheDefaultSearchTakesCopiesPlantedInTheCurrentFolderOrOnPath) {
    PlaceDependency(L"cwd");
    const ChildResult fromCwd = Run({tree.Path(L"Tolvek.dll"), L"load"});
    ASSERT_EQ(fromCwd.exitCode, 0u) << fromCwd.output;
    EXPECT_TRUE(Attached(Loaded(), tree.Path(L"cwd\\EngineDep.dll"))) << Listed(Loaded());

    DeleteFileW(tree.Path(L"cwd\\EngineDep.dll").c_str());
    DeleteFileW(tree.Path(L"loads.txt").c_str());
    PlaceDependency(L"path");
    const ChildResult fromPath = Run({tree.Path(L"Tolvek.dll"), L"load"});
    ASSERT_EQ(fromPath.exitCode, 0u) << fromPath.output;
    EXPECT_TRUE(Attached(Loaded(), tree.Path(L"path\\EngineDep.dll"))) << Listed(Loaded());
}

TEST_F(EngineDependencies, ComeFromTheEngineFolderNeverFromTheCurrentFolderOrPath) {
    PlaceDependency(L"");
    PlaceDependency(L"cwd");
    PlaceDependency(L"path");
    const ChildResult child = Download();
    EXPECT_EQ(child.exitCode, 1u) << child.output;
    const std::vector<std::string> loaded = Loaded();
    EXPECT_TRUE(Attached(loaded, tree.Path(L"Tolvek.dll"))) << Listed(loaded);
    EXPECT_TRUE(Attached(loaded, tree.Path(L"EngineDep.dll"))) << Listed(loaded);
    EXPECT_FALSE(Attached(loaded, tree.Path(L"cwd\\EngineDep.dll"))) << Listed(loaded);
    EXPECT_FALSE(Attached(loaded, tree.Path(L"path\\EngineDep.dll"))) << Listed(loaded);
}

// Without a copy beside the engine the engine cannot be loaded (the engine-load exception): the
// library never falls back on the places where copies were planted.
TEST_F(EngineDependencies, MissingBesideTheEngineMakesItUnloadableDespitePlantedCopies) {
    PlaceDependency(L"cwd");
    PlaceDependency(L"path");
    for (const char* planted : {"in the current folder and on PATH", "on PATH"}) {
        SCOPED_TRACE(planted);
        const ChildResult child = Download();
        EXPECT_EQ(child.exitCode, kUnhandledException) << child.output;
        EXPECT_NE(child.output.find("exception 0xe06d7363"), std::string::npos) << child.output;
        EXPECT_EQ(child.output.find("result"), std::string::npos) << child.output;
        EXPECT_EQ(Loaded(), std::vector<std::string>{}) << Listed(Loaded());
        DeleteFileW(tree.Path(L"cwd\\EngineDep.dll").c_str());
    }
}

// LoadEngineModule through a recording stand-in for LoadLibraryExW: the first call carries the
// safe search flags; only a system that does not know them (ERROR_INVALID_PARAMETER) gets a
// second call, with LOAD_WITH_ALTERED_SEARCH_PATH. Any other failure, such as a missing
// dependency, is final: a retry would search the current folder and PATH.
struct RecordingLoader {
    static inline std::vector<DWORD> flags;
    static inline DWORD firstError = ERROR_SUCCESS;

    static HMODULE WINAPI Load(LPCWSTR, HANDLE, DWORD how) {
        flags.push_back(how);
        if (flags.size() == 1 && firstError != ERROR_SUCCESS) {
            SetLastError(firstError);
            return nullptr;
        }
        return reinterpret_cast<HMODULE>(0x10000);
    }
    static std::vector<DWORD> Calls(DWORD error, HMODULE& result) {
        flags.clear();
        firstError = error;
        result = LoadEngineModule(L"C:\\app\\Tolvek.dll", &Load);
        return flags;
    }
};

TEST(EngineModuleLoad, FallsBackToTheAlteredSearchOnlyWhereTheSafeFlagsAreUnknown) {
    HMODULE module = nullptr;
    EXPECT_EQ(RecordingLoader::Calls(ERROR_SUCCESS, module),
              std::vector<DWORD>{kEngineSearchFlags});
    EXPECT_NE(module, nullptr);

    EXPECT_EQ(RecordingLoader::Calls(ERROR_INVALID_PARAMETER, module),
              (std::vector<DWORD>{kEngineSearchFlags, LOAD_WITH_ALTERED_SEARCH_PATH}));
    EXPECT_NE(module, nullptr);

    for (DWORD error :
         {DWORD{ERROR_MOD_NOT_FOUND}, DWORD{ERROR_BAD_EXE_FORMAT}, DWORD{ERROR_ACCESS_DENIED}}) {
        EXPECT_EQ(RecordingLoader::Calls(error, module), std::vector<DWORD>{kEngineSearchFlags})
            << "error " << error;
        EXPECT_EQ(module, nullptr);
    }
    EXPECT_EQ(kEngineSearchFlags,
              DWORD{LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                    LOAD_LIBRARY_SEARCH_SYSTEM32});
}

// DrvDownSigned: the library built to trust maker A's key and no file digest, as bin\ of a tree
// whose engine is one of the signed (or damaged) files.
class SignedEngineTree {
public:
    explicit SignedEngineTree(const std::wstring& engine) {
        tree.InstallLibrary(L"DrvDownSigned.dll");
        tree.InstallEngine(engine);
        tree.MakeDir(L"out");
    }
    ChildResult Download() {
        return RunChild(
            ChildProgram(),
            {tree.Path(L"bin\\MobileDrvDown.dll"), L"downloadfile", kUrl,
             tree.Path(L"out\\pkg.zip")},
            {L"STANDIN_LOAD_LOG=" + tree.Path(L"loads.txt"), L"STANDIN_TRANSFERS=scripted"});
    }

    TestTree tree;
};

TEST(SignedEngine, EveryBuildSignedByThePinnedMakerIsLoadedAndUsed) {
    for (const wchar_t* engine :
         {L"signing\\Tolvek_signedA.dll", L"signing\\Tolvek_rebuilt_signedA.dll"}) {
        SCOPED_TRACE(Narrow(engine));
        SignedEngineTree layout(engine);
        const ChildResult child = layout.Download();
        EXPECT_EQ(child.exitCode, 1u) << child.output;
        EXPECT_NE(child.output.find("result 1"), std::string::npos) << child.output;
        EXPECT_TRUE(
            Attached(AttachedFiles(layout.tree, L"loads.txt"), layout.tree.Path(L"Tolvek.dll")));
    }
}

// Each file the signer-only library must refuse: the process ends with the documented code after
// telling the user, and the engine file is never loaded.
class RefusedEngine : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(RefusedEngine, EndsTheProcessAsDamagedAndIsNeverLoaded) {
    SignedEngineTree layout(GetParam());
    const ChildResult child = layout.Download();
    EXPECT_EQ(child.exitCode, kEngineDamaged) << child.output;
    EXPECT_NE(child.output.find("damaged"), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("result"), std::string::npos) << "DownLoadFile returned";
    EXPECT_FALSE(layout.tree.Exists(L"loads.txt")) << layout.tree.ReadFile(L"loads.txt");
}

INSTANTIATE_TEST_SUITE_P(
    SignedEngine, RefusedEngine,
    ::testing::Values(L"signing\\Tolvek_signedA_tampered.dll",    // a code byte changed
                      L"signing\\Tolvek_signedA_patched.dll",     // ... and the signed digest too
                      L"signing\\Tolvek_signedA_badsig.dll",      // a signature byte flipped
                      L"signing\\Tolvek_signedA_appended.dll",    // bytes after the signature
                      L"signing\\Tolvek_signedB.dll",             // another maker
                      L"Tolvek.dll",                              // unsigned, digest not listed
                      L"signing\\Tolvek_signedA_nocodesign.dll"), // A's key, not for code signing
    [](const ::testing::TestParamInfo<const wchar_t*>& info) {
        std::string name = Narrow(info.param);
        name = name.substr(name.find_last_of('\\') + 1);
        name = name.substr(0, name.find('.'));
        return name;
    });

} // namespace
