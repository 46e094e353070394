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
#include "src/utils/winreg_standin_hive.h"

#include "src/utils/utf.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

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

// --- text form of the hive ---

std::string escape(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c > u' ' && c < 0x7F && c != u'%') {
            out += char(c);
        } else {
            out += '%';
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hexDigit(c >> shift);
        }
    }
    return out;
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

// Where a record of the text is wrong, parsing stops: the hive is damaged.
bool parseKey(const std::string& field, Hive& hive) {
    std::u16string path;
    if (field.empty() || field[0] != '\\' || !unescape(field.substr(1), path))
        return false;
    if (hive.keys.empty() != path.empty())
        return false; // the root comes first, and only once
    if (!path.empty() && (path.front() == u'\\' || path.back() == u'\\' ||
                          path.find(u"\\\\") != std::u16string::npos || findKey(hive, path) ||
                          !findKey(hive, parentOf(path))))
        return false;
    hive.keys.push_back(Key{path, {}});
    return true;
}

// ":" and two lowercase hex digits a byte.
bool parseData(const std::string& field, std::vector<BYTE>& data) {
    if (field.empty() || field[0] != ':' || field.size() % 2 != 1)
        return false;
    data.reserve(field.size() / 2);
    for (std::size_t i = 1; i < field.size(); i += 2) {
        int hi = hexValue(field[i]), lo = hexValue(field[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        data.push_back(BYTE(hi * 16 + lo));
    }
    return true;
}

bool parseValue(const std::vector<std::string>& f, Key& key) {
    unsigned long long type = 0;
    Value value;
    if (!parseDecimal(f[1], 0xFFFFFFFFull, type) || f[2].empty() || f[2][0] != '=' ||
        !unescape(f[2].substr(1), value.name) || !parseData(f[3], value.data))
        return false;
    value.type = DWORD(type);
    if (findValue(key, value.name))
        return false;
    key.values.push_back(std::move(value));
    return true;
}

bool parseEnd(const std::vector<std::string>& f, const Hive& hive, std::size_t values) {
    unsigned long long keyCount = 0, valueCount = 0;
    return parseDecimal(f[1], ~0ull, keyCount) && parseDecimal(f[2], ~0ull, valueCount) &&
           keyCount == hive.keys.size() && valueCount == values;
}

// How far parsing has got: the values read, and whether "end" was reached.
struct Progress {
    std::size_t values = 0;
    bool ended = false;
};

// One record after the first line, by its first field.
bool parseRecord(const std::vector<std::string>& f, Hive& hive, Progress& read) {
    if (f[0] == "key" && f.size() == 2)
        return parseKey(f[1], hive);
    if (f[0] == "value" && f.size() == 4 && !hive.keys.empty()) {
        ++read.values;
        return parseValue(f, hive.keys.back());
    }
    if (f[0] == "end" && f.size() == 3) {
        read.ended = true;
        return parseEnd(f, hive, read.values);
    }
    return false;
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

} // namespace

bool sameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

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

std::string serialize(const Hive& hive) {
    std::string out = "velta-registry 1\n";
    std::size_t values = 0;
    for (const Key& key : hive.keys) {
        out += "key \\" + escape(key.path) + "\n";
        for (const Value& value : key.values) {
            out += "value " + std::to_string(value.type) + " =" + escape(value.name) + " :" +
                   toHex(value.data.data(), value.data.size()) + "\n";
            ++values;
        }
    }
    out += "end " + std::to_string(hive.keys.size()) + " " + std::to_string(values) + "\n";
    return out;
}

bool parse(const std::string& text, Hive& hive) {
    hive.keys.clear();
    Progress read;
    for (std::size_t pos = 0, line = 0; pos < text.size(); ++line) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos || read.ended)
            return false; // every line ends with '\n', and nothing follows "end"
        std::vector<std::string> f = fields(text.substr(pos, eol - pos));
        pos = eol + 1;
        bool header = f.size() == 2 && f[0] == "velta-registry" && f[1] == "1";
        if (line == 0 ? !header : !parseRecord(f, hive, read))
            return false;
    }
    return read.ended;
}

HiveSession::HiveSession(bool write) {
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

HiveSession::~HiveSession() {
    if (lockFd_ >= 0)
        close(lockFd_); // releases the flock
}

LSTATUS HiveSession::save() {
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

LSTATUS HiveSession::load() {
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

} // namespace standin
