// The registry API subset of winreg_standin.h over the hive of
// winreg_standin_hive.h: handles, paths, access checks and the calls. Every
// call reads the hive afresh under its lock and writes a change back at once.
#include "src/utils/winreg_standin.h"
#include "src/utils/winreg_standin_hive.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

using standin::findKey;
using standin::findValue;
using standin::hasSubKeys;
using standin::Hive;
using standin::HiveSession;
using standin::Key;
using standin::parentOf;
using standin::sameName;
using standin::Value;

struct HKEY__ {
    std::u16string path; // "" for the root, else "Software\\VeltaTech"
    REGSAM access;
};

namespace {

HKEY__ hkcuRoot{std::u16string(), KEY_ALL_ACCESS};

std::mutex& handlesMutex() {
    static std::mutex m;
    return m;
}
std::unordered_set<HKEY>& liveHandles() {
    static std::unordered_set<HKEY> handles;
    return handles;
}

bool validHandle(HKEY key) {
    if (key == &hkcuRoot)
        return true;
    std::lock_guard<std::mutex> lock(handlesMutex());
    return key && liveHandles().count(key) != 0;
}

HKEY newHandle(std::u16string path, REGSAM access) {
    HKEY key = new HKEY__{std::move(path), access};
    std::lock_guard<std::mutex> lock(handlesMutex());
    liveHandles().insert(key);
    return key;
}

// Joins a handle's path and a sub-key path: components separated by single
// backslashes, no leading backslash, one trailing backslash tolerated.
LSTATUS subPath(HKEY key, LPCWSTR subKey, std::u16string& out) {
    out = key->path;
    if (!subKey || !*subKey)
        return ERROR_SUCCESS;
    std::u16string sub(subKey);
    if (sub.back() == u'\\')
        sub.pop_back();
    if (sub.empty() || sub.front() == u'\\' || sub.find(u"\\\\") != std::u16string::npos)
        return ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = sub.find(u'\\', start);
        std::size_t len = (slash == std::u16string::npos ? sub.size() : slash) - start;
        if (len > 255)
            return ERROR_INVALID_PARAMETER;
        if (slash == std::u16string::npos)
            break;
        start = slash + 1;
    }
    out += (out.empty() ? u"" : u"\\") + sub;
    return ERROR_SUCCESS;
}

// Copies data the way the query functions do: the size is always reported,
// the bytes only when the buffer holds them all.
LSTATUS copyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type)
        *type = value.type;
    LSTATUS status = ERROR_SUCCESS;
    if (data) {
        if (*size < value.data.size())
            status = ERROR_MORE_DATA;
        else if (!value.data.empty())
            std::memcpy(data, value.data.data(), value.data.size());
    }
    if (size)
        *size = DWORD(value.data.size());
    return status;
}

// The common start of the value calls: a live handle with the access they
// need, the hive read under its lock, and the key the handle names.
LSTATUS handleKey(HKEY hKey, REGSAM need, HiveSession& session, Key*& key) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (!(hKey->access & need))
        return ERROR_ACCESS_DENIED;
    if (session.status())
        return session.status();
    key = findKey(session.hive(), hKey->path);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}
// Creates each missing key of `path` below the key `parent`, keeping the
// stored case of existing ones; returns the path as stored.
std::u16string createPath(Hive& hive, const std::u16string& parent, const std::u16string& path) {
    std::u16string actual = parent;
    for (std::size_t start = parent.empty() ? 0 : parent.size() + 1;;) {
        std::size_t slash = path.find(u'\\', start);
        std::u16string prefix = path.substr(0, slash);
        std::u16string leaf =
            path.substr(start, slash == std::u16string::npos ? slash : slash - start);
        actual += (actual.empty() ? u"" : u"\\") + leaf;
        if (Key* existing = findKey(hive, prefix))
            actual = existing->path;
        else
            hive.keys.push_back(Key{actual, {}});
        if (slash == std::u16string::npos)
            return actual;
        start = slash + 1;
    }
}

} // namespace

const HKEY HKEY_CURRENT_USER = &hkcuRoot;

std::size_t standinOpenKeyCount() {
    std::lock_guard<std::mutex> lock(handlesMutex());
    return liveHandles().size();
}

// The common start of the open and create calls: the result cleared, a live
// handle and the full path of the sub-key.
static LSTATUS startOpen(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult, std::u16string& path) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    return subPath(hKey, lpSubKey, path);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    std::u16string path;
    if (LSTATUS status = startOpen(hKey, lpSubKey, phkResult, path))
        return status;
    HiveSession session(false);
    if (session.status())
        return session.status();
    if (!findKey(session.hive(), hKey->path))
        return ERROR_KEY_DELETED;
    Key* key = findKey(session.hive(), path);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = newHandle(key->path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    std::u16string path;
    if (LSTATUS status = startOpen(hKey, lpSubKey, phkResult, path))
        return status;
    HiveSession session(true);
    if (session.status())
        return session.status();
    Hive& hive = session.hive();
    if (!findKey(hive, hKey->path))
        return ERROR_KEY_DELETED;
    if (Key* existing = findKey(hive, path)) {
        if (lpdwDisposition)
            *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        *phkResult = newHandle(existing->path, samDesired);
        return ERROR_SUCCESS;
    }
    if (hKey != HKEY_CURRENT_USER && !(hKey->access & KEY_CREATE_SUB_KEY))
        return ERROR_ACCESS_DENIED;
    std::u16string actual = createPath(hive, hKey->path, path);
    if (LSTATUS status = session.save())
        return status;
    if (lpdwDisposition)
        *lpdwDisposition = REG_CREATED_NEW_KEY;
    *phkResult = newHandle(actual, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (!(hKey->access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    std::u16string name = lpValueName ? lpValueName : u"";
    if (name.size() > 16383)
        return ERROR_INVALID_PARAMETER;
    HiveSession session(true);
    Key* key = nullptr;
    if (LSTATUS status = handleKey(hKey, KEY_SET_VALUE, session, key))
        return status;
    std::vector<BYTE> data(lpData, lpData + cbData);
    if (Value* value = findValue(*key, name)) {
        value->type = dwType;
        value->data = std::move(data);
    } else {
        key->values.push_back(Value{name, dwType, std::move(data)});
    }
    return session.save();
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    HiveSession session(false);
    Key* key = nullptr;
    if (LSTATUS status = handleKey(hKey, KEY_QUERY_VALUE, session, key))
        return status;
    Value* value = findValue(*key, lpValueName ? lpValueName : u"");
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    return copyData(*value, lpType, lpData, lpcbData);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    HiveSession session(false);
    Key* key = nullptr;
    if (LSTATUS status = handleKey(hKey, KEY_QUERY_VALUE, session, key))
        return status;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& value = key->values[dwIndex];
    LSTATUS status = ERROR_SUCCESS;
    if (value.name.size() >= *lpcchValueName) {
        status = ERROR_MORE_DATA;
    } else {
        std::memcpy(lpValueName, value.name.c_str(), (value.name.size() + 1) * sizeof(WCHAR));
        *lpcchValueName = DWORD(value.name.size());
    }
    LSTATUS dataStatus = copyData(value, lpType, lpData, lpcbData);
    return status ? status : dataStatus;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR, LPDWORD, PFILETIME) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (!lpName || !lpcchName || lpReserved)
        return ERROR_INVALID_PARAMETER;
    if (hKey != HKEY_CURRENT_USER && !(hKey->access & KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;
    HiveSession session(false);
    if (session.status())
        return session.status();
    if (!findKey(session.hive(), hKey->path))
        return ERROR_KEY_DELETED;
    DWORD index = 0;
    for (const Key& key : session.hive().keys) {
        if (key.path.empty() || !sameName(parentOf(key.path), hKey->path) || index++ != dwIndex)
            continue;
        std::u16string leaf = key.path.substr(hKey->path.empty() ? 0 : hKey->path.size() + 1);
        if (leaf.size() >= *lpcchName)
            return ERROR_MORE_DATA;
        std::memcpy(lpName, leaf.c_str(), (leaf.size() + 1) * sizeof(WCHAR));
        *lpcchName = DWORD(leaf.size());
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    HiveSession session(true);
    Key* key = nullptr;
    if (LSTATUS status = handleKey(hKey, KEY_SET_VALUE, session, key))
        return status;
    Value* value = findValue(*key, lpValueName ? lpValueName : u"");
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return session.save();
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!validHandle(hKey))
        return ERROR_INVALID_HANDLE;
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    std::u16string path;
    if (LSTATUS status = subPath(hKey, lpSubKey, path))
        return status;
    if (path.empty())
        return ERROR_ACCESS_DENIED; // the root stays
    HiveSession session(true);
    if (session.status())
        return session.status();
    Hive& hive = session.hive();
    Key* key = findKey(hive, path);
    if (!key)
        return findKey(hive, hKey->path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    if (hasSubKeys(hive, key->path))
        return ERROR_ACCESS_DENIED;
    hive.keys.erase(hive.keys.begin() + (key - hive.keys.data()));
    return session.save();
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(handlesMutex());
        if (!hKey || liveHandles().erase(hKey) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}
