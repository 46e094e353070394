// The registry calls the store relies on, with the error codes it relies on.
// Run against Wine's registry these pin down what the Linux stand-in must do.
#include "tests/settings/test_support.h"

#include <doctest/doctest.h>

namespace {
const std::u16string root = u"Software\\VeltaTech\\ApiTest";

HKEY createKey(const std::u16string& path) {
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, wide(path), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) == ERROR_SUCCESS);
    return key;
}
} // namespace

TEST_SUITE("api") {
    TEST_CASE("missing keys and values are error 2") {
        deleteTree(root);
        HKEY key = nullptr;
        CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, wide(root), 0, KEY_READ, &key) ==
              ERROR_FILE_NOT_FOUND);
        CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, wide(root + u"\\a\\b"), 0, KEY_READ, &key) ==
              ERROR_FILE_NOT_FOUND);
        CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, wide(root)) == ERROR_FILE_NOT_FOUND);

        DWORD disposition = 0;
        REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, wide(root + u"\\a\\b"), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, &key, &disposition) == ERROR_SUCCESS);
        CHECK(disposition == REG_CREATED_NEW_KEY);
        DWORD size = 0;
        CHECK(RegQueryValueExW(key, wide(u"nope"), nullptr, nullptr, nullptr, &size) ==
              ERROR_FILE_NOT_FOUND);
        CHECK(RegDeleteValueW(key, wide(u"nope")) == ERROR_FILE_NOT_FOUND);
        RegCloseKey(key);

        HKEY again = createKey(root + u"\\A\\B");
        RegCloseKey(again);
        deleteTree(root);
    }

    TEST_CASE("a key with sub-keys is not deleted") {
        deleteTree(root);
        RegCloseKey(createKey(root + u"\\child"));
        CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, wide(root)) == ERROR_ACCESS_DENIED);
        CHECK(keyExists(root));
        CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, wide(root + u"\\CHILD")) == ERROR_SUCCESS);
        CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, wide(root)) == ERROR_SUCCESS);
        CHECK_FALSE(keyExists(root));
    }

    TEST_CASE("value names ignore case; data keeps its type and bytes") {
        deleteTree(root);
        HKEY key = createKey(root);
        const BYTE data[] = {1, 2, 3};
        CHECK(RegSetValueExW(key, wide(u"Token"), 0, 0x12345, data, 3) == ERROR_SUCCESS);
        DWORD type = 0, size = sizeof data;
        BYTE out[3] = {};
        CHECK(RegQueryValueExW(key, wide(u"TOKEN"), nullptr, &type, out, &size) == ERROR_SUCCESS);
        CHECK(type == 0x12345);
        CHECK(size == 3);
        CHECK(out[2] == 3);
        CHECK(RegSetValueExW(key, wide(u"tOKEN"), 0, REG_BINARY, data, 1) == ERROR_SUCCESS);
        WCHAR name[16];
        DWORD nameLen = 16;
        CHECK(RegEnumValueW(key, 0, name, &nameLen, nullptr, &type, nullptr, nullptr) ==
              ERROR_SUCCESS);
        CHECK(std::u16string(reinterpret_cast<const char16_t*>(name), nameLen) == u"Token");
        nameLen = 16;
        CHECK(RegEnumValueW(key, 1, name, &nameLen, nullptr, nullptr, nullptr, nullptr) ==
              ERROR_NO_MORE_ITEMS);
        RegCloseKey(key);
        deleteTree(root);
    }

    TEST_CASE("small buffers give 234 and the size needed; the end of a listing is 259") {
        deleteTree(root);
        HKEY key = createKey(root);
        const BYTE data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        REQUIRE(RegSetValueExW(key, wide(u"v"), 0, REG_BINARY, data, 10) == ERROR_SUCCESS);
        BYTE out[4] = {};
        DWORD size = sizeof out, type = 0;
        CHECK(RegQueryValueExW(key, wide(u"v"), nullptr, &type, out, &size) == ERROR_MORE_DATA);
        CHECK(size == 10);
        size = 0;
        CHECK(RegQueryValueExW(key, wide(u"v"), nullptr, &type, nullptr, &size) == ERROR_SUCCESS);
        CHECK(size == 10);

        WCHAR name[16];
        DWORD nameLen = 16;
        size = sizeof out;
        CHECK(RegEnumValueW(key, 0, name, &nameLen, nullptr, &type, out, &size) == ERROR_MORE_DATA);
        CHECK(size == 10);
        nameLen = 1; // no room for "v" and its terminator
        size = 0;
        CHECK(RegEnumValueW(key, 0, name, &nameLen, nullptr, &type, nullptr, &size) ==
              ERROR_MORE_DATA);
        nameLen = 16;
        CHECK(RegEnumValueW(key, 1, name, &nameLen, nullptr, &type, nullptr, nullptr) ==
              ERROR_NO_MORE_ITEMS);
        RegCloseKey(key);
        deleteTree(root);
    }

    TEST_CASE("a handle to a deleted key fails with 1018") {
        deleteTree(root);
        HKEY key = createKey(root);
        CHECK(RegDeleteKeyW(HKEY_CURRENT_USER, wide(root)) == ERROR_SUCCESS);
        const BYTE data[1] = {1};
        CHECK(RegSetValueExW(key, wide(u"v"), 0, REG_BINARY, data, 1) == ERROR_KEY_DELETED);
        DWORD size = 0;
        CHECK(RegQueryValueExW(key, wide(u"v"), nullptr, nullptr, nullptr, &size) ==
              ERROR_KEY_DELETED);
        RegCloseKey(key);
    }
}
