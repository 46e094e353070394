// Reads back the resources that Uninstall.exe carries, from the built program
// itself: icon group, manifest and version block. The same resources are linked
// into this test as well, so that the loader's reading of the manifest shows.
#include <doctest/doctest.h>

#include <windows.h>

#include "common/win32_exe_folder.h"

#include <string>
#include <vector>

namespace {

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupIconEntry {
    BYTE width; // 0 means 256
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

struct Blob {
    const BYTE* data = nullptr;
    DWORD size = 0;
};

// Uninstall.exe, next to this test.
std::wstring programPath() {
    wchar_t folder[MAX_PATH];
    return ExeFolder(folder, MAX_PATH) ? folder + std::wstring(L"\\Uninstall.exe") : L"";
}

HMODULE program() {
    static HMODULE module = LoadLibraryExW(
        programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return module;
}

Blob resource(LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(program(), name, type);
    if (!found)
        return {};
    HGLOBAL loaded = LoadResource(program(), found);
    return {static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(program(), found)};
}

BOOL CALLBACK countName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int resourceCount(LPCWSTR type) {
    int count = 0;
    EnumResourceNamesW(program(), type, countName, reinterpret_cast<LONG_PTR>(&count));
    return count;
}

std::vector<BYTE> programVersionInfo() {
    const std::wstring path = programPath();
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    std::vector<BYTE> info(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, info.data()))
        info.clear();
    return info;
}

std::wstring versionString(std::vector<BYTE>& info, const wchar_t* block, const wchar_t* name) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
    wchar_t* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        return L"<missing>";
    return std::wstring(text, wcsnlen(text, length));
}

} // namespace

TEST_CASE("one icon group of seven 32-bit images, the largest stored as PNG") {
    REQUIRE(program() != nullptr);
    CHECK(resourceCount(RT_GROUP_ICON) == 1);
    CHECK(resourceCount(RT_ICON) == 7);

    Blob group = resource(L"APP_ICON", RT_GROUP_ICON);
    REQUIRE(group.data != nullptr);
    auto header = reinterpret_cast<const GroupIconHeader*>(group.data);
    CHECK(header->type == 1);
    REQUIRE(header->count == 7);
    REQUIRE(group.size == sizeof(GroupIconHeader) + 7 * sizeof(GroupIconEntry));

    const int sizes[] = {256, 128, 96, 64, 32, 20, 16};
    auto entries = reinterpret_cast<const GroupIconEntry*>(header + 1);
    for (int i = 0; i < 7; ++i) {
        const GroupIconEntry& entry = entries[i];
        const int size = sizes[i];
        CAPTURE(size);
        CHECK(entry.width == BYTE(size & 0xFF));
        CHECK(entry.height == BYTE(size & 0xFF));
        CHECK(entry.bitCount == 32);

        Blob image = resource(MAKEINTRESOURCEW(entry.id), RT_ICON);
        REQUIRE(image.data != nullptr);
        CHECK(image.size == entry.bytes);
        if (size == 256) {
            const BYTE png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
            REQUIRE(image.size > sizeof png);
            CHECK(memcmp(image.data, png, sizeof png) == 0);
        } else {
            REQUIRE(image.size > sizeof(BITMAPINFOHEADER));
            auto bitmap = reinterpret_cast<const BITMAPINFOHEADER*>(image.data);
            CHECK(bitmap->biWidth == size);
            CHECK(bitmap->biHeight == 2 * size); // colour and mask
            CHECK(bitmap->biBitCount == 32);
        }
    }

    // The group is usable by the system as it is.
    HICON icon =
        static_cast<HICON>(LoadImageW(program(), L"APP_ICON", IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    CHECK(icon != nullptr);
    if (icon)
        DestroyIcon(icon);
}

TEST_CASE("the manifest: Mini 1.0.0.0, asInvoker, Vista to 10/11, long paths, controls 6") {
    CHECK(resourceCount(RT_MANIFEST) == 1);
    Blob blob = resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
    REQUIRE(blob.data != nullptr);
    const std::string manifest(reinterpret_cast<const char*>(blob.data), blob.size);
    auto has = [&](const char* text) { return manifest.find(text) != std::string::npos; };

    CHECK(has(R"(<assemblyIdentity type="win32" name="Mini" version="1.0.0.0")"));
    CHECK(has(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"));
    for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0",  // Vista
                           "35138b9a-5d96-4fbd-8e2d-a2440225f93a",  // 7
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  // 8
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78",  // 8.1
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) // 10 and 11
        CHECK_MESSAGE(has((std::string("<supportedOS Id=\"{") + os + "}\"/>").c_str()), os);
    CHECK(has("<ws2:longPathAware>true</ws2:longPathAware>"));
    CHECK(has(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"));
    CHECK_FALSE(has("dpiAware"));
    CHECK_FALSE(has("dpiAwareness"));

    // The loader honours the dependency (in this test, which carries the same
    // manifest): comctl32 comes from the side-by-side store in version 6, not
    // from the system folder.
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    REQUIRE(comctl != nullptr);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(comctl, path, MAX_PATH);
    CharLowerW(path);
    const std::wstring loaded = path;
    CAPTURE(std::string(loaded.begin(), loaded.end()));
    CHECK(loaded.find(L"\\winsxs\\") != std::wstring::npos);
    CHECK(loaded.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.0.") !=
          std::wstring::npos);
}

TEST_CASE("the version block: 1.0.0.0, Simplified Chinese, names of Uninstall.exe") {
    std::vector<BYTE> info = programVersionInfo();
    REQUIRE_FALSE(info.empty());

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    REQUIRE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    CHECK(fixed->dwSignature == VS_FFI_SIGNATURE);
    CHECK(fixed->dwFileVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwFileVersionLS == 0);
    CHECK(fixed->dwProductVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwProductVersionLS == 0);
    CHECK(fixed->dwFileType == VFT_APP);

    WORD* translation = nullptr;
    REQUIRE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                           reinterpret_cast<void**>(&translation), &length));
    REQUIRE(length == 4);
    CHECK(translation[0] == 0x0804);
    CHECK(translation[1] == 1200);

    const wchar_t* block = L"080404b0";
    CHECK(versionString(info, block, L"ProductName") == L"VeltaAI卸载程序");
    CHECK(versionString(info, block, L"FileDescription") == L"VeltaAI卸载程序");
    CHECK(versionString(info, block, L"OriginalFilename") == L"Uninstall.exe");
    CHECK(versionString(info, block, L"InternalName") == L"Uninstall");
    CHECK(versionString(info, block, L"FileVersion") == L"1.0.0.0");
    CHECK(versionString(info, block, L"ProductVersion") == L"1.0.0.0");
}
