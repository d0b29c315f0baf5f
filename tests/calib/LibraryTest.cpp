// The platform's library calls: error codes, and the suffix added to a name without an extension.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "plugins/ProbeState.h"

namespace fs = std::filesystem;

namespace {

// ".so" here, ".dll" on Windows: the test builds every name from the probe's real file.
std::string platformSuffix() { return fs::path(PROBE_FULL_PATH).extension().string(); }

class LibraryNames : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(CALIB_SCRATCH_DIR) / "v1.2";  // a folder name with a dot in it
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string place(const std::string& fileName) {
        const fs::path target = dir / fileName;
        fs::copy_file(PROBE_FULL_PATH, target, fs::copy_options::overwrite_existing);
        return target.string();
    }
    fs::path dir;
};

}  // namespace

TEST(Library, ErrorCodesAndACallableEntryPoint) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA((std::string(CALIB_SCRATCH_DIR) + "/missing/calib_none").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    HMODULE library = LoadLibraryA(PROBE_FULL_PATH);
    ASSERT_NE(library, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetProcAddress(library, "calib_absent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    ProbeStateFunction probeState =
        reinterpret_cast<ProbeStateFunction>(reinterpret_cast<void (*)()>(GetProcAddress(library, "probe_state")));
    ASSERT_NE(probeState, nullptr);
    EXPECT_NE(probeState(), nullptr);  // the address is the library's function, callable
    EXPECT_TRUE(FreeLibrary(library));
}

TEST_F(LibraryNames, ANameWithoutExtensionGetsThePlatformSuffix) {
    // The probe's own path without its suffix reaches the same library as the full path.
    const fs::path full(PROBE_FULL_PATH);
    const std::string bare = (full.parent_path() / full.stem()).string();
    HMODULE byFullName = LoadLibraryA(PROBE_FULL_PATH);
    HMODULE byBareName = LoadLibraryA(bare.c_str());
    ASSERT_NE(byFullName, nullptr);
    EXPECT_EQ(byBareName, byFullName) << bare;
    if (byBareName != nullptr) FreeLibrary(byBareName);
    FreeLibrary(byFullName);

    // Only the last path component decides: the dot in "v1.2" is not an extension.
    place("plugin" + platformSuffix());
    HMODULE inDottedFolder = LoadLibraryA((dir / "plugin").string().c_str());
    EXPECT_NE(inDottedFolder, nullptr);
    if (inDottedFolder != nullptr) FreeLibrary(inDottedFolder);
}

TEST_F(LibraryNames, ANameWithAnExtensionIsUsedAsItStands) {
    // Any dot in the last component is an extension: nothing is appended.
    const std::string custom = place("plugin.calib");
    HMODULE byCustomName = LoadLibraryA(custom.c_str());
    EXPECT_NE(byCustomName, nullptr);
    if (byCustomName != nullptr) FreeLibrary(byCustomName);

    place("other.v2" + platformSuffix());
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA((dir / "other.v2").string().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    // A trailing dot says "no extension": the file without suffix is opened, as Windows does.
    place("plain");
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA((dir / "plain").string().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    HMODULE byTrailingDot = LoadLibraryA(((dir / "plain").string() + ".").c_str());
    EXPECT_NE(byTrailingDot, nullptr);
    if (byTrailingDot != nullptr) FreeLibrary(byTrailingDot);
}
