#include "remove_tree.h"
#include "remove_tree_fs.h"
#include "src/utils/utf.h"

#include <exception>

#ifdef _WIN32
#include <windows.h>
#endif

namespace removal {

namespace {

using Char = NativeString::value_type;

void write_line(std::FILE* out, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

// A path reduced for comparison: its root ("/", "C:" or "\\server\share")
// and its components with ".", ".." and repeated separators resolved.
struct Parsed {
    NativeString root;
    std::vector<NativeString> parts;
};

NativeString fold_case(NativeString s) {
#ifdef _WIN32
    if (!s.empty())
        CharUpperBuffW(&s[0], static_cast<DWORD>(s.size()));
#endif
    return s;
}

std::vector<NativeString> split(const NativeString& s) {
    std::vector<NativeString> out;
    NativeString part;
    for (Char c : s) {
        if (fs::is_separator(c)) {
            out.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    out.push_back(part);
    return out;
}

void add_components(const std::vector<NativeString>& parts, size_t from, Parsed* p) {
    for (size_t i = from; i < parts.size(); ++i) {
        NativeString part = parts[i];
        if (part.empty() || part == NativeString(1, '.'))
            continue;
        if (part == NativeString(2, '.')) {
            if (!p->parts.empty())
                p->parts.pop_back();
            continue;
        }
#ifdef _WIN32
        // Windows ignores trailing dots and blanks: "Users." is "Users".
        while (!part.empty() && (part.back() == L'.' || part.back() == L' '))
            part.pop_back();
        if (part.empty())
            continue;
#endif
        p->parts.push_back(fold_case(part));
    }
}

#ifdef _WIN32
bool starts_with(const std::wstring& s, const std::wstring& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}
#endif

// False for a relative path (on Windows also "C:foo" and "\foo", which depend
// on a current drive or folder).
bool parse_absolute(const NativeString& path, Parsed* p) {
#ifdef _WIN32
    std::wstring s = path;
    for (wchar_t& c : s)
        if (c == L'/')
            c = L'\\';
    if (starts_with(s, L"\\\\?\\UNC\\"))
        s = L"\\\\" + s.substr(8);
    else if (starts_with(s, L"\\\\?\\") || starts_with(s, L"\\\\.\\"))
        s = s.substr(4);

    if (starts_with(s, L"\\\\")) {
        std::vector<std::wstring> parts = split(s.substr(2));
        std::vector<std::wstring> share; // server and share names
        size_t i = 0;
        for (; i < parts.size() && share.size() < 2; ++i)
            if (!parts[i].empty())
                share.push_back(fold_case(parts[i]));
        p->root = L"\\\\";
        if (share.size() < 2)
            return true; // a server alone: no deeper than a share root
        p->root += share[0] + L"\\" + share[1];
        add_components(parts, i, p);
        return true;
    }
    bool drive = s.size() >= 2 && s[1] == L':' &&
                 ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'));
    if (!drive)
        return false;
    if (s.size() > 2 && s[2] != L'\\')
        return false;
    p->root = fold_case(s.substr(0, 2));
    add_components(split(s.substr(2)), 0, p);
    return true;
#else
    if (path.empty() || path[0] != '/')
        return false;
    p->root = "/";
    add_components(split(path), 0, p);
    return true;
#endif
}

// True when `outer` is `inner` or one of its ancestors.
bool contains(const Parsed& outer, const Parsed& inner) {
    if (outer.root != inner.root || outer.parts.size() > inner.parts.size())
        return false;
    for (size_t i = 0; i < outer.parts.size(); ++i)
        if (outer.parts[i] != inner.parts[i])
            return false;
    return true;
}

// The form of `path` with every link resolved, when it resolves.
bool resolved_form(const NativeString& path, Parsed* p) {
    NativeString resolved = fs::resolve(path);
    return !resolved.empty() && parse_absolute(resolved, p);
}

class Remover {
  public:
    explicit Remover(const Events& events) : events_(events) {}

    void run(const std::vector<NativeString>& paths) {
        const std::vector<NativeString> guarded = protected_folders();
        long long total_all = 0;
        std::vector<const NativeString*> valid_paths;
        for (const NativeString& path : paths) {
            std::string why = refusal_reason(path, guarded);
            if (!why.empty()) {
                line("拒绝删除: " + to_utf8(path) + " (" + why + ")");
                continue;
            }
            if (!path_exists(path))
                continue;
            total_all += count_items(path) + 1;
            valid_paths.push_back(&path);
        }

        total_ = total_all;
        current_ = 0;
        for (const NativeString* path : valid_paths) {
            fs::walk(
                *path, fs::Walk::Remove,
                [this](const NativeString& root, const fs::Dir& dir, const fs::Listing& listing) {
                    std::string why;
                    for (const NativeString& name : listing.files) {
                        if (!fs::remove_file(dir, name, &why))
                            line("删除失败文件: " + to_utf8(fs::join(root, name)) + " (" + why +
                                 ")");
                        step();
                    }
                    for (const NativeString& name : listing.dirs) {
                        if (!fs::remove_dir(dir, name, &why))
                            line("删除失败目录: " + to_utf8(fs::join(root, name)) + " (" + why +
                                 ")");
                        step();
                    }
                });
            std::string why;
            if (!fs::remove_listed_dir(*path, &why))
                line("删除主目录失败: " + to_utf8(*path) + " (" + why + ")");
            step();
        }
        emit_progress(100);
    }

    void line(const std::string& text) { write_line(events_.out, text); }

  private:
    void step() { emit_progress(progress_value(++current_, total_)); }

    void emit_progress(int value) {
        if (events_.progress)
            events_.progress(value);
    }

    const Events& events_;
    long long total_ = 0;
    long long current_ = 0;
};

} // namespace

int progress_value(long long current, long long total) {
    double fraction = static_cast<double>(current) / static_cast<double>(total);
    return static_cast<int>(fraction * 100);
}

long long count_items(const NativeString& folder) {
    long long n = 0;
    fs::walk(folder, fs::Walk::Count,
             [&n](const NativeString&, const fs::Dir&, const fs::Listing& listing) {
                 n += static_cast<long long>(listing.files.size() + listing.dirs.size());
             });
    return n;
}

bool path_exists(const NativeString& path) {
    return fs::exists(path);
}

void run(const std::vector<NativeString>& paths, const Events& events) {
    Remover remover(events);
    // Anything that goes wrong outside the per-entry handling ends the work
    // here; the installer still goes on, so result_ready follows regardless.
    try {
        remover.run(paths);
    } catch (const std::exception& e) {
        remover.line(std::string("卸载过程出错：") + " " + e.what());
    } catch (...) {
        remover.line(std::string("卸载过程出错：") + " unknown error");
    }
    if (events.result_ready)
        events.result_ready();
}

std::vector<NativeString> protected_folders() {
    static const char* const names[] = {"HOME",         "USERPROFILE",       "APPDATA",
                                        "LOCALAPPDATA", "SystemRoot",        "windir",
                                        "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"};
    std::vector<NativeString> out;
    for (const char* name : names) {
        NativeString value = fs::get_env(name);
        Parsed ignored;
        if (parse_absolute(value, &ignored))
            out.push_back(value);
    }
    return out;
}

std::string refusal_reason(const NativeString& path,
                           const std::vector<NativeString>& protected_dirs) {
    // Compared as written and, for links and short names, as resolved.
    std::vector<Parsed> mine(1);
    if (!parse_absolute(path, &mine[0]))
        return "不是绝对路径";
    Parsed real;
    if (mine[0].parts.empty() || (resolved_form(path, &real) && real.parts.empty()))
        return "是根目录";
    if (!real.root.empty())
        mine.push_back(real);
    for (const NativeString& dir : protected_dirs) {
        std::vector<Parsed> guarded(1);
        if (!parse_absolute(dir, &guarded[0]))
            continue;
        Parsed guarded_real;
        if (resolved_form(dir, &guarded_real))
            guarded.push_back(guarded_real);
        for (const Parsed& g : guarded)
            for (const Parsed& p : mine)
                if (contains(p, g))
                    return "包含受保护的文件夹 " + to_utf8(dir);
    }
    return {};
}

std::string to_utf8(const NativeString& s) {
#ifdef _WIN32
    // wchar_t is UTF-16 on Windows.
    return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.data()), s.size()));
#else
    return s;
#endif
}

} // namespace removal
