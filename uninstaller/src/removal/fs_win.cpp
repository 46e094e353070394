// Win32 back end. A listed path is opened once, on the reparse point itself
// if it is one, in its \\?\ form (so trees deeper than MAX_PATH are handled).
// Every later step goes through handles: a directory is listed through its
// own handle, and its entries are opened relative to that handle, again on a
// reparse point itself, and deleted through their own handle. A junction or
// symbolic link put in place at any moment is therefore never entered, and a
// folder renamed meanwhile is still the one that was listed. Only the reopen
// by path for the guard (open_following) asks for backup semantics, which
// CreateFileW needs to open a folder at all: it asks to read attributes only,
// so a token holding the backup privilege gains nothing there that matters.
// Every open that may delete goes through ntdll without backup intent, which
// would let such a token pass folder ACLs, leaving only the guard in the way.
#include "src/removal/fs.h"
#include "src/removal/faults.h"
#include "src/removal/walk.h"

#include "common/win32_error_text.h"
#include "common/win32_owners.h"

#include <windows.h>
#include <winternl.h>

namespace removal::fs {

// How the entries of one listed path are deleted: what its volume takes,
// learnt from the first deletions, so that a refusal costs one call per
// listed path, not one per entry.
struct Disposal {
    bool posix = true;           // FileDispositionInfoEx with POSIX semantics
    bool ignore_readonly = true; // ... and FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
};

struct Dir {
    HANDLE handle;
    Disposal* disposal;
    Waiting* waiting;
};

struct Listed {
    UniqueFile handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    std::wstring api; // \\?\ form of the path
    mutable Disposal disposal;
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

// STATUS_DELETE_PENDING, which RtlNtStatusToDosError calls access denied.
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);

// `name` inside the directory `parent`, opened on the reparse point itself,
// with `extra` create options. On failure the last error tells why, and is
// ERROR_DELETE_PENDING where another process is deleting the entry already.
UniqueHandle open_child(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                        Kind kind, ULONG extra = 0) {
    // A UNICODE_STRING counts bytes in 16 bits: a longer name would wrap
    // round to a shorter one, naming something else.
    if (name.size() > 0xFFFE / sizeof(wchar_t)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
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
    const NTSTATUS status = fault(FaultPoint::DeletePending, name.c_str())
                                ? kDeletePending
                                : NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                               0, share, FILE_OPEN, options, nullptr, 0);
    if (status < 0) {
        SetLastError(status == kDeletePending ? ERROR_DELETE_PENDING
                                              : RtlNtStatusToDosError(status));
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
    Disposal* disposal;
    Waiting* waiting;

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
    Dir dir(HANDLE h) const { return Dir{h, disposal, waiting}; }
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
bool mark(HANDLE h) {
    if (fault(FaultPoint::Mark, h)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    FILE_DISPOSITION_INFO info{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info);
}

bool mark_ex(HANDLE h, DWORD flags) {
    // A fault build stands in for a system that takes the call with the
    // classic disposition, the nearest Wine 8 has, or that refuses it.
    const bool ignore = flags & kIgnoreReadonly;
    if (fault(ignore ? FaultPoint::IgnoreReadonlyTaken : FaultPoint::PosixTaken, h))
        return mark(h);
    if (fault(ignore ? FaultPoint::IgnoreReadonlyRefused : FaultPoint::PosixRefused, h)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    FILE_DISPOSITION_INFO_EX ex{flags};
    return SetFileInformationByHandle(h, kDispositionInfoEx, &ex, sizeof ex);
}

enum class Outcome { Done, Failed, Refused };

// Marks the entry for deletion the newest way the volume is thought to take;
// a way it refuses is noted in `d`. A read-only entry keeps its attribute
// where the system can ignore it; otherwise the attribute is cleared just
// before, and put back if the deletion fails.
Outcome mark_once(HANDLE h, bool readonly, Disposal& d) {
    bool* way = &d.ignore_readonly;
    bool done;
    if (readonly && d.posix && d.ignore_readonly) {
        done = mark_ex(h, kDelete | kPosix | kIgnoreReadonly);
    } else {
        FILE_BASIC_INFO before{};
        if (readonly && !clear_readonly(h, &before))
            return Outcome::Failed;
        way = d.posix ? &d.posix : nullptr;
        done = d.posix ? mark_ex(h, kDelete | kPosix) : mark(h);
        if (!done && readonly)
            put_back(h, before);
    }
    if (done)
        return Outcome::Done;
    if (!way || !refused(GetLastError()))
        return Outcome::Failed;
    *way = false;
    return Outcome::Refused;
}

bool holds_entries(HANDLE folder) {
    Listing listing;
    return list(folder, &listing) && (!listing.dirs.empty() || !listing.files.empty());
}

// A folder whose entries others still hold (marked, pending until they let
// go) cannot go before they do; scanners and sync clients let go within
// moments. So a folder that is not empty is tried again, the pause doubling
// from 10 ms, while the run's waiting lasts. Its listing is looked at first
// (under POSIX semantics from the second try on), since Wine, unlike Windows,
// takes the mark of a folder that still holds entries and then silently keeps
// the folder: the classic mark of one holding a pending entry, and with POSIX
// semantics (Wine 10) the second mark through one handle, after the first
// gave ERROR_DIR_NOT_EMPTY.
Outcome mark_folder(HANDLE h, bool readonly, Disposal& d, Waiting* waiting) {
    DWORD pause = 10;
    for (bool first = true;; first = false) {
        Outcome outcome = Outcome::Failed;
        if ((d.posix && first) || !holds_entries(h))
            outcome = mark_once(h, readonly, d);
        else
            SetLastError(ERROR_DIR_NOT_EMPTY);
        if (outcome != Outcome::Failed || GetLastError() != ERROR_DIR_NOT_EMPTY || !waiting ||
            waiting->left_ms == 0)
            return outcome;
        const DWORD nap = std::min<DWORD>(pause, waiting->left_ms);
        if (!fault(FaultPoint::Pause, h))
            Sleep(nap);
        waiting->left_ms -= nap;
        pause *= 2;
    }
}

// Deletes the entry that `open` gives, asking again while the volume refuses
// a way: `open` then gives the entry opened for the next way.
template <class Open>
bool dispose(const Open& open, bool readonly, bool folder, Disposal& d, Waiting* waiting) {
    for (;;) {
        const HANDLE h = open();
        if (!h)
            return false;
        const Outcome outcome =
            folder ? mark_folder(h, readonly, d, waiting) : mark_once(h, readonly, d);
        if (outcome != Outcome::Refused)
            return outcome == Outcome::Done;
    }
}

// An entry held by others is marked where it is and goes with their last
// handle; its folder waits for that (mark_folder). An entry that another
// process is deleting already counts as going.
bool remove_child(const Dir& dir, const Entry& entry, Kind kind, std::string* why) {
    Disposal& d = *dir.disposal;
    const bool folder = kind == Kind::Directory;
    // Under classic semantics a file that is not read-only is opened
    // exclusively and marked in that open (delete on close): under Wine one
    // server request fewer per file than a separate mark. An open that asks
    // for no data or delete access (an indexer's attribute query) shares with
    // it and keeps the file pending; its folder then waits as for any other.
    if (!d.posix && !folder && !entry.readonly) {
        if (open_child(dir.handle, entry.name, DELETE | FILE_READ_ATTRIBUTES, 0, kind,
                       FILE_DELETE_ON_CLOSE))
            return true; // it goes as the handle closes
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return GetLastError() == ERROR_DELETE_PENDING || fail(why);
    }
    UniqueHandle h;
    const auto open = [&] {
        const bool write = entry.readonly && !(d.posix && d.ignore_readonly);
        const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES |
                                   (write ? FILE_WRITE_ATTRIBUTES : 0) |
                                   (folder ? FILE_LIST_DIRECTORY : 0);
        h = open_child(dir.handle, entry.name, access, kShareAll, kind);
        return h.get();
    };
    return dispose(open, entry.readonly, folder, d, dir.waiting) ||
           GetLastError() == ERROR_DELETE_PENDING || fail(why);
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
    if (fault(FaultPoint::IndexCollides, h))
        out.serial = out.index = 1;
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

ListedPtr open_listed(const NativeString& path, std::string* why) {
    why->clear();
    ListedPtr listed(new Listed);
    listed->api = long_path(path);
    // Through ntdll: CreateFileW opens a folder only with backup semantics,
    // which ask for backup intent. Without delete access where it cannot be
    // had (the entry in use without delete sharing), and without changing
    // attributes where that is denied: the removal of the entry itself then
    // fails and says why.
    const std::wstring nt = nt_path(listed->api);
    SetLastError(ERROR_INVALID_NAME);
    if (!nt.empty() && !fault(FaultPoint::OpenListed, listed->api.c_str())) {
        for (ACCESS_MASK extra :
             {ACCESS_MASK(DELETE | FILE_WRITE_ATTRIBUTES), ACCESS_MASK(DELETE), ACCESS_MASK(0)}) {
            UniqueHandle h =
                open_child(nullptr, nt, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extra,
                           kShareAll, Kind::Any);
            if (h) {
                listed->handle = UniqueFile(h.release());
                break;
            }
            if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
                break;
        }
    }
    if (listed->handle && read_tag(listed->handle.get(), &listed->tag))
        return listed;
    // Only "not found", or a deletion under way, means nothing is there: a
    // folder that is denied, on a share that is gone or with a tag that
    // cannot be read stays, and the caller says so.
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
        error != ERROR_DELETE_PENDING)
        *why = describe(error);
    return nullptr;
}

bool exists(const Listed& listed) {
    // A link counts unless its target is known to be missing.
    if (!is_link(listed.tag) || open_following(listed.api))
        return true;
    return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
}

Identity identity(const Listed& listed) {
    return identity(listed.handle.get());
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

void walk(const Listed& listed, const NativeString& path, Walk mode, const Visit& visit,
          Waiting* waiting) {
    if (is_dir(listed.tag))
        walk_tree(WalkOps{&listed.disposal, waiting}, listed.handle.get(), path, mode, visit);
}

bool remove_file(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_child(dir, entry, Kind::File, why);
}

// A junction or directory link goes as a link, never its target.
bool remove_dir(const Dir& dir, const Entry& entry, std::string* why) {
    return remove_child(dir, entry, Kind::Directory, why);
}

bool remove_listed(const Listed& listed, Waiting* waiting, std::string* why) {
    if (!(listed.tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY); // a file is not removed as a folder
        return fail(why);
    }
    const bool readonly = listed.tag.FileAttributes & FILE_ATTRIBUTE_READONLY;
    const auto open = [&listed] { return listed.handle.get(); };
    return dispose(open, readonly, true, listed.disposal, waiting) || fail(why);
}

std::string missing_text() {
    return describe(ERROR_FILE_NOT_FOUND);
}

NativeString resolve(const NativeString& path) {
    UniqueFile h = open_following(long_path(path));
    return h ? final_path(h.get()) : NativeString();
}

} // namespace removal::fs
