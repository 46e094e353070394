// Hive file format (UTF-8 text, one record a line):
//
//   velta-registry 1
//   key \Software\VeltaTech
//   value <type> =<name> :<hex data>
//   ...
//   end <number of keys> <number of values>
//
// The first key line is the root "\"; a key follows its parent and its values
// follow it, both in creation order, which is the enumeration order. Names and
// key paths escape every UTF-16 unit outside '!'..'~' and the '%' itself as
// %XXXX, so any name survives; data is lowercase hex. A missing "end" line, a
// line that does not parse, a key without its parent or a duplicate name makes
// the hive damaged.
#include "winreg_standin.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Simple upper-casing, enough for the letters names are made of: ASCII,
// Latin-1, Latin Extended-A, Greek, Cyrillic and fullwidth Latin.
char16_t upper(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return c - 32;
    if (c < 0x80)
        return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A))
        return c - 32;
    if (c >= 0x450 && c <= 0x45F)
        return c - 80;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        bool oddLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddLower ? (c % 2 == 0) : (c % 2 == 1))
            return c - 1;
    }
    return c;
}

bool sameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    std::u16string path;
    std::vector<Value> values;
};

struct Hive {
    std::vector<Key> keys; // keys[0] is the root
};

std::u16string parentOf(const std::u16string& path) {
    std::size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

Key* findKey(Hive& hive, const std::u16string& path) {
    for (Key& key : hive.keys)
        if (sameName(key.path, path))
            return &key;
    return nullptr;
}

Value* findValue(Key& key, const std::u16string& name) {
    for (Value& value : key.values)
        if (sameName(value.name, name))
            return &value;
    return nullptr;
}

bool hasSubKeys(const Hive& hive, const std::u16string& path) {
    for (const Key& key : hive.keys)
        if (key.path.size() > path.size() && sameName(parentOf(key.path), path))
            return true;
    return false;
}

// --- text form of the hive ---

const char hexDigits[] = "0123456789abcdef";

std::string escape(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c > u' ' && c < 0x7F && c != u'%') {
            out += char(c);
        } else {
            out += '%';
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hexDigits[(c >> shift) & 0xF];
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool unescape(const std::string& text, std::u16string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = text[i];
        if (c == '%') {
            if (i + 4 >= text.size())
                return false;
            unsigned unit = 0;
            for (int k = 1; k <= 4; ++k) {
                int h = hexValue(text[i + k]);
                if (h < 0)
                    return false;
                unit = unit * 16 + h;
            }
            out += char16_t(unit);
            i += 4;
        } else if (c > ' ' && c < 0x7F) {
            out += char16_t(c);
        } else {
            return false;
        }
    }
    return true;
}

std::string serialize(const Hive& hive) {
    std::string out = "velta-registry 1\n";
    std::size_t values = 0;
    for (const Key& key : hive.keys) {
        out += "key \\" + escape(key.path) + "\n";
        for (const Value& value : key.values) {
            out += "value " + std::to_string(value.type) + " =" + escape(value.name) + " :";
            for (BYTE b : value.data) {
                out += hexDigits[b >> 4];
                out += hexDigits[b & 0xF];
            }
            out += '\n';
            ++values;
        }
    }
    out += "end " + std::to_string(hive.keys.size()) + " " + std::to_string(values) + "\n";
    return out;
}

bool parseDecimal(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.size() > 20)
        return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + unsigned(c - '0');
    }
    return out <= max;
}

// Splits "a b c" on single spaces; fields never contain spaces.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t space = line.find(' ', start);
        out.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return out;
        start = space + 1;
    }
}

bool parse(const std::string& text, Hive& hive) {
    hive.keys.clear();
    std::size_t pos = 0;
    bool ended = false;
    std::size_t values = 0;
    bool first = true;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos || ended)
            return false; // every line ends with '\n', and nothing follows "end"
        std::vector<std::string> f = fields(text.substr(pos, eol - pos));
        pos = eol + 1;
        if (first) {
            if (f.size() != 2 || f[0] != "velta-registry" || f[1] != "1")
                return false;
            first = false;
        } else if (f[0] == "key" && f.size() == 2) {
            std::u16string path;
            if (f[1].empty() || f[1][0] != '\\' || !unescape(f[1].substr(1), path))
                return false;
            if (hive.keys.empty() != path.empty())
                return false; // the root comes first, and only once
            if (!path.empty() && (path.front() == u'\\' || path.back() == u'\\' ||
                                  path.find(u"\\\\") != std::u16string::npos ||
                                  findKey(hive, path) || !findKey(hive, parentOf(path))))
                return false;
            hive.keys.push_back(Key{path, {}});
        } else if (f[0] == "value" && f.size() == 4 && !hive.keys.empty()) {
            unsigned long long type = 0;
            Value value;
            if (!parseDecimal(f[1], 0xFFFFFFFFull, type) || f[2].empty() || f[2][0] != '=' ||
                !unescape(f[2].substr(1), value.name) || f[3].empty() || f[3][0] != ':' ||
                f[3].size() % 2 != 1)
                return false;
            value.type = DWORD(type);
            value.data.reserve(f[3].size() / 2);
            for (std::size_t i = 1; i < f[3].size(); i += 2) {
                int hi = hexValue(f[3][i]), lo = hexValue(f[3][i + 1]);
                if (hi < 0 || lo < 0)
                    return false;
                value.data.push_back(BYTE(hi * 16 + lo));
            }
            Key& key = hive.keys.back();
            if (findValue(key, value.name))
                return false;
            key.values.push_back(std::move(value));
            ++values;
        } else if (f[0] == "end" && f.size() == 3) {
            unsigned long long keyCount = 0, valueCount = 0;
            if (!parseDecimal(f[1], ~0ull, keyCount) || !parseDecimal(f[2], ~0ull, valueCount) ||
                keyCount != hive.keys.size() || valueCount != values)
                return false;
            ended = true;
        } else {
            return false;
        }
    }
    return ended;
}

// --- files ---

std::string hiveDir() {
    if (const char* dir = std::getenv("VELTA_REGISTRY_DIR"); dir && *dir)
        return dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::string(xdg) + "/velta-registry";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.config/velta-registry";
    return std::string();
}

bool makeDirs(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// One call's view of the hive: holds the lock file while it lives.
class HiveSession {
  public:
    HiveSession(bool write) {
        dir_ = hiveDir();
        if (dir_.empty() || !makeDirs(dir_)) {
            status_ = write ? ERROR_CANTWRITE : ERROR_SUCCESS;
            return;
        }
        lockFd_ = open((dir_ + "/HKCU.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0 && write) {
            status_ = ERROR_CANTWRITE;
            return;
        }
        if (lockFd_ >= 0) {
            while (flock(lockFd_, write ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
        status_ = load();
    }
    ~HiveSession() {
        if (lockFd_ >= 0)
            close(lockFd_); // releases the flock
    }
    HiveSession(const HiveSession&) = delete;
    HiveSession& operator=(const HiveSession&) = delete;

    LSTATUS status() const { return status_; }
    Hive& hive() { return hive_; }

    // Writes a new file and renames it over the hive: a reader sees the old
    // hive or the new one, never a mixture.
    LSTATUS save() {
        std::string text = serialize(hive_);
        std::string temp = dir_ + "/HKCU.hive.new";
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return ERROR_CANTWRITE;
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += std::size_t(n);
        }
        bool ok = done == text.size() && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        if (!ok || rename(temp.c_str(), (dir_ + "/HKCU.hive").c_str()) != 0) {
            unlink(temp.c_str());
            return ERROR_CANTWRITE;
        }
        return ERROR_SUCCESS;
    }

  private:
    LSTATUS load() {
        hive_.keys.assign(1, Key{});
        if (dir_.empty())
            return ERROR_SUCCESS;
        int fd = open((dir_ + "/HKCU.hive").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT ? ERROR_SUCCESS : ERROR_CANTREAD;
        std::string text;
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                close(fd);
                return ERROR_CANTREAD;
            }
            if (n == 0)
                break;
            text.append(buf, std::size_t(n));
        }
        close(fd);
        return parse(text, hive_) ? ERROR_SUCCESS : ERROR_BADDB;
    }

    std::string dir_;
    int lockFd_ = -1;
    LSTATUS status_ = ERROR_SUCCESS;
    Hive hive_;
};

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
    // Create each missing component, keeping the stored case of existing ones.
    std::u16string actual = hKey->path;
    for (std::size_t start = hKey->path.empty() ? 0 : hKey->path.size() + 1;;) {
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
            break;
        start = slash + 1;
    }
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
