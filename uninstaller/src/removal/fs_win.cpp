// Win32 back end. A listed path is opened once, on the reparse point itself
// if it is one, in its \\?\ form (so trees deeper than MAX_PATH are handled).
// Every later step goes through handles: a directory is listed through its
// own handle, and its entries are opened relative to that handle, again on a
// reparse point itself, and deleted through their own handle. A junction or
// symbolic link put in place at any moment is therefore never entered, and a
// folder renamed meanwhile is still the one that was listed. No open asks for
// backup intent: a token holding the backup privilege would pass folder ACLs
// with it, leaving only the guard in the way.
#include "src/removal/fs.h"
#include "src/removal/faults.h"
#include "src/removal/walk.h"

#include "common/win32_error_text.h"
#include "common/win32_owners.h"

#include <windows.h>
#include <winternl.h>

namespace removal::fs {

// What the volume of one listed path takes, learnt from its first deletions,
// so that a refusal costs one call per volume, not one per entry.
struct Volume {
    bool posix = true;           // FileDispositionInfoEx with POSIX semantics
    bool ignore_readonly = true; // ... and FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
    bool left_pending = false;   // an entry others hold waits in its folder for them
    std::wstring outside;        // \\?\ form of the folder that holds the listed path
    UniqueHandle outside_handle;
    bool outside_tried = false;
};

struct Dir {
    HANDLE handle;
    Volume* volume;
};

struct Listed {
    UniqueFile handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    std::wstring api; // \\?\ form of the path
    mutable Volume volume;
};

void ListedCloser::operator()(Listed* listed) const {
    delete listed;
}

bool is_link_reparse(unsigned long attributes, unsigned long reparse_tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparse_tag);
}

namespace {

std::string describe(DWORD code) {
    const std::wstring text = ErrorText(code);
    if (text.empty())
        return "Windows error " + std::to_string(code);
    return to_utf8(text);
}

bool fail(std::string* why) {
    *why = describe(GetLastError());
    return false;
}

// The \\?\ form of `path`: absolute, normalised and free of the MAX_PATH limit.
std::wstring long_path(const std::wstring& path) {
    if (starts_with(path, L"\\\\?\\"))
        return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    full.resize(n);
    if (starts_with(full, L"\\\\.\\"))
        return full;
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The NT form of a \\?\ or \\.\ path, for ntdll; empty for any other.
std::wstring nt_path(const std::wstring& api) {
    if (!starts_with(api, L"\\\\?\\") && !starts_with(api, L"\\\\.\\"))
        return {};
    return L"\\??\\" + api.substr(4);
}

bool read_tag(HANDLE h, FILE_ATTRIBUTE_TAG_INFO* tag) {
    return GetFileInformationByHandleEx(h, FileAttributeTagInfo, tag, sizeof *tag);
}

bool is_link(const FILE_ATTRIBUTE_TAG_INFO& tag) {
    return is_link_reparse(tag.FileAttributes, tag.ReparseTag);
}

bool is_dir(const FILE_ATTRIBUTE_TAG_INFO& tag) {
    return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link(tag);
}

enum class Kind { Any, File, Directory };

// `name` inside the directory `parent`, opened on the reparse point itself,
// with `extra` create options. On failure the last error tells why.
UniqueHandle open_child(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                        Kind kind, ULONG extra = 0) {
    UNICODE_STRING object;
    object.Buffer = const_cast<wchar_t*>(name.c_str());
    object.Length = object.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, parent, nullptr);
    ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | extra;
    if (kind == Kind::File)
        options |= FILE_NON_DIRECTORY_FILE;
    else if (kind == Kind::Directory)
        options |= FILE_DIRECTORY_FILE;
    HANDLE h = nullptr;
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share,
                                   FILE_OPEN, options, nullptr, 0);
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return nullptr;
    }
    return UniqueHandle(h);
}

bool list(HANDLE dir, Listing* out) {
    std::vector<LONGLONG> buf(64 * 1024 / sizeof(LONGLONG)); // entries are 8-byte aligned
    const DWORD size = static_cast<DWORD>(buf.size() * sizeof(LONGLONG));
    // The first call starts over: the count has listed the same handle before.
    auto info_class = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, info_class, buf.data(), size)) {
        info_class = FileIdBothDirectoryInfo;
        const auto* p = reinterpret_cast<const BYTE*>(buf.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                // Junctions and directory links carry the directory attribute too.
                bool is_dir = info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
                bool readonly = info->FileAttributes & FILE_ATTRIBUTE_READONLY;
                (is_dir ? out->dirs : out->files).push_back({std::move(name), readonly});
            }
            if (info->NextEntryOffset == 0)
                break;
            p += info->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The platform's part of the walk. Relative opens take no "..", so a folder
// let go is reached again by name from a held ancestor.
struct WalkOps {
    using Raw = HANDLE;
    using Handle = UniqueHandle;
    Volume* volume;

    static HANDLE raw(const UniqueHandle& h) { return h.get(); }
    static UniqueHandle open_dir(HANDLE parent, const std::wstring& name) {
        UniqueHandle sub = open_child(parent, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, Kind::Directory);
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (sub && read_tag(sub.get(), &tag) && is_dir(tag))
            return sub;
        return nullptr;
    }
    static UniqueHandle open_parent(HANDLE) { return nullptr; }
    static Identity id(HANDLE h);
    static bool list(HANDLE h, Listing* out) { return fs::list(h, out); }
    Dir dir(HANDLE h) const { return Dir{h, volume}; }
};

// Clears the read-only attribute and nothing else, through the handle;
// `before` keeps the attributes to put back.
bool clear_readonly(HANDLE h, FILE_BASIC_INFO* before) {
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, before, sizeof *before))
        return false;
    if (!(before->FileAttributes & FILE_ATTRIBUTE_READONLY))
        return true;
    FILE_BASIC_INFO basic{}; // times of 0 stay as they are
    basic.FileAttributes = before->FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// Puts the attributes back after a deletion failed, keeping the failure's error.
void put_back(HANDLE h, const FILE_BASIC_INFO& before) {
    const DWORD error = GetLastError();
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = before.FileAttributes;
    SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
    SetLastError(error);
}

// FileDispositionInfoEx (Windows 10 1607) and its flags, which the headers
// offer only when built for that version alone.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDelete = 0x1, kPosix = 0x2, kIgnoreReadonly = 0x10;

// How a system or file system says it lacks a disposition or one of its flags.
bool refused(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION;
}

// The classic disposition: the entry goes when the last handle on it closes.
bool mark(HANDLE h, bool on) {
    if (on && fault(FaultPoint::Mark, h)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(on)};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info);
}

bool mark_ex(HANDLE h, DWORD flags) {
    // A fault build stands in for a system that takes the call with the
    // classic disposition, the nearest Wine has.
    if (fault(flags & kIgnoreReadonly ? FaultPoint::IgnoreReadonlyTaken : FaultPoint::PosixTaken,
              h))
        return mark(h, true);
    FILE_DISPOSITION_INFO_EX ex{flags};
    return SetFileInformationByHandle(h, kDispositionInfoEx, &ex, sizeof ex);
}

// A folder whose entries others still hold (with delete sharing) cannot go
// until they let go; scanners and sync clients do within moments. So once such
// an entry was left in place, a folder that still lists entries is tried
// again for about 2 s in all, the pause doubling from 10 ms. Its listing is
// looked at first because Wine, unlike Windows, takes the mark of a folder
// that still holds a pending entry and then silently keeps the folder.
constexpr DWORD kPatienceMs = 2000;

bool holds_entries(HANDLE folder) {
    Listing listing;
    return list(folder, &listing) && (!listing.dirs.empty() || !listing.files.empty());
}

bool mark_folder(HANDLE h, const Volume& v) {
    DWORD pause = 10, waited = 0;
    for (;;) {
        if (!v.left_pending || !holds_entries(h)) {
            if (mark(h, true))
                return true;
            if (GetLastError() != ERROR_DIR_NOT_EMPTY || !v.left_pending)
                return false;
        }
        if (waited >= kPatienceMs) {
            SetLastError(ERROR_DIR_NOT_EMPTY);
            return false;
        }
        Sleep(pause);
        waited += pause;
        pause = std::min(pause * 2, kPatienceMs - waited);
    }
}

enum class Outcome { Done, Failed, Refused };

// A refusal is learnt in `offered`; the caller then asks again.
Outcome learn(bool done, bool* offered) {
    if (done)
        return Outcome::Done;
    if (!refused(GetLastError()))
        return Outcome::Failed;
    *offered = false;
    return Outcome::Refused;
}

// Marks the entry for deletion the newest way the volume takes. A read-only
// entry keeps its attribute where the system can ignore it; otherwise the
// attribute is cleared just before, and put back if the deletion fails.
Outcome dispose(HANDLE h, bool readonly, bool folder, Volume& v) {
    if (readonly && v.posix && v.ignore_readonly)
        return learn(mark_ex(h, kDelete | kPosix | kIgnoreReadonly), &v.ignore_readonly);
    FILE_BASIC_INFO before{};
    if (readonly && !clear_readonly(h, &before))
        return Outcome::Failed;
    Outcome outcome;
    if (v.posix)
        outcome = learn(mark_ex(h, kDelete | kPosix), &v.posix);
    else
        outcome = (folder ? mark_folder(h, v) : mark(h, true)) ? Outcome::Done : Outcome::Failed;
    if (outcome != Outcome::Done && readonly)
        put_back(h, before);
    return outcome;
}

// Renames through the handle into `folder`. Kernelbase would take a relative
// name for a path below the current folder, so the call goes to ntdll.
bool rename_into(HANDLE h, HANDLE folder, const std::wstring& name) {
    const ULONG bytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::vector<LONGLONG> buf((sizeof(FILE_RENAME_INFO) + bytes) / sizeof(LONGLONG) + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->RootDirectory = folder;
    info->FileNameLength = bytes;
    memcpy(info->FileName, name.data(), bytes);
    IO_STATUS_BLOCK io;
    const NTSTATUS status =
        NtSetInformationFile(h, &io, info, static_cast<ULONG>(buf.size() * sizeof(LONGLONG)),
                             static_cast<FILE_INFORMATION_CLASS>(10)); // FileRenameInformation
    if (status < 0) {
        SetLastError(RtlNtStatusToDosError(status));
        return false;
    }
    return true;
}

// The folder that holds the listed path, opened on first need: entries held
// by others wait there, outside the tree, for their last handle.
HANDLE outside_of(Volume& v) {
    if (!v.outside_tried && !v.outside.empty()) {
        v.outside_tried = true;
        v.outside_handle =
            open_child(nullptr, nt_path(v.outside), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       kShareAll, Kind::Directory);
    }
    return v.outside_handle.get();
}

std::wstring unique_name() {
    static long counter = 0;
    return L".removing-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

// An entry marked for deletion that others hold stays in its folder, pending,
// until they let go, and keeps the folder from going. Moved out first, it lets
// the folder go at once. It moves only once shown deletable (marked in place),
// and is marked again at once where it lands: whatever fails, it is either
// marked where it was or marked outside. False only where it ends up in place
// and unmarked, which the caller reports.
bool move_out(HANDLE h, const Dir& dir, const std::wstring& name) {
    Volume& v = *dir.volume;
    HANDLE outside = outside_of(v);
    v.left_pending = true;
    if (!outside || fault(FaultPoint::MoveOut, h) || !mark(h, false))
        return true;
    if (rename_into(h, outside, unique_name())) {
        if (mark(h, true)) {
            v.left_pending = false;
            return true;
        }
        rename_into(h, dir.handle, name);
    }
    return mark(h, true);
}

bool remove_child(const Dir& dir, const Entry& entry, Kind kind, std::string* why) {
    Volume& v = *dir.volume;
    for (;;) {
        const bool write = entry.readonly && !(v.posix && v.ignore_readonly);
        const bool look = kind == Kind::Directory && !v.posix && v.left_pending;
        const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES |
                                   (write ? FILE_WRITE_ATTRIBUTES : 0) |
                                   (look ? FILE_LIST_DIRECTORY : 0);
        // Under classic semantics a deletion waits for every other handle; an
        // exclusive open tells whether there is any. A file that is not
        // read-only is opened marked already (delete on close), which saves
        // the separate mark: under Wine a server request per file.
        UniqueHandle h;
        bool held = false;
        if (!v.posix) {
            const bool at_close = kind == Kind::File && !entry.readonly;
            h = open_child(dir.handle, entry.name, access, 0, kind,
                           at_close ? FILE_DELETE_ON_CLOSE : 0);
            if (h && at_close)
                return true; // it goes as `h` closes
            held = !h && GetLastError() == ERROR_SHARING_VIOLATION;
        }
        if (!h && (v.posix || held))
            h = open_child(dir.handle, entry.name, access, kShareAll, kind);
        if (!h)
            return fail(why);
        const Outcome outcome = dispose(h.get(), entry.readonly, kind == Kind::Directory, v);
        if (outcome == Outcome::Refused)
            continue; // asked again, now the way the volume takes
        if (outcome == Outcome::Failed || (held && !move_out(h.get(), dir, entry.name)))
            return fail(why);
        return true;
    }
}

// Both forms where the handle gives them; a failed query leaves its form unknown.
Identity identity(HANDLE h) {
    Identity out;
    FILE_ID_INFO id;
    if (!fault(FaultPoint::IdInfoQuery, h) &&
        GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id)) {
        unsigned long long parts[2];
        memcpy(parts, id.FileId.Identifier, sizeof parts);
        out.volume = id.VolumeSerialNumber;
        out.id_high = parts[1];
        out.id_low = parts[0];
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!fault(FaultPoint::IndexQuery, h) && GetFileInformationByHandle(h, &info)) {
        out.serial = info.dwVolumeSerialNumber;
        out.index =
            (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return out;
}

// The file's index alone: a walk never leaves its volume, and Wine answers
// this from the descriptor where its FileIdInfo looks the path up again.
Identity WalkOps::id(HANDLE h) {
    FILE_INTERNAL_INFORMATION info;
    IO_STATUS_BLOCK io;
    if (NtQueryInformationFile(h, &io, &info, sizeof info, FileInternalInformation) >= 0)
        return {0, 0, static_cast<unsigned long long>(info.IndexNumber.QuadPart)};
    return identity(h);
}

UniqueFile open_following(const std::wstring& api) {
    return UniqueFile(CreateFileW(api.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring final_path(HANDLE h, DWORD volume_name) {
    DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, volume_name);
    if (n == 0)
        return {};
    std::wstring path(n, L'\0');
    n = GetFinalPathNameByHandleW(h, &path[0], n, volume_name);
    path.resize(n);
    return path;
}

// The path the system gives for a handle, with every link resolved: by drive
// letter or share, else by the volume's GUID (a volume without a letter);
// empty when it gives none.
std::wstring final_path(HANDLE h) {
    if (fault(FaultPoint::FinalPathQuery, h))
        return {};
    std::wstring path = final_path(h, VOLUME_NAME_DOS);
    return path.empty() ? final_path(h, VOLUME_NAME_GUID) : path;
}

// The length of the root in a path the system gives for a handle:
// "\\?\C:\", "\\?\Volume{GUID}\" or "\\?\UNC\server\share\".
size_t root_length(const std::wstring& path) {
    const size_t volume = path.find(L'\\', 4);
    if (!starts_with(path, L"\\\\?\\UNC\\"))
        return volume == std::wstring::npos ? path.size() : volume + 1;
    const size_t server = path.find(L'\\', 8);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
}

// The folder of `h` and each folder above it, by the path the system gives
// for the handle, up to the root of its volume or share; an unknown identity
// ends a chain that cannot be followed that far.
Chain chain_of(HANDLE h) {
    Chain out{identity(h)};
    std::wstring path = final_path(h);
    if (path.empty()) {
        out.push_back(Identity()); // what is above is unknown
        return out;
    }
    const size_t root = root_length(path);
    while (path.size() > root) {
        path.resize(std::max(path.find_last_of(L'\\'), root)); // the root keeps its backslash
        UniqueFile up = open_following(path);
        if (!up) {
            out.push_back(Identity());
            break;
        }
        out.push_back(identity(up.get()));
    }
    return out;
}

} // namespace

ListedPtr open_listed(const NativeString& path) {
    ListedPtr listed(new Listed);
    listed->api = long_path(path);
    // Through ntdll: CreateFileW opens a folder only with backup semantics,
    // which ask for backup intent. Without delete access where it cannot be
    // had (the entry in use without delete sharing), and without changing
    // attributes where that is denied: the removal of the entry itself then
    // fails and says why.
    const std::wstring nt = nt_path(listed->api);
    if (nt.empty())
        return nullptr;
    for (ACCESS_MASK extra :
         {ACCESS_MASK(DELETE | FILE_WRITE_ATTRIBUTES), ACCESS_MASK(DELETE), ACCESS_MASK(0)}) {
        UniqueHandle h = open_child(nullptr, nt, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extra,
                                    kShareAll, Kind::Any);
        if (h) {
            listed->handle = UniqueFile(h.release());
            break;
        }
        if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
            break;
    }
    if (!listed->handle || !read_tag(listed->handle.get(), &listed->tag))
        return nullptr;
    const size_t cut = listed->api.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut >= 6) // "\\?\C:\" keeps its backslash
        listed->volume.outside = listed->api.substr(0, std::max<size_t>(cut, 7));
    return listed;
}

bool exists(const Listed& listed) {
    // A link counts where its target is there, even if in use.
    return !is_link(listed.tag) || open_following(listed.api) ||
           GetLastError() == ERROR_SHARING_VIOLATION;
}

bool is_link(const Listed& listed) {
    return is_link(listed.tag);
}

Chain chain(const Listed& listed) {
    return chain_of(listed.handle.get());
}

Chain chain(const NativeString& path) {
    UniqueFile h = open_following(long_path(path));
    return h ? chain_of(h.get()) : Chain();
}

void walk(const Listed& listed, const NativeString& path, Walk mode, const Visit& visit) {
    if (is_dir(listed.tag))
        walk_tree(WalkOps{&listed.volume}, listed.handle.get(), path, mode, visit);
}

bool remove_file(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_child(dir, entry, Kind::File, why);
}

// A junction or directory link goes as a link, never its target.
bool remove_dir(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_child(dir, entry, Kind::Directory, why);
}

bool remove_listed(const Listed& listed, std::string* why) {
    HANDLE h = listed.handle.get();
    if (!(listed.tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // A listed file loses its read-only attribute but stays: it is not
        // removed as a folder.
        FILE_BASIC_INFO before;
        if (!clear_readonly(h, &before))
            return fail(why);
        SetLastError(ERROR_DIRECTORY);
        return fail(why);
    }
    const bool readonly = listed.tag.FileAttributes & FILE_ATTRIBUTE_READONLY;
    for (;;) {
        const Outcome outcome = dispose(h, readonly, true, listed.volume);
        if (outcome != Outcome::Refused)
            return outcome == Outcome::Done || fail(why);
    }
}

std::string missing_text() {
    return describe(ERROR_FILE_NOT_FOUND);
}

NativeString resolve(const NativeString& path) {
    UniqueFile h = open_following(long_path(path));
    return h ? final_path(h.get()) : NativeString();
}

} // namespace removal::fs
