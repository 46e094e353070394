// Reads the resources and PE headers back from the built VeltaAI.exe: the icon
// group, the manifest, the version block, and that it is a stripped 64-bit GUI
// program importing only system DLLs.
#include <windows.h>

#include "common/win32_exe_folder.h"
#include "common/win32_owners.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring LauncherPath() {
    wchar_t folder[MAX_PATH];
    return ExeFolder(folder, MAX_PATH) ? folder + std::wstring(L"\\VeltaAI.exe") : L"";
}

UniqueModule LoadAsData() {
    return UniqueModule(LoadLibraryExW(LauncherPath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

std::string Resource(HMODULE mod, LPCWSTR name, LPCWSTR type) {
    HRSRC res = FindResourceW(mod, name, type);
    if (!res)
        return std::string();
    HGLOBAL data = LoadResource(mod, res);
    auto* bytes = static_cast<const char*>(LockResource(data));
    return bytes ? std::string(bytes, SizeofResource(mod, res)) : std::string();
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int CountResources(HMODULE mod, LPCWSTR type) {
    int count = 0;
    EnumResourceNamesW(mod, type, CountName, reinterpret_cast<LONG_PTR>(&count));
    return count;
}

#pragma pack(push, 2)
struct GroupIconDir {
    WORD reserved, type, count;
};
struct GroupIconEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

std::vector<char> ReadWholeFile(const std::wstring& path) {
    std::vector<char> data;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return data;
    data.resize(GetFileSize(f, nullptr));
    DWORD read = 0;
    ReadFile(f, data.data(), static_cast<DWORD>(data.size()), &read, nullptr);
    CloseHandle(f);
    data.resize(read);
    return data;
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
    struct Translation {
        WORD lang, codepage;
    }* tr = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr),
                        &len) ||
        len < sizeof(Translation))
        return L"<no translation>";
    wchar_t key[128];
    wsprintfW(key, L"\\StringFileInfo\\%04x%04x\\%s", tr->lang, tr->codepage, name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&value), &len) || !value)
        return L"<missing>";
    return value;
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

TEST_CASE("icon group APP_ICON holds seven 32-bit images, 256 stored as PNG") {
    UniqueModule mod = LoadAsData();
    REQUIRE(mod);
    CHECK(CountResources(mod.get(), RT_GROUP_ICON) == 1);
    std::string group = Resource(mod.get(), L"APP_ICON", RT_GROUP_ICON);
    REQUIRE(group.size() >= sizeof(GroupIconDir));
    auto* dir = reinterpret_cast<const GroupIconDir*>(group.data());
    CHECK(dir->type == 1);
    REQUIRE(dir->count == 7);
    REQUIRE(group.size() >= sizeof(GroupIconDir) + 7 * sizeof(GroupIconEntry));
    auto* entries = reinterpret_cast<const GroupIconEntry*>(group.data() + sizeof(GroupIconDir));

    std::set<int> sizes;
    for (int i = 0; i < 7; ++i) {
        const GroupIconEntry& e = entries[i];
        int size = e.width == 0 ? 256 : e.width;
        CAPTURE(size);
        sizes.insert(size);
        CHECK(e.bits == 32);
        std::string image = Resource(mod.get(), MAKEINTRESOURCEW(e.id), RT_ICON);
        REQUIRE(image.size() == e.bytes);
        if (size == 256) {
            REQUIRE(image.size() > 24);
            CHECK(image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0);
            // IHDR: big-endian width and height.
            auto be32 = [&](size_t at) {
                auto* p = reinterpret_cast<const unsigned char*>(image.data() + at);
                return (p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
            };
            CHECK(be32(16) == 256);
            CHECK(be32(20) == 256);
        } else {
            REQUIRE(image.size() >= sizeof(BITMAPINFOHEADER));
            auto* bih = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
            CHECK(bih->biSize == sizeof(BITMAPINFOHEADER));
            CHECK(bih->biWidth == size);
            CHECK(bih->biHeight == 2 * size);
            CHECK(bih->biBitCount == 32);
        }
        // Windows itself can make an icon of it.
        HICON icon = CreateIconFromResourceEx(reinterpret_cast<PBYTE>(&image[0]),
                                              static_cast<DWORD>(image.size()), TRUE, 0x00030000,
                                              size, size, LR_DEFAULTCOLOR);
        CHECK(icon != nullptr);
        if (icon)
            DestroyIcon(icon);
    }
    CHECK(sizes == std::set<int>{16, 20, 32, 64, 96, 128, 256});
}

TEST_CASE("manifest: asInvoker, Vista to Windows 10/11, no DPI awareness") {
    UniqueModule mod = LoadAsData();
    REQUIRE(mod);
    CHECK(CountResources(mod.get(), RT_MANIFEST) == 1);
    std::string manifest = Resource(mod.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    REQUIRE_FALSE(manifest.empty());
    CHECK(manifest.find("level=\"asInvoker\"") != std::string::npos);
    for (const char* os : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}",    // Vista
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",    // 7
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",    // 8
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",    // 8.1
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) { // 10 and 11
        CAPTURE(os);
        CHECK(manifest.find(std::string("<supportedOS Id=\"") + os + "\"/>") != std::string::npos);
    }
    CHECK(manifest.find("dpiAware") == std::string::npos);
    CHECK(manifest.find("longPathAware") == std::string::npos);
}

TEST_CASE("version block 1.0.0.0 with the product's names") {
    std::wstring path = LauncherPath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    REQUIRE(size > 0);
    std::vector<char> info(size);
    REQUIRE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    REQUIRE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    REQUIRE(fixed);
    CHECK(fixed->dwFileVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwFileVersionLS == 0);
    CHECK(fixed->dwProductVersionMS == MAKELONG(0, 1));
    CHECK(fixed->dwProductVersionLS == 0);
    CHECK(Narrow(VersionString(info, L"ProductName")) == "VeltaAI");
    CHECK(Narrow(VersionString(info, L"OriginalFilename")) == "VeltaAI.exe");
    CHECK(Narrow(VersionString(info, L"InternalName")) == "appinternalname");
    CHECK(Narrow(VersionString(info, L"FileVersion")) == "1.0.0.0");
    CHECK(Narrow(VersionString(info, L"ProductVersion")) == "1.0.0.0");
}

TEST_CASE("a stripped 64-bit GUI program that imports only system DLLs") {
    std::vector<char> file = ReadWholeFile(LauncherPath());
    REQUIRE(file.size() > sizeof(IMAGE_DOS_HEADER));
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
    REQUIRE(dos->e_magic == IMAGE_DOS_SIGNATURE);
    REQUIRE(file.size() > dos->e_lfanew + sizeof(IMAGE_NT_HEADERS64));
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(file.data() + dos->e_lfanew);
    REQUIRE(nt->Signature == IMAGE_NT_SIGNATURE);
    CHECK(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64);
    REQUIRE(nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    CHECK(nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI);
    CHECK(nt->FileHeader.PointerToSymbolTable == 0);
    CHECK(nt->FileHeader.NumberOfSymbols == 0);

    auto* sections = IMAGE_FIRST_SECTION(nt);
    auto offset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    };
    const IMAGE_DATA_DIRECTORY& dirent =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = offset(dirent.VirtualAddress);
    REQUIRE(at != 0);
    std::set<std::string> dlls;
    for (auto* imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(file.data() + at);
         imp->Name != 0; ++imp) {
        std::string name = file.data() + offset(imp->Name);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        dlls.insert(name);
    }
    const std::set<std::string> system = {"kernel32.dll", "user32.dll",   "gdi32.dll",
                                          "gdiplus.dll",  "shell32.dll",  "shlwapi.dll",
                                          "msvcrt.dll",   "advapi32.dll", "ole32.dll"};
    std::string list;
    for (const std::string& dll : dlls)
        list += dll + " ";
    MESSAGE("imports: " << list);
    for (const std::string& dll : dlls) {
        CAPTURE(dll);
        CHECK(system.count(dll) == 1);
    }
    CHECK(dlls.count("gdiplus.dll") == 1);
}
