// The guard of the removal: which listed paths stay, judged by folder identity
// against the protected folders, and by spelling where a folder does not exist.
#include "src/utils/remove_tree_guard.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace removal {

namespace {

using Char = NativeString::value_type;

// Where each protected folder is read from: the variable first, the known
// folder where it is unset or relative.
struct Source {
    const char* env;
    fs::Known known;
    Protected::Rule rule;
};
const Source kSources[] = {
    {"HOME", fs::Known::None, Protected::Held},
    {"USERPROFILE", fs::Known::Profile, Protected::Held},
    {"APPDATA", fs::Known::RoamingAppData, Protected::Held},
    {"LOCALAPPDATA", fs::Known::LocalAppData, Protected::Held},
    {"SystemRoot", fs::Known::Windows, Protected::Inside},
    {"windir", fs::Known::Windows, Protected::Inside},
    {"ProgramFiles", fs::Known::ProgramFiles, Protected::Children},
    {"ProgramFiles(x86)", fs::Known::ProgramFilesX86, Protected::Children},
    {"ProgramW6432", fs::Known::ProgramFilesX64, Protected::Children},
    {"ProgramData", fs::Known::ProgramData, Protected::Children},
    {nullptr, fs::Known::UserProfiles, Protected::Children},
    {nullptr, fs::Known::Documents, Protected::Held},
    {nullptr, fs::Known::Desktop, Protected::Held},
    {nullptr, fs::Known::Downloads, Protected::Held},
    {nullptr, fs::Known::Pictures, Protected::Held},
    {nullptr, fs::Known::Music, Protected::Held},
    {nullptr, fs::Known::Videos, Protected::Held},
};

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
// "\\server\share\..." with its prefix taken off: the root names the server
// and the share.
void parse_unc(const std::wstring& s, Parsed* p) {
    std::vector<std::wstring> parts = split(s.substr(2));
    std::vector<std::wstring> share; // server and share names
    size_t i = 0;
    for (; i < parts.size() && share.size() < 2; ++i)
        if (!parts[i].empty())
            share.push_back(fold_case(parts[i]));
    p->root = L"\\\\";
    if (share.size() < 2)
        return; // a server alone: no deeper than a share root
    p->root += share[0] + L"\\" + share[1];
    add_components(parts, i, p);
}

// False for "C:foo" and "\foo", which depend on a current drive or folder.
bool parse_drive(const std::wstring& s, Parsed* p) {
    bool drive = s.size() >= 2 && s[1] == L':' &&
                 ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'));
    if (!drive || (s.size() > 2 && s[2] != L'\\'))
        return false;
    p->root = fold_case(s.substr(0, 2));
    add_components(split(s.substr(2)), 0, p);
    return true;
}
#endif

// False for a relative path.
bool parse_absolute(const NativeString& path, Parsed* p) {
#ifdef _WIN32
    std::wstring s = path;
    for (wchar_t& c : s)
        if (c == L'/')
            c = L'\\';
    if (fs::starts_with(s, L"\\\\?\\UNC\\"))
        s = L"\\\\" + s.substr(8);
    else if (fs::starts_with(s, L"\\\\?\\") || fs::starts_with(s, L"\\\\.\\"))
        s = s.substr(4);
    if (!fs::starts_with(s, L"\\\\"))
        return parse_drive(s, p);
    parse_unc(s, p);
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

} // namespace

// A protected folder as the guard compares it: by identity where it exists,
// by spelling (as written and resolved) where it does not.
struct Guards::Guard {
    Protected folder;
    fs::Chain chain;
    std::vector<Parsed> spellings;
};

namespace {

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
Relation relation(const Guards::Guard& g, const fs::Chain& mine) {
    if (in_chain(g.chain, mine.front()))
        return Relation::Holds; // it is the protected folder or holds it
    if (g.folder.rule == Protected::Inside && in_chain(mine, g.chain.front()))
        return Relation::Inside;
    if (g.folder.rule == Protected::Children && mine.size() > 1 && mine[1] == g.chain.front())
        return Relation::Child;
    return Relation::None;
}

// By spelling, where a folder does not exist.
Relation relation(const Guards::Guard& g, const Parsed& mine) {
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

} // namespace

Guards::Guards(const std::vector<Protected>& folders) {
    for (const Protected& folder : folders) {
        Guard g{folder, fs::chain(folder.path), {}};
        Parsed p;
        if (parse_absolute(folder.path, &p))
            g.spellings.push_back(p);
        if (resolved_form(folder.path, &p))
            g.spellings.push_back(p);
        if (!g.chain.empty() || !g.spellings.empty())
            guards_.push_back(std::move(g));
    }
}

Guards::~Guards() = default;

std::string Guards::judge(const NativeString& path, const fs::Listed* listed) const {
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

    for (const Guard& g : guards_) {
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

std::vector<Protected> protected_folders() {
    std::vector<Protected> out;
    Parsed ignored;
    for (const Source& source : kSources) {
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
    return Guards(guarded).judge(path, listed.get());
}

} // namespace removal
