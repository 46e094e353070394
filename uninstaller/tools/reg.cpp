// reg: the part of Windows' reg.exe that scripts use, over the Linux stand-in's
// HKEY_CURRENT_USER. Same syntax, output layout and exit codes (0 or 1):
//   reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   reg query KEY [/v NAME | /ve]
//   reg delete KEY [/v NAME | /ve] [/f]
// KEY starts with HKCU or HKEY_CURRENT_USER. Without /f a delete asks first.
#include "utf.h"
#include "winreg_standin.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<HKEY__, KeyCloser>;

const char rootName[] = "HKEY_CURRENT_USER";

int fail(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n";
    return 1;
}

int failStatus(LSTATUS status) {
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED)
        return fail("The system was unable to find the specified registry key or value.");
    if (status == ERROR_ACCESS_DENIED)
        return fail("Access is denied.");
    if (status == ERROR_BADDB)
        return fail("The configuration registry database is corrupt.");
    return fail("The registry call failed with error " + std::to_string(status) + ".");
}

int succeed() {
    std::cout << "The operation completed successfully.\n";
    return 0;
}

bool equalsNoCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b))
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper((unsigned char)a[i]) != std::toupper((unsigned char)b[i]))
            return false;
    return true;
}

// "HKCU\Software\X" -> "Software\X"; false for another root.
bool splitKey(const std::string& full, std::string& path) {
    std::size_t slash = full.find('\\');
    std::string root = full.substr(0, slash);
    if (!equalsNoCase(root, "HKCU") && !equalsNoCase(root, rootName))
        return false;
    path = slash == std::string::npos ? std::string() : full.substr(slash + 1);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return true;
}

std::string displayKey(const std::string& path) {
    return path.empty() ? rootName : std::string(rootName) + "\\" + path;
}

std::string typeName(DWORD type) {
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return "0x" + [&] {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%x", type);
            return std::string(buf);
        }();
    }
}

bool typeFromName(const std::string& name, DWORD& type) {
    const DWORD types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                           REG_DWORD, REG_MULTI_SZ, REG_QWORD};
    for (DWORD t : types)
        if (equalsNoCase(name, typeName(t).c_str())) {
            type = t;
            return true;
        }
    return false;
}

std::u16string textAt(const std::vector<BYTE>& data, std::size_t& pos) {
    std::u16string text;
    for (; pos + 1 < data.size(); pos += 2) {
        char16_t c = char16_t(data[pos] | (data[pos + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

std::string displayData(DWORD type, const std::vector<BYTE>& data) {
    char buf[32];
    std::size_t pos = 0;
    if ((type == REG_SZ || type == REG_EXPAND_SZ))
        return toUtf8(textAt(data, pos));
    if (type == REG_MULTI_SZ) {
        std::string out;
        for (bool first = true; pos + 1 < data.size(); pos += 2, first = false) {
            std::u16string item = textAt(data, pos);
            if (item.empty())
                break;
            out += (first ? "" : "\\0") + toUtf8(item);
        }
        return out;
    }
    if (type == REG_DWORD && data.size() == 4) {
        std::uint32_t n = data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t(data[3]) << 24;
        std::snprintf(buf, sizeof buf, "0x%x", n);
        return buf;
    }
    if (type == REG_QWORD && data.size() == 8) {
        unsigned long long n = 0;
        for (int i = 7; i >= 0; --i)
            n = n << 8 | data[i];
        std::snprintf(buf, sizeof buf, "0x%llx", n);
        return buf;
    }
    std::string out;
    for (BYTE b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

void printValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
    std::cout << "    " << (name.empty() ? "(Default)" : toUtf8(name)) << "    " << typeName(type)
              << "    " << displayData(type, data) << "\n";
}

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 20)
        return false;
    out = 0;
    for (char c : digits) {
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0)
            return false;
        unsigned base = hex ? 16 : 10;
        if (out > (max - unsigned(d)) / base)
            return false;
        out = out * base + unsigned(d);
    }
    return true;
}

void appendText(std::vector<BYTE>& data, const std::u16string& text) {
    for (char16_t c : text) {
        data.push_back(BYTE(c & 0xFF));
        data.push_back(BYTE(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
}

bool encodeData(DWORD type, const std::string& text, const std::string& separator,
                std::vector<BYTE>& data) {
    unsigned long long n = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        appendText(data, fromUtf8(text));
        return true;
    case REG_MULTI_SZ:
        for (std::size_t start = 0; !text.empty();) {
            std::size_t sep = text.find(separator, start);
            appendText(data, fromUtf8(text.substr(start, sep - start)));
            if (sep == std::string::npos)
                break;
            start = sep + separator.size();
        }
        data.push_back(0);
        data.push_back(0);
        return true;
    case REG_DWORD:
    case REG_QWORD: {
        int bytes = type == REG_DWORD ? 4 : 8;
        if (!parseNumber(text, type == REG_DWORD ? 0xFFFFFFFFull : ~0ull, n))
            return false;
        for (int i = 0; i < bytes; ++i)
            data.push_back(BYTE(n >> (8 * i)));
        return true;
    }
    default: // REG_BINARY, REG_NONE: hex digits
        if (text.size() % 2)
            return false;
        for (std::size_t i = 0; i < text.size(); i += 2) {
            std::string pair = "0x" + text.substr(i, 2);
            if (!parseNumber(pair, 0xFF, n))
                return false;
            data.push_back(BYTE(n));
        }
        return true;
    }
}

LSTATUS readValue(HKEY key, DWORD index, std::u16string& name, DWORD& type,
                  std::vector<BYTE>& data) {
    std::u16string nameBuf(16384, u'\0');
    data.resize(1024);
    for (;;) {
        DWORD nameLen = DWORD(nameBuf.size()), size = DWORD(data.size());
        LSTATUS status =
            RegEnumValueW(key, index, &nameBuf[0], &nameLen, nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA && size > data.size()) {
            data.resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            name = nameBuf.substr(0, nameLen);
            data.resize(size);
        }
        return status;
    }
}

LSTATUS queryValue(HKEY key, const std::u16string& name, DWORD& type, std::vector<BYTE>& data) {
    data.resize(1024);
    for (;;) {
        DWORD size = DWORD(data.size());
        LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            data.resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS)
            data.resize(size);
        return status;
    }
}

std::vector<std::u16string> subKeys(HKEY key) {
    std::vector<std::u16string> names;
    WCHAR buf[256];
    for (DWORD index = 0;; ++index) {
        DWORD len = 256;
        if (RegEnumKeyExW(key, index, buf, &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return names;
        names.emplace_back(buf, len);
    }
}

LSTATUS deleteTree(HKEY parent, const std::u16string& path) {
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &raw);
    if (status != ERROR_SUCCESS)
        return status;
    Key key(raw);
    for (const std::u16string& sub : subKeys(key.get()))
        if ((status = deleteTree(key.get(), sub)) != ERROR_SUCCESS)
            return status;
    key.reset();
    return RegDeleteKeyW(parent, path.c_str());
}

bool confirm(const std::string& question) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

struct Options {
    std::string keyPath;
    bool hasName = false;
    std::string name;
    std::string type = "REG_SZ";
    std::string data;
    std::string separator = "\\0";
    bool force = false;
};

bool parseOptions(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (a.size() > 1 && a[0] == '-')
            a[0] = '/';
        bool more = i + 1 < args.size();
        if (equalsNoCase(a, "/v") && more && !o.hasName) {
            o.hasName = true;
            o.name = args[++i];
        } else if (equalsNoCase(a, "/ve") && !o.hasName) {
            o.hasName = true;
            o.name.clear();
        } else if (equalsNoCase(a, "/t") && more) {
            o.type = args[++i];
        } else if (equalsNoCase(a, "/d") && more) {
            o.data = args[++i];
        } else if (equalsNoCase(a, "/s") && more) {
            o.separator = args[++i];
        } else if (equalsNoCase(a, "/f")) {
            o.force = true;
        } else {
            return false;
        }
    }
    return true;
}

int add(const Options& o) {
    DWORD type = REG_SZ;
    if (!typeFromName(o.type, type))
        return fail("Invalid type for /t: " + o.type + ".");
    std::vector<BYTE> data;
    if (o.hasName && !encodeData(type, o.data, o.separator.empty() ? "\\0" : o.separator, data))
        return fail("Invalid value for /d: " + o.data + ".");
    HKEY raw = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, fromUtf8(o.keyPath).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
    Key key(raw);
    if (o.hasName) {
        std::u16string name = fromUtf8(o.name);
        DWORD oldType = 0;
        std::vector<BYTE> old;
        if (!o.force && queryValue(key.get(), name, oldType, old) == ERROR_SUCCESS &&
            !confirm("Value " + (o.name.empty() ? std::string("(Default)") : o.name) +
                     " exists, overwrite"))
            return fail("The operation was cancelled.");
        status = RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), DWORD(data.size()));
        if (status != ERROR_SUCCESS)
            return failStatus(status);
    }
    return succeed();
}

int query(const Options& o) {
    HKEY raw = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_CURRENT_USER, fromUtf8(o.keyPath).c_str(), 0, KEY_READ, &raw);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
    Key key(raw);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (o.hasName) {
        std::u16string name = fromUtf8(o.name);
        if ((status = queryValue(key.get(), name, type, data)) != ERROR_SUCCESS)
            return failStatus(status);
        std::cout << "\n" << displayKey(o.keyPath) << "\n";
        printValue(name, type, data);
        std::cout << "\n";
        return 0;
    }
    std::cout << "\n" << displayKey(o.keyPath) << "\n";
    std::u16string name;
    for (DWORD index = 0; readValue(key.get(), index, name, type, data) == ERROR_SUCCESS; ++index)
        printValue(name, type, data);
    std::cout << "\n";
    for (const std::u16string& sub : subKeys(key.get()))
        std::cout << displayKey(o.keyPath) << "\\" << toUtf8(sub) << "\n";
    return 0;
}

int remove(const Options& o) {
    std::u16string path = fromUtf8(o.keyPath);
    if (!o.hasName) {
        if (path.empty())
            return fail("Access is denied.");
        if (!o.force && !confirm("Permanently delete the registry key " + displayKey(o.keyPath)))
            return fail("The operation was cancelled.");
        LSTATUS status = deleteTree(HKEY_CURRENT_USER, path);
        return status == ERROR_SUCCESS ? succeed() : failStatus(status);
    }
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &raw);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
    Key key(raw);
    if (!o.force && !confirm("Delete the registry value " + o.name))
        return fail("The operation was cancelled.");
    status = RegDeleteValueW(key.get(), fromUtf8(o.name).c_str());
    return status == ERROR_SUCCESS ? succeed() : failStatus(status);
}

int usage() {
    return fail("Invalid syntax.\nType \"REG ADD|QUERY|DELETE KEY [/v NAME] [/t TYPE] [/d DATA] "
                "[/f]\"");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    std::string command = argv[1];
    std::vector<std::string> rest(argv + 3, argv + argc);
    Options o;
    if (!splitKey(argv[2], o.keyPath))
        return fail("Invalid key name.");
    if (!parseOptions(rest, o))
        return usage();
    try {
        if (equalsNoCase(command, "add"))
            return add(o);
        if (equalsNoCase(command, "query"))
            return query(o);
        if (equalsNoCase(command, "delete"))
            return remove(o);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return usage();
}
