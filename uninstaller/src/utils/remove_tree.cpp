#include "remove_tree.h"
#include "remove_tree_fs.h"
#include "src/utils/utf.h"

#include <algorithm>
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

bool in_chain(const fs::Chain& chain, const fs::Identity& id) {
    for (const fs::Identity& c : chain)
        if (c == id)
            return true;
    return false;
}

// A protected folder as the guard compares it: by identity where it exists,
// by spelling (as written and resolved) where it does not.
struct Guard {
    Protected folder;
    fs::Chain chain;
    std::vector<Parsed> spellings;
};

std::vector<Guard> prepare(const std::vector<Protected>& folders) {
    std::vector<Guard> guards;
    for (const Protected& folder : folders) {
        Guard g{folder, fs::chain(folder.path), {}};
        Parsed p;
        if (parse_absolute(folder.path, &p))
            g.spellings.push_back(p);
        if (resolved_form(folder.path, &p))
            g.spellings.push_back(p);
        if (!g.chain.empty() || !g.spellings.empty())
            guards.push_back(std::move(g));
    }
    return guards;
}

// How a listed folder stands to a protected one, as far as its rule reaches.
enum class Relation { None, Holds, Inside, Child };

std::string reason_text(Relation relation, const Protected& folder) {
    const std::string name = to_utf8(folder.path);
    switch (relation) {
    case Relation::Inside:
        return "位于受保护的文件夹 " + name + " 内";
    case Relation::Child:
        return "是受保护的文件夹 " + name + " 中其他程序或其他用户的文件夹";
    default:
        return "包含受保护的文件夹 " + name;
    }
}

// By identity, where both chains are known.
Relation relation(const Guard& g, const fs::Chain& mine) {
    if (in_chain(g.chain, mine.front()))
        return Relation::Holds; // it is the protected folder or holds it
    if (g.folder.rule == Protected::Inside && in_chain(mine, g.chain.front()))
        return Relation::Inside;
    if (g.folder.rule == Protected::Children && mine.size() > 1 && mine[1] == g.chain.front())
        return Relation::Child;
    return Relation::None;
}

// By spelling, where a folder does not exist.
Relation relation(const Guard& g, const Parsed& mine) {
    for (const Parsed& spelled : g.spellings) {
        if (contains(mine, spelled))
            return Relation::Holds;
        if (g.folder.rule == Protected::Inside && contains(spelled, mine))
            return Relation::Inside;
        if (g.folder.rule == Protected::Children && contains(spelled, mine) &&
            mine.parts.size() == spelled.parts.size() + 1)
            return Relation::Child;
    }
    return Relation::None;
}

// The guard for one listed path, opened already (`listed` is null when
// nothing is there).
std::string judge(const NativeString& path, const fs::Listed* listed,
                  const std::vector<Guard>& guards) {
    std::vector<Parsed> spelled(1);
    if (!parse_absolute(path, &spelled[0]))
        return "不是绝对路径";
    Parsed real;
    if (resolved_form(path, &real))
        spelled.push_back(real);
    // The entry itself and, for a link, where it leads.
    std::vector<fs::Chain> chains;
    if (listed)
        chains.push_back(fs::chain(*listed));
    if (listed && fs::is_link(*listed))
        chains.push_back(fs::chain(path));
    for (const Parsed& p : spelled)
        if (p.parts.empty())
            return "是根目录";
    for (const fs::Chain& c : chains)
        if (c.size() == 1)
            return "是根目录";

    for (const Guard& g : guards) {
        Relation found = Relation::None;
        for (const fs::Chain& c : chains)
            if (found == Relation::None && !c.empty() && !g.chain.empty())
                found = relation(g, c);
        // Spelling decides only where one side cannot be identified.
        if (chains.empty() || chains.front().empty() || g.chain.empty())
            for (const Parsed& p : spelled)
                if (found == Relation::None)
                    found = relation(g, p);
        if (found != Relation::None)
            return reason_text(found, g.folder);
    }
    return {};
}

class Remover {
  public:
    explicit Remover(const Events& events) : events_(events) {}

    void run(const std::vector<NativeString>& paths) {
        const std::vector<Guard> guards = prepare(protected_folders());
        long long total_all = 0;
        std::vector<std::pair<const NativeString*, fs::ListedPtr>> valid_paths;
        for (const NativeString& path : paths) {
            // Opened once: the guard, the count and the removal see the same entry.
            fs::ListedPtr listed = fs::open_listed(path);
            std::string why = judge(path, listed.get(), guards);
            if (!why.empty()) {
                line("拒绝删除: " + to_utf8(path) + " (" + why + ")");
                continue;
            }
            if (!listed || !fs::exists(*listed))
                continue;
            total_all += count(*listed, path) + 1;
            valid_paths.emplace_back(&path, std::move(listed));
        }

        total_ = total_all;
        current_ = 0;
        std::vector<fs::Identity> removed;
        for (auto& [path, listed] : valid_paths) {
            // Listed twice: the second time it is gone, as a removal by name would find it.
            const fs::Identity self = fs::chain(*listed).front();
            if (std::find(removed.begin(), removed.end(), self) != removed.end()) {
                line("删除主目录失败: " + to_utf8(*path) + " (" + fs::missing_text() + ")");
                step();
                continue;
            }
            removed.push_back(self);
            fs::walk(
                *listed, *path, fs::Walk::Remove,
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
            if (!fs::remove_listed(*listed, &why))
                line("删除主目录失败: " + to_utf8(*path) + " (" + why + ")");
            listed.reset(); // where deletion waits for the last handle, now
            step();
        }
        emit_progress(100);
    }

    void line(const std::string& text) { write_line(events_.out, text); }

    static long long count(const fs::Listed& listed, const NativeString& path) {
        long long n = 0;
        fs::walk(listed, path, fs::Walk::Count,
                 [&n](const NativeString&, const fs::Dir&, const fs::Listing& listing) {
                     n += static_cast<long long>(listing.files.size() + listing.dirs.size());
                 });
        return n;
    }

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
    fs::ListedPtr listed = fs::open_listed(folder);
    return listed ? Remover::count(*listed, folder) : 0;
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

std::vector<Protected> protected_folders() {
    using fs::Known;
    struct Source {
        const char* env; // read first; the known folder where it is unset or relative
        Known known;
        Protected::Rule rule;
    };
    static const Source sources[] = {
        {"HOME", Known::None, Protected::Held},
        {"USERPROFILE", Known::Profile, Protected::Held},
        {"APPDATA", Known::RoamingAppData, Protected::Held},
        {"LOCALAPPDATA", Known::LocalAppData, Protected::Held},
        {"SystemRoot", Known::Windows, Protected::Inside},
        {"windir", Known::Windows, Protected::Inside},
        {"ProgramFiles", Known::ProgramFiles, Protected::Children},
        {"ProgramFiles(x86)", Known::ProgramFilesX86, Protected::Children},
        {"ProgramW6432", Known::ProgramFilesX64, Protected::Children},
        {"ProgramData", Known::ProgramData, Protected::Children},
        {nullptr, Known::UserProfiles, Protected::Children},
        {nullptr, Known::Documents, Protected::Held},
        {nullptr, Known::Desktop, Protected::Held},
        {nullptr, Known::Downloads, Protected::Held},
        {nullptr, Known::Pictures, Protected::Held},
        {nullptr, Known::Music, Protected::Held},
        {nullptr, Known::Videos, Protected::Held},
    };
    std::vector<Protected> out;
    Parsed ignored;
    for (const Source& source : sources) {
        NativeString value = source.env ? fs::get_env(source.env) : NativeString();
        if (!parse_absolute(value, &ignored))
            value = fs::known_folder(source.known);
        if (parse_absolute(value, &ignored))
            out.push_back({value, source.rule});
    }
#ifndef _WIN32
    for (const char* system : {"/bin", "/boot", "/etc", "/lib", "/lib32", "/lib64", "/libx32",
                               "/opt", "/proc", "/sbin", "/srv", "/sys", "/usr", "/var"})
        out.push_back({system, Protected::Inside});
#endif
    return out;
}

std::string refusal_reason(const NativeString& path, const std::vector<Protected>& guarded) {
    fs::ListedPtr listed = fs::open_listed(path);
    return judge(path, listed.get(), prepare(guarded));
}

namespace fs {

bool is_link_reparse(unsigned long attributes, unsigned long reparse_tag) {
    const unsigned long kReparsePoint = 0x400;       // FILE_ATTRIBUTE_REPARSE_POINT
    const unsigned long kNameSurrogate = 0x20000000; // the tag's name-surrogate bit
    return (attributes & kReparsePoint) && (reparse_tag & kNameSurrogate);
}

} // namespace fs

std::string to_utf8(const NativeString& s) {
#ifdef _WIN32
    // wchar_t is UTF-16 on Windows.
    return toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.data()), s.size()));
#else
    return s;
#endif
}

} // namespace removal
