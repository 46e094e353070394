// reg: the part of Windows' reg.exe that scripts use, over the Linux stand-in's
// HKEY_CURRENT_USER. Same syntax, output layout and exit codes (0 or 1):
//   reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   reg query KEY [/v NAME | /ve]
//   reg delete KEY [/v NAME | /ve] [/f]
// KEY starts with HKCU or HKEY_CURRENT_USER. Without /f a delete asks first.
#include "src/utils/reg_settings.h"
#include "src/utils/utf.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

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

// Texts and numbers as the store reads them; everything else as uppercase hex.
std::string displayData(DWORD type, const ByteArray& data) {
    const SettingValue value = settingFromRegistry(type, data.data(), data.size());
    char buf[32];
    if (const auto* text = std::get_if<std::u16string>(&value))
        return toUtf8(*text);
    if (const auto* list = std::get_if<TextList>(&value)) {
        std::string out;
        for (std::size_t i = 0; i < list->size(); ++i)
            out += (i ? "\\0" : "") + toUtf8((*list)[i]);
        return out;
    }
    if (const auto* n = std::get_if<std::uint64_t>(&value)) {
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(*n));
        return buf;
    }
    std::string out;
    for (BYTE b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

void printValue(const std::u16string& name, DWORD type, const ByteArray& data) {
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

bool encodeData(DWORD type, const std::string& text, const std::string& separator,
                ByteArray& data) {
    unsigned long long n = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        appendUtf16le(data, fromUtf8(text), true);
        return true;
    case REG_MULTI_SZ:
        for (std::size_t start = 0; !text.empty();) {
            std::size_t sep = text.find(separator, start);
            appendUtf16le(data, fromUtf8(text.substr(start, sep - start)), true);
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

// Opens `path` below `parent`; `key` stays empty on failure.
LSTATUS openKey(HKEY parent, const std::u16string& path, REGSAM access, RegKey& key) {
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(parent, path.c_str(), 0, access, &raw);
    key.reset(status == ERROR_SUCCESS ? raw : nullptr);
    return status;
}

LSTATUS deleteTree(HKEY parent, const std::u16string& path) {
    RegKey key;
    LSTATUS status = openKey(parent, path, KEY_READ, key);
    if (status != ERROR_SUCCESS)
        return status;
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
    ByteArray data;
    if (o.hasName && !encodeData(type, o.data, o.separator.empty() ? "\\0" : o.separator, data))
        return fail("Invalid value for /d: " + o.data + ".");
    HKEY raw = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CURRENT_USER, fromUtf8(o.keyPath).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
    RegKey key(raw);
    if (o.hasName) {
        std::u16string name = fromUtf8(o.name);
        DWORD oldType = 0;
        ByteArray old;
        if (!o.force && readRegValue(key.get(), name, oldType, old) == ERROR_SUCCESS &&
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
    RegKey key;
    LSTATUS status = openKey(HKEY_CURRENT_USER, fromUtf8(o.keyPath), KEY_READ, key);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
    DWORD type = 0;
    ByteArray data;
    if (o.hasName) {
        std::u16string name = fromUtf8(o.name);
        if ((status = readRegValue(key.get(), name, type, data)) != ERROR_SUCCESS)
            return failStatus(status);
        std::cout << "\n" << displayKey(o.keyPath) << "\n";
        printValue(name, type, data);
        std::cout << "\n";
        return 0;
    }
    std::cout << "\n" << displayKey(o.keyPath) << "\n";
    std::u16string name;
    for (DWORD index = 0; readRegValueAt(key.get(), index, name, type, data) == ERROR_SUCCESS;
         ++index)
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
    RegKey key;
    LSTATUS status = openKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, key);
    if (status != ERROR_SUCCESS)
        return failStatus(status);
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
