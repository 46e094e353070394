#include "tests/settings/test_support.h"

#include "src/utils/utf.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>

namespace {
// Every native test run gets its own empty hive folder below the one ctest
// names (or below /tmp), so a run never sees the user's own hive.
struct FreshHive {
    std::string dir;
    FreshHive() {
        const char* base = std::getenv("VELTA_REGISTRY_DIR");
        std::string parent = base && *base ? base : "/tmp";
        std::string cmd = "mkdir -p '" + parent + "'";
        if (std::system(cmd.c_str()) != 0)
            return;
        std::string pattern = parent + "/hive-XXXXXX";
        if (mkdtemp(&pattern[0])) {
            dir = pattern;
            setenv("VELTA_REGISTRY_DIR", dir.c_str(), 1);
        }
    }
    ~FreshHive() {
        if (!dir.empty())
            std::system(("rm -rf '" + dir + "'").c_str());
    }
} freshHive;
} // namespace
#endif

std::u16string domainPath(const std::u16string& domain) {
    return u"Software\\VeltaTech\\" + domain;
}

static void deleteTreeUnder(HKEY parent, const std::u16string& path) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(parent, wide(path), 0, KEY_READ | KEY_WRITE, &raw) != ERROR_SUCCESS)
        return;
    RegKey key(raw);
    for (;;) {
        WCHAR name[256];
        DWORD len = 256;
        if (RegEnumKeyExW(key.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        deleteTreeUnder(key.get(), std::u16string(reinterpret_cast<const char16_t*>(name), len));
    }
    key.reset();
    RegDeleteKeyW(parent, wide(path));
}

void deleteTree(const std::u16string& path) {
    deleteTreeUnder(HKEY_CURRENT_USER, path);
}

bool keyExists(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

LSTATUS writeRaw(const std::u16string& path, const std::u16string& name, DWORD type,
                 const ByteArray& data) {
    HKEY raw = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, wide(path), 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    RegKey key(raw);
    return RegSetValueExW(key.get(), wide(name), 0, type, data.data(), DWORD(data.size()));
}

RawValue readRaw(const std::u16string& path, const std::u16string& name) {
    RawValue raw;
    HKEY key = nullptr;
    raw.status = RegOpenKeyExW(HKEY_CURRENT_USER, wide(path), 0, KEY_READ, &key);
    if (raw.status != ERROR_SUCCESS)
        return raw;
    RegKey owner(key);
    DWORD size = 0;
    raw.status = RegQueryValueExW(key, wide(name), nullptr, &raw.type, nullptr, &size);
    if (raw.status == ERROR_SUCCESS) {
        raw.data.resize(size);
        raw.status = RegQueryValueExW(key, wide(name), nullptr, &raw.type, raw.data.data(), &size);
        raw.data.resize(size);
    }
    return raw;
}

std::size_t openHandleCount() {
#ifdef _WIN32
    // Counts the handle values that name an open object; GetProcessHandleCount
    // is not implemented by Wine.
    std::size_t count = 0;
    for (std::uintptr_t value = 4; value < (1u << 16); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
#else
    return standinOpenKeyCount();
#endif
}

ByteArray utf16Bytes(const std::u16string& text) {
    ByteArray bytes;
    appendUtf16le(bytes, text, false);
    return bytes;
}
