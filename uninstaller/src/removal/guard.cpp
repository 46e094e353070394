// The guard of the removal: which listed paths stay, judged by folder identity
// against the protected folders, by spelling where a folder does not exist,
// and by the paths the system gives where an identity is unknown.
#include "src/removal/guard.h"

#include <optional>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace removal {

namespace {

using Char = NativeString::value_type;

// Where each protected folder is read from: the variable and the known
// folder, both where they differ, so that a stale variable leaves the real
// folder protected.
struct Source {
    const char* env;
    Known known;
    Protected::Rule rule;
};
const Source kSources[] = {
    {"HOME", Known::Profile, Protected::ChildrenButOurs},
    {"USERPROFILE", Known::Profile, Protected::ChildrenButOurs},
    {"APPDATA", Known::RoamingAppData, Protected::ChildrenButOurs},
    {"LOCALAPPDATA", Known::LocalAppData, Protected::ChildrenButOurs},
    {nullptr, Known::LocalAppDataLow, Protected::ChildrenButOurs},
    {nullptr, Known::UserProgramFiles, Protected::ChildrenButOurs},
    {"OneDrive", Known::OneDrive, Protected::ChildrenButOurs},
    {"OneDriveConsumer", Known::None, Protected::ChildrenButOurs},
    {"OneDriveCommercial", Known::None, Protected::ChildrenButOurs},
    {"SystemRoot", Known::Windows, Protected::Inside},
    {"windir", Known::Windows, Protected::Inside},
    {"ProgramFiles", Known::ProgramFiles, Protected::Children},
    {"ProgramFiles(x86)", Known::ProgramFilesX86, Protected::Children},
    {"ProgramW6432", Known::ProgramFilesX64, Protected::Children},
    {"ProgramData", Known::ProgramData, Protected::Children},
    {nullptr, Known::UserProfiles, Protected::Children},
    {nullptr, Known::Documents, Protected::Itself},
    {nullptr, Known::Desktop, Protected::Itself},
    {nullptr, Known::Downloads, Protected::Itself},
    {nullptr, Known::Pictures, Protected::Itself},
    {nullptr, Known::Music, Protected::Itself},
    {nullptr, Known::Videos, Protected::Itself},
};

// A path reduced for comparison: its root ("/", "C:", "VOLUME{GUID}" or
// "\\server\share")
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

// A volume without a drive letter: "Volume{GUID}" and what follows.
bool parse_volume(const std::wstring& s, Parsed* p) {
    const size_t close = 7 + 36; // "Volume{" and the GUID
    if (s.size() <= close || fold_case(s.substr(0, 7)) != L"VOLUME{" || s[close] != L'}' ||
        (s.size() > close + 1 && s[close + 1] != L'\\'))
        return false;
    p->root = fold_case(s.substr(0, close + 1));
    add_components(split(s.substr(close + 1)), 0, p);
    return true;
}
#endif

enum class Form {
    Absolute,
    Relative, // depends on a current drive or folder
    Device,   // a device or namespace path, never a folder
};

Form parse_path(const NativeString& path, Parsed* p) {
#ifdef _WIN32
    std::wstring s = path;
    for (wchar_t& c : s)
        if (c == L'/')
            c = L'\\';
    if (fs::starts_with(s, L"\\\\?\\") || fs::starts_with(s, L"\\\\.\\")) {
        s = s.substr(4);
        if (fold_case(s.substr(0, 4)) != L"UNC\\")
            return parse_volume(s, p) || parse_drive(s, p) ? Form::Absolute : Form::Device;
        s = L"\\\\" + s.substr(4);
    }
    if (!fs::starts_with(s, L"\\\\"))
        return parse_drive(s, p) ? Form::Absolute : Form::Relative;
    parse_unc(s, p);
    return Form::Absolute;
#else
    if (path.empty() || path[0] != '/')
        return Form::Relative;
    p->root = "/";
    add_components(split(path), 0, p);
    return Form::Absolute;
#endif
}

bool parse_absolute(const NativeString& path, Parsed* p) {
    return parse_path(path, p) == Form::Absolute;
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
std::optional<Parsed> resolved_form(const NativeString& path) {
    Parsed p;
    NativeString resolved = fs::resolve(path);
    if (resolved.empty() || !parse_absolute(resolved, &p))
        return std::nullopt;
    return p;
}

// A folder named VeltaAI, in any letter case, holds this program's own data.
bool is_ours(const Parsed& p) {
    const char kOurs[] = "veltaai";
    if (p.parts.empty() || p.parts.back().size() != sizeof kOurs - 1)
        return false;
    for (size_t i = 0; i < sizeof kOurs - 1; ++i) {
        Char c = p.parts.back()[i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kOurs[i])
            return false;
    }
    return true;
}

// A chain of the listed path, with whether the folder it starts with is ours.
struct ListedChain {
    fs::Chain chain;
    bool ours;
};

} // namespace

// A protected folder as the guard compares it: by identity where it exists,
// by spelling (as written and resolved) where it does not.
struct Guards::Guard {
    Protected folder;
    fs::Chain chain;
    std::vector<Parsed> spellings;
    std::optional<Parsed> resolved; // the last of the spellings, where it resolves
};

namespace {

// How a listed folder stands to a protected one, as far as its rule reaches,
// the strongest reason first; Doubt where identities cannot tell.
enum class Relation { None, Holds, Inside, Child, Doubt };

Relation stronger(Relation a, Relation b) {
    return a == Relation::None || (b != Relation::None && b < a) ? b : a;
}

bool reaches_child(const Protected& folder, bool ours) {
    return folder.rule == Protected::Children ||
           (folder.rule == Protected::ChildrenButOurs && !ours);
}

std::string reason_text(Relation relation, const Protected& folder) {
    const std::string name = to_utf8(folder.path);
    switch (relation) {
    case Relation::Inside:
        return "位于受保护的文件夹 " + name + " 内";
    case Relation::Child:
        return "是受保护的文件夹 " + name + " 中其他程序或其他用户的文件夹";
    case Relation::Doubt:
        return "无法识别此文件夹，不能确定它与受保护的文件夹 " + name + " 无关";
    default:
        return "包含受保护的文件夹 " + name;
    }
}

// By identity, where both chains are known.
Relation relation(const Guards::Guard& g, const ListedChain& mine) {
    bool doubt = false;
    auto same = [&doubt](const fs::Identity& a, const fs::Identity& b) {
        const fs::Sameness s = fs::sameness(a, b);
        doubt = doubt || s == fs::Sameness::Unknown;
        return s == fs::Sameness::Same;
    };
    const fs::Chain& c = mine.chain;
    for (const fs::Identity& id : g.chain)
        if (same(id, c.front()))
            return Relation::Holds; // it is the protected folder or holds it
    if (g.folder.rule == Protected::Inside)
        for (const fs::Identity& id : c)
            if (same(id, g.chain.front()))
                return Relation::Inside;
    if (reaches_child(g.folder, mine.ours) && c.size() > 1 && same(c[1], g.chain.front()))
        return Relation::Child;
    return doubt ? Relation::Doubt : Relation::None;
}

// By spelling: `spelled` is a spelling of the protected folder.
Relation relation(const Guards::Guard& g, const Parsed& spelled, const Parsed& mine) {
    if (contains(mine, spelled))
        return Relation::Holds;
    if (g.folder.rule == Protected::Inside && contains(spelled, mine))
        return Relation::Inside;
    if (reaches_child(g.folder, is_ours(mine)) && contains(spelled, mine) &&
        mine.parts.size() == spelled.parts.size() + 1)
        return Relation::Child;
    return Relation::None;
}

// How the listed path stands to one protected folder: by identity where both
// exist, by spelling where one does not. Where identities cannot tell, the
// paths the system gives decide, but only on one root: across roots a
// share may still lead to the protected folder.
Relation relation(const Guards::Guard& g, const std::vector<ListedChain>& chains,
                  const std::vector<Parsed>& spelled, const std::optional<Parsed>& resolved) {
    if (chains.empty() || chains.front().chain.empty() || g.chain.empty()) {
        Relation found = Relation::None;
        for (const Parsed& protected_spelling : g.spellings)
            for (const Parsed& p : spelled)
                found = stronger(found, relation(g, protected_spelling, p));
        return found;
    }
    bool doubt = false;
    for (const ListedChain& reached : chains) {
        if (reached.chain.empty())
            continue; // a link that leads nowhere
        const Relation found = relation(g, reached);
        if (found == Relation::Doubt)
            doubt = true;
        else if (found != Relation::None)
            return found;
    }
    if (!doubt)
        return Relation::None;
    if (resolved && g.resolved) {
        const Relation found = relation(g, *g.resolved, *resolved);
        if (found != Relation::None || resolved->root == g.resolved->root)
            return found;
    }
    return Relation::Doubt;
}

} // namespace

Guards::Guards(const std::vector<Protected>& folders) {
    for (const Protected& folder : folders) {
        Guard g{folder, fs::chain(folder.path), {}, resolved_form(folder.path)};
        Parsed p;
        if (parse_absolute(folder.path, &p))
            g.spellings.push_back(p);
        if (g.resolved)
            g.spellings.push_back(*g.resolved);
        if (!g.chain.empty() || !g.spellings.empty())
            guards_.push_back(std::move(g));
    }
}

Guards::~Guards() = default;

std::string Guards::form_refusal(const NativeString& path) {
    Parsed ignored;
    Form form = parse_path(path, &ignored);
#ifdef _WIN32
    // Judged as it will be opened: Windows takes "C:\x\COM1" for the device COM1.
    if (form == Form::Absolute)
        form = parse_path(fs::api_path(path), &ignored);
#endif
    switch (form) {
    case Form::Relative:
        return "不是绝对路径";
    case Form::Device:
        return "是设备路径，不是文件夹";
    default:
        return {};
    }
}

std::string Guards::judge(const NativeString& path, const fs::Listed* listed) const {
    std::vector<Parsed> spelled(1);
    if (parse_path(path, &spelled[0]) != Form::Absolute)
        return form_refusal(path);
    const std::optional<Parsed> resolved = resolved_form(path);
    if (resolved)
        spelled.push_back(*resolved);
    // The entry itself and, for a link, where it leads. A link is named as
    // spelled; a folder by the name the system gives it.
    std::vector<ListedChain> chains;
    const bool link = listed && fs::is_link(*listed);
    const bool resolved_ours = resolved && is_ours(*resolved);
    if (listed)
        chains.push_back({fs::chain(*listed), link ? is_ours(spelled[0]) : resolved_ours});
    if (link)
        chains.push_back({fs::chain(path), resolved_ours});
    for (const Parsed& p : spelled)
        if (p.parts.empty())
            return "是根目录";
    for (const ListedChain& reached : chains)
        if (reached.chain.size() == 1)
            return "是根目录";

    Relation strongest = Relation::None;
    const Guard* by = nullptr;
    for (const Guard& g : guards_) {
        const Relation found = relation(g, chains, spelled, resolved);
        if (stronger(strongest, found) != strongest) {
            strongest = found;
            by = &g;
        }
    }
    return by ? reason_text(strongest, by->folder) : std::string();
}

namespace {

// Once each: the variable and the known folder often agree.
void add(std::vector<Protected>* out, const NativeString& path, Protected::Rule rule) {
    Parsed ignored;
    if (!parse_absolute(path, &ignored))
        return;
    for (const Protected& p : *out)
        if (p.path == path && p.rule == rule)
            return;
    out->push_back({path, rule});
}

} // namespace

std::vector<Protected> protected_folders() {
    std::vector<Protected> out;
    for (const Source& source : kSources) {
        if (source.env)
            add(&out, get_env(source.env), source.rule);
        add(&out, known_folder(source.known), source.rule);
    }
#ifdef _WIN32
    // Where Windows does not know the per-user programs folder (Wine does
    // not), its documented place.
    if (known_folder(Known::UserProgramFiles).empty())
        for (const NativeString& local :
             {get_env("LOCALAPPDATA"), known_folder(Known::LocalAppData)})
            if (!local.empty())
                add(&out, fs::join(local, L"Programs"), Protected::ChildrenButOurs);
#endif
#ifndef _WIN32
    // The XDG folders, as set and where they are by default.
    const NativeString homes[] = {get_env("HOME"), known_folder(Known::Profile)};
    const std::pair<const char*, const char*> xdg[] = {
        {"XDG_DATA_HOME", "/.local/share"},
        {"XDG_CONFIG_HOME", "/.config"},
        {"XDG_CACHE_HOME", "/.cache"},
    };
    for (const auto& [env, fallback] : xdg) {
        add(&out, get_env(env), Protected::ChildrenButOurs);
        for (const NativeString& home : homes)
            if (!home.empty())
                add(&out, home + fallback, Protected::ChildrenButOurs);
    }
    for (const char* system : {"/bin", "/boot", "/etc", "/lib", "/lib32", "/lib64", "/libx32",
                               "/opt", "/proc", "/sbin", "/srv", "/sys", "/usr", "/var"})
        out.push_back({system, Protected::Inside});
#endif
    return out;
}

} // namespace removal
