// Win32 back end. A listed path is opened once, on the reparse point itself
// if it is one, in its \\?\ form (so trees deeper than MAX_PATH are handled).
// Below it everything goes through handles: a folder is listed through its
// own handle, its entries are opened relative to it, on a reparse point
// itself, and deleted through their own handle, so a link put in place at any
// moment is never entered. The walk holds a handle on every folder from the
// listed one down: depth is bounded by a path's 32,767 characters, and
// handles are not scarce. Every open that may delete goes through ntdll
// without backup intent, which would let a token holding the backup
// privilege pass folder ACLs; only the guard's reopens by path
// (open_following) ask for backup semantics, to read attributes.
#include "src/removal/fs.h"
#include "src/removal/faults.h"

#include "common/win32_error_text.h"
#include "common/win32_owners.h"

#include <windows.h>
#include <winternl.h>

namespace removal::fs {

// The ways of deleting that the volume of a listed path takes, learnt from
// the first deletions: a refusal costs one call per listed path.
struct Ways {
    bool posix = true;           // FileDispositionInfoEx with POSIX semantics
    bool ignore_readonly = true; // ... and FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
};

struct Listed {
    UniqueFile handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    Ways ways;
};

void ListedCloser::operator()(Listed* listed) const {
    delete listed;
}

bool is_link_reparse(unsigned long attributes, unsigned long reparse_tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag));
}

namespace {

std::string describe(DWORD code) {
    const std::wstring text = ErrorText(code);
    return text.empty() ? "Windows error " + std::to_string(code) : to_utf8(text);
}

// An entry that went, or that others had deleted, or are deleting, already.
bool gone(DWORD error) {
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ||
           error == ERROR_PATH_NOT_FOUND || error == ERROR_DELETE_PENDING;
}

// What GetFullPathNameW or GetFinalPathNameByHandleW gives, in one call into
// room for the longest path; empty where it fails.
template <class Get> std::wstring sized(const Get& get) {
    std::wstring out(32768, L'\0');
    const DWORD n = get(&out[0], DWORD(out.size()));
    return n && n < out.size() ? out.substr(0, n) : std::wstring();
}

struct Entry {
    std::wstring name;
    DWORD attributes = 0;
    DWORD tag = 0;     // the reparse tag, where the attributes name a reparse point
    DWORD error = 0;   // for a folder: why it was not emptied
    bool kept = false; // for a folder: something below it stays, so it will not empty
    bool folder() const { return attributes & FILE_ATTRIBUTE_DIRECTORY; }
    bool link() const { return is_link_reparse(attributes, tag); }
    bool readonly() const { return attributes & FILE_ATTRIBUTE_READONLY; }
};

Entry entry_of(const FILE_ATTRIBUTE_TAG_INFO& tag) {
    return {{}, tag.FileAttributes, tag.ReparseTag};
}

bool read_tag(HANDLE h, FILE_ATTRIBUTE_TAG_INFO* tag) {
    return GetFileInformationByHandleEx(h, FileAttributeTagInfo, tag, sizeof *tag);
}

bool is_dir(const Entry& e) {
    return e.folder() && !e.link();
}

// STATUS_DELETE_PENDING, which RtlNtStatusToDosError calls access denied.
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// `name` inside the folder `parent` (or an NT path), opened on the reparse
// point itself; `kind` is FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE or 0.
// On failure the last error tells why: ERROR_DELETE_PENDING where another
// process deletes it already.
UniqueHandle open_child(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                        ULONG kind) {
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
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | kind;
    HANDLE h = nullptr;
    IO_STATUS_BLOCK io;
    const NTSTATUS status = fault(FaultPoint::DeletePending, name.c_str())
                                ? kDeletePending
                                : NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                               0, share, FILE_OPEN, options, nullptr, 0);
    if (status >= 0)
        return UniqueHandle(h);
    SetLastError(status == kDeletePending ? ERROR_DELETE_PENDING : RtlNtStatusToDosError(status));
    return nullptr;
}

// Folders, links to folders among them, apart from the other entries, each
// in listing order.
struct Listing {
    std::vector<Entry> files, dirs;
};

// 0, or why the folder cannot be listed to the end.
DWORD list(HANDLE dir, Listing* out) {
    if (fault(FaultPoint::List, dir))
        return ERROR_ACCESS_DENIED;
    std::vector<LONGLONG> buf(64 * 1024 / sizeof(LONGLONG)); // entries are 8-byte aligned
    // The first call starts over: the count has listed the same handle before.
    auto info_class = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, info_class, buf.data(), 64 * 1024)) {
        info_class = FileIdBothDirectoryInfo;
        for (auto* p = reinterpret_cast<const BYTE*>(buf.data());;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
            // For a reparse point the size of the extended attributes is its tag.
            const DWORD a = info->FileAttributes;
            Entry e{std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)), a,
                    a & FILE_ATTRIBUTE_REPARSE_POINT ? info->EaSize : 0};
            if (e.name != L"." && e.name != L"..")
                (e.folder() ? out->dirs : out->files).push_back(std::move(e));
            if (info->NextEntryOffset == 0)
                break;
            p += info->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : GetLastError();
}

// Sets the attributes through the handle, times untouched.
bool set_attributes(HANDLE h, DWORD attributes) {
    if (fault(FaultPoint::Attributes, h))
        return SetLastError(ERROR_ACCESS_DENIED), false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
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

// The classic disposition (the entry goes when the last handle on it
// closes), or FileDispositionInfoEx with `flags`. A fault build stands in for
// a system that takes the latter with the classic disposition, the nearest
// Wine 8 has, or that refuses it.
bool mark_as(HANDLE h, DWORD flags) {
    const bool ignore = flags & kIgnoreReadonly;
    if (flags && fault(ignore ? FaultPoint::IgnoreReadonlyTaken : FaultPoint::PosixTaken, h))
        flags = 0;
    if (flags && fault(ignore ? FaultPoint::IgnoreReadonlyRefused : FaultPoint::PosixRefused, h))
        return SetLastError(ERROR_INVALID_PARAMETER), false;
    if (!flags && fault(FaultPoint::Mark, h))
        return SetLastError(ERROR_ACCESS_DENIED), false;
    FILE_DISPOSITION_INFO classic{TRUE};
    FILE_DISPOSITION_INFO_EX ex{flags};
    return flags ? SetFileInformationByHandle(h, kDispositionInfoEx, &ex, sizeof ex)
                 : SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic);
}

// What mark() gives where the volume refused the way it tried, now dropped:
// the entry is opened again for the next.
constexpr DWORD kNextWay = ~DWORD(0);

// Marks the entry `h` for deletion where it is, the newest way its volume is
// known to take; 0 where it is marked. A link only where the handle is the
// link itself (Wine opens a Linux symbolic link as its target); a folder only
// once it lists nothing (Wine, unlike Windows, takes the mark of a folder
// that still holds pending entries, and then keeps the folder). A read-only
// entry keeps its attribute where the mark can ignore it; otherwise it is
// cleared just before, and put back where the mark fails or where another
// name keeps the file (all its names share it).
DWORD mark(HANDLE h, const Entry& e, Ways& ways) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (e.link() && !read_tag(h, &tag))
        return GetLastError();
    if (e.link() && (tag.ReparseTag == 0 || !entry_of(tag).link()))
        return ERROR_CANT_RESOLVE_FILENAME;
    Listing inside;
    if (const DWORD error = is_dir(e) ? list(h, &inside) : 0)
        return error;
    if (!inside.files.empty() || !inside.dirs.empty())
        return ERROR_DIR_NOT_EMPTY;
    const bool ignore = e.readonly() && ways.posix && ways.ignore_readonly;
    FILE_BASIC_INFO before{};
    FILE_STANDARD_INFO names{};
    const bool clear = e.readonly() && !ignore;
    if (clear && !(GetFileInformationByHandleEx(h, FileStandardInfo, &names, sizeof names) &&
                   GetFileInformationByHandleEx(h, FileBasicInfo, &before, sizeof before) &&
                   set_attributes(h, before.FileAttributes & ~FILE_ATTRIBUTE_READONLY)))
        return GetLastError();
    const bool done = mark_as(h, ignore       ? kDelete | kPosix | kIgnoreReadonly
                                 : ways.posix ? kDelete | kPosix
                                              : 0);
    const DWORD error = done ? 0 : GetLastError();
    if (clear && (!done || names.NumberOfLinks > 1))
        set_attributes(h, before.FileAttributes);
    if (done || !ways.posix || !refused(error))
        return error;
    (ignore ? ways.ignore_readonly : ways.posix) = false;
    return kNextWay;
}

// The rule for entries others hold, in one place. Each try opens the entry
// (`open`) and marks it where it is, so that what others hold open goes with
// their last handle. A folder that still lists entries (others' pending
// ones), and an entry someone holds without delete sharing, is tried again,
// the pause doubling from 10 ms, out of the run's one budget; then it stays.
// A folder with something below it that stays is not waited for.
template <class Open> DWORD dispose(const Open& open, const Entry& e, Ways& ways, Budget& budget) {
    for (DWORD pause = 10;;) {
        const HANDLE h = open();
        const DWORD error = h ? mark(h, e, ways) : GetLastError();
        if (error == kNextWay)
            continue;
        const bool held =
            error == ERROR_SHARING_VIOLATION || (error == ERROR_DIR_NOT_EMPTY && !e.kept);
        if (!held || budget.left_ms == 0)
            return error;
        const DWORD nap = std::min<DWORD>(pause, budget.left_ms);
        if (!fault(FaultPoint::Pause, nullptr))
            Sleep(nap);
        budget.left_ms -= nap;
        pause *= 2;
    }
}

// Wine opens a Linux symbolic link as its target, and deletes the target
// through that handle; it lists a link to a folder as a reparse point with
// tag 0 (never entered), but one to a file as a plain file. So under Wine a
// file goes only where the handle's name is the name it has in its folder.
const bool kWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");

// The path of `h` on its volume, as FileNameInformation gives it.
std::wstring name_of(HANDLE h) {
    struct {
        FILE_NAME_INFO info;
        wchar_t rest[32767];
    } name;
    if (!GetFileInformationByHandleEx(h, FileNameInfo, &name, sizeof name))
        return {};
    return std::wstring(name.info.FileName, name.info.FileNameLength / sizeof(wchar_t));
}

// The walk below one listed folder, counting, or removing where it has a
// report to give. The path of the current folder is one string, grown and
// cut as the walk goes.
class Walk {
  public:
    Walk(HANDLE top, const NativeString& path, const Report* report = nullptr, Ways* ways = nullptr,
         Budget* budget = nullptr)
        : path_(path), report_(report), ways_(ways), budget_(budget) {
        frames_.push_back({nullptr, top});
    }

    // 0, or why the listed folder itself cannot be walked.
    DWORD run() {
        if (const DWORD error = list(frames_[0].handle, &frames_[0].listing))
            return error;
        count += frames_[0].listing.files.size() + frames_[0].listing.dirs.size();
        frames_[0].path_length = path_.size();
        while (!frames_.empty()) {
            Frame& f = frames_.back();
            if (f.next < f.listing.dirs.size()) {
                Entry& e = f.listing.dirs[f.next++]; // stays where it is as frames_ grows
                e.error = e.link() ? 0 : enter(f.handle, e.name);
            } else {
                if (report_)
                    clear(f);
                leave();
            }
        }
        return 0;
    }

    long long count = 0;
    bool kept = false; // something below the listed folder stays

  private:
    struct Frame {
        UniqueHandle owned; // none for the listed folder
        HANDLE handle;
        Listing listing;
        size_t path_length = 0; // of path_ while this folder is walked
        size_t next = 0;        // the next of listing.dirs to enter
        bool kept = false;
        std::wstring wine_name; // under Wine, the folder's path on its volume
    };

    // 0 where the folder `name` was entered, or is a link since its listing.
    DWORD enter(HANDLE dir, const std::wstring& name) {
        UniqueHandle h = open_child(dir, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE);
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (!h || !read_tag(h.get(), &tag))
            return GetLastError();
        Frame child{nullptr, h.get()};
        if (!is_dir(entry_of(tag)))
            return 0;
        if (const DWORD error = list(h.get(), &child.listing))
            return error;
        count += child.listing.files.size() + child.listing.dirs.size();
        child.owned = std::move(h);
        path_ = join(path_, name);
        child.path_length = path_.size();
        frames_.push_back(std::move(child));
        return 0;
    }

    void leave() {
        const bool kept_below = frames_.back().kept;
        frames_.pop_back();
        if (frames_.empty()) {
            kept = kept_below;
            return;
        }
        path_.resize(frames_.back().path_length);
        frames_.back().listing.dirs[frames_.back().next - 1].kept = kept_below;
    }

    // The folder's files, then its folders: each went, or stays and why.
    void clear(Frame& f) {
        if (kWine)
            f.wine_name = name_of(f.handle);
        for (const std::vector<Entry>* entries : {&f.listing.files, &f.listing.dirs})
            for (const Entry& e : *entries) {
                const DWORD error = e.error ? e.error : remove(f, e);
                if (gone(error)) {
                    report_->went(e.folder() ? What::Folder : What::File);
                    continue;
                }
                f.kept = true;
                report_->stays(e.folder() ? What::Folder : What::File, join(path_, e.name),
                               describe(error));
            }
    }

    DWORD remove(const Frame& f, const Entry& e) {
        UniqueHandle h;
        const auto open = [&] {
            const bool write = e.readonly() && !(ways_->posix && ways_->ignore_readonly);
            const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES |
                                       (write ? FILE_WRITE_ATTRIBUTES : 0) |
                                       (is_dir(e) ? FILE_LIST_DIRECTORY : 0);
            h = open_child(f.handle, e.name, access, kShareAll,
                           e.folder() ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
            if (h && kWine && !e.folder() &&
                CompareStringOrdinal(name_of(h.get()).c_str(), -1,
                                     join(f.wine_name, e.name).c_str(), -1, TRUE) != CSTR_EQUAL) {
                h.reset();
                SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            }
            return h.get();
        };
        return dispose(open, e, *ways_, *budget_);
    }

    NativeString path_;
    const Report* report_;
    Ways* ways_;
    Budget* budget_;
    std::vector<Frame> frames_;
};

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

UniqueFile open_following(const std::wstring& api) {
    return UniqueFile(CreateFileW(api.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The path the system gives for a handle, with every link resolved: by drive
// letter or share, else by the volume's GUID (a volume without a letter);
// empty when it gives none.
std::wstring final_path(HANDLE h) {
    if (fault(FaultPoint::FinalPathQuery, h))
        return {};
    for (DWORD form : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        std::wstring path = sized(
            [&](wchar_t* buf, DWORD n) { return GetFinalPathNameByHandleW(h, buf, n, form); });
        if (!path.empty())
            return path;
    }
    return {};
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
    const size_t root = root_length(path);
    while (!path.empty() && path.size() > root) {
        path.resize(std::max(path.find_last_of(L'\\'), root)); // the root keeps its backslash
        UniqueFile up = open_following(path);
        out.push_back(up ? identity(up.get()) : Identity());
        if (!up)
            return out;
    }
    if (path.empty())
        out.push_back(Identity()); // what is above is unknown
    return out;
}

} // namespace

NativeString api_path(const NativeString& path) {
    if (starts_with(path, L"\\\\?\\"))
        return path;
    std::wstring full = sized(
        [&](wchar_t* buf, DWORD n) { return GetFullPathNameW(path.c_str(), n, buf, nullptr); });
    if (full.empty() || starts_with(full, L"\\\\.\\"))
        return full.empty() ? path : full;
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

ListedPtr open_listed(const NativeString& path, std::string* why) {
    why->clear();
    ListedPtr listed(new Listed);
    const std::wstring api = api_path(path);
    // Through ntdll: CreateFileW opens a folder only with backup semantics,
    // which ask for backup intent. Without delete access where it cannot be
    // had (the entry in use without delete sharing), and without changing
    // attributes where that is denied: the removal of the entry itself then
    // fails and says why.
    const bool nt = starts_with(api, L"\\\\?\\") || starts_with(api, L"\\\\.\\");
    SetLastError(ERROR_INVALID_NAME);
    if (nt && !fault(FaultPoint::OpenListed, api.c_str())) {
        for (ACCESS_MASK extra :
             {ACCESS_MASK(DELETE | FILE_WRITE_ATTRIBUTES), ACCESS_MASK(DELETE), ACCESS_MASK(0)}) {
            UniqueHandle h =
                open_child(nullptr, L"\\??\\" + api.substr(4),
                           FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extra, kShareAll, 0);
            listed->handle = UniqueFile(h ? h.release() : INVALID_HANDLE_VALUE);
            if (listed->handle || GetLastError() == ERROR_FILE_NOT_FOUND ||
                GetLastError() == ERROR_PATH_NOT_FOUND)
                break;
        }
    }
    if (listed->handle && read_tag(listed->handle.get(), &listed->tag))
        return listed;
    // Only "not found", or a deletion under way, means nothing is there: a
    // folder that is denied, on a share that is gone or with a tag that
    // cannot be read stays, and the caller says so.
    if (!gone(GetLastError()))
        *why = describe(GetLastError());
    return nullptr;
}

long long count_tree(const Listed& listed) {
    if (!is_dir(entry_of(listed.tag)))
        return 0;
    Walk walk(listed.handle.get(), {});
    walk.run();
    return walk.count;
}

void remove_tree(Listed& listed, const NativeString& path, Budget& budget, const Report& report) {
    Entry e = entry_of(listed.tag);
    Walk walk(listed.handle.get(), path, &report, &listed.ways, &budget);
    DWORD error = is_dir(e) ? walk.run() : e.folder() || e.link() ? 0 : ERROR_DIRECTORY;
    e.kept = walk.kept;
    if (error == 0) // a listed file stays as it is
        error = dispose([&] { return listed.handle.get(); }, e, listed.ways, budget);
    if (gone(error))
        report.went(What::Listed);
    else
        report.stays(What::Listed, path, describe(error));
}

bool is_link(const Listed& listed) {
    return entry_of(listed.tag).link();
}

Chain chain(const Listed& listed) {
    return chain_of(listed.handle.get());
}

Chain chain(const NativeString& path) {
    UniqueFile h = open_following(api_path(path));
    return h ? chain_of(h.get()) : Chain();
}

std::string missing_text() {
    return describe(ERROR_FILE_NOT_FOUND);
}

NativeString resolve(const NativeString& path) {
    UniqueFile h = open_following(api_path(path));
    return h ? final_path(h.get()) : NativeString();
}

} // namespace removal::fs
