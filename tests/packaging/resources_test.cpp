// Every binary the project ships carries a version resource, and every
// program its application manifest, read back as Windows reads them.

#include "harness.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string VersionString(const std::vector<char> &info, const char *name)
{
    char *value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &length) || length == 0)
        return "";
    return value;
}

std::string Manifest(const std::string &path)
{
    HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr)
        return "";
    std::string text;
    if (HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) { // RT_MANIFEST
        if (HGLOBAL loaded = LoadResource(image, found))
            text.assign(static_cast<const char *>(LockResource(loaded)), SizeofResource(image, found));
    }
    FreeLibrary(image);
    return text;
}

TEST(Resources, VersionAndManifest)
{
    const struct {
        const char *path;
        bool program;
    } binaries[] = {
        {"launcher.exe", true},         {"componentcheck.exe", true},  {"modutil.dll", false},
        {"samples\\config.dll", false}, {"samples\\auxhost.dll", false}, {"samples\\modcore.dll", false},
        {"samples\\shellctl.exe", true},
    };
    for (const auto &binary : binaries) {
        SCOPED_TRACE(binary.path);
        const std::string path = harness::ProgramDir() + "\\" + binary.path;
        DWORD ignored = 0;
        std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
        ASSERT_FALSE(info.empty());
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

        EXPECT_EQ(VersionString(info, "FileVersion"), PROJECT_VERSION);
        EXPECT_EQ(VersionString(info, "ProductVersion"), PROJECT_VERSION);
        const std::string file = path.substr(path.rfind('\\') + 1);
        EXPECT_EQ(VersionString(info, "OriginalFilename"), file);
        EXPECT_FALSE(VersionString(info, "FileDescription").empty());
        EXPECT_FALSE(VersionString(info, "ProductName").empty());
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileType, binary.program ? static_cast<DWORD>(VFT_APP) : static_cast<DWORD>(VFT_DLL));
        EXPECT_EQ(std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
                      "." + std::to_string(HIWORD(fixed->dwFileVersionLS)),
                  PROJECT_VERSION);

        const std::string manifest = Manifest(path);
        if (!binary.program) {
            EXPECT_EQ(manifest, "");
            continue;
        }
        for (const char *part : {"level=\"asInvoker\"", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                 "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                 "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "PerMonitorV2", "true/pm",
                                 "Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""})
            EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
}

} // namespace
