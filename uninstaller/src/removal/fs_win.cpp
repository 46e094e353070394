// Win32 back end. A listed path is opened once, on the reparse point itself
// if it is one, in its \\?\ form (so trees deeper than MAX_PATH are handled).
// Every later step goes through handles: a folder is listed through its own
// handle, and its entries are opened relative to that handle, again on a
// reparse point itself, and deleted through their own handle. A junction or
// symbolic link put in place at any moment is therefore never entered, and a
// folder renamed meanwhile is still the one that was listed. The walk holds a
// handle on every folder from the listed one down to the current one: depth
// is bounded by the 32,767 characters of a path, and handles are not scarce.
// Only the reopen by path for the guard (open_following) asks for backup
// semantics, which CreateFileW needs to open a folder at all: it asks to read
// attributes only, so a token holding the backup privilege gains nothing
// there that matters. Every open that may delete goes through ntdll without
// backup intent, which would let such a token pass folder ACLs, leaving only
// the guard in the way.
#include "src/removal/fs.h"
#include "src/removal/faults.h"

#include "common/win32_error_text.h"
#include "common/win32_owners.h"

#include <windows.h>
#include <winternl.h>

namespace removal::fs {

// The ways of deleting that the volume of a listed path takes, learnt from
// the first deletions: a refusal costs one call per listed path, not one per
// entry.
struct Ways {
    bool posix = true;           // FileDispositionInfoEx with POSIX semantics
    bool ignore_readonly = true; // ... and FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
};

struct Listed {
    UniqueFile handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    std::wstring api; // the form the path was opened in
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
    if (text.empty())
        return "Windows error " + std::to_string(code);
    return to_utf8(text);
}

// What the APIs that say the size they need give (GetFullPathNameW,
// GetFinalPathNameByHandleW): asked again while the answer grows meanwhile (a
// rename between the calls); empty on failure.
template <class Get> std::wstring sized(const Get& get) {
    std::wstring out;
    for (DWORD n = get(nullptr, 0), attempt = 0; n != 0 && attempt < 3; ++attempt) {
        out.resize(n);
        const DWORD got = get(&out[0], n);
        if (got < n) {
            out.resize(got);
            return out;
        }
        n = got;
    }
    return {};
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

// An entry that went, or that others had deleted, or are deleting, already.
bool gone(DWORD error) {
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ||
           error == ERROR_PATH_NOT_FOUND || error == ERROR_DELETE_PENDING;
}

enum class Kind { Any, File, Directory };

// STATUS_DELETE_PENDING, which RtlNtStatusToDosError calls access denied.
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);

// `name` inside the folder `parent`, opened on the reparse point itself, with
// `extra` create options. On failure the last error tells why, and is
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

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Entry {
    std::wstring name;
    DWORD attributes = 0;
    DWORD tag = 0;     // the reparse tag, where the attributes name a reparse point
    DWORD error = 0;   // for a folder: why it was not emptied
    bool kept = false; // for a folder: something below it stays
    bool folder() const { return attributes & FILE_ATTRIBUTE_DIRECTORY; }
    bool link() const { return is_link_reparse(attributes, tag); }
    bool readonly() const { return attributes & FILE_ATTRIBUTE_READONLY; }
};

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
    const DWORD size = static_cast<DWORD>(buf.size() * sizeof(LONGLONG));
    // The first call starts over: the count has listed the same handle before.
    auto info_class = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, info_class, buf.data(), size)) {
        info_class = FileIdBothDirectoryInfo;
        const auto* p = reinterpret_cast<const BYTE*>(buf.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
            Entry e{std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)),
                    info->FileAttributes};
            // For a reparse point the size of the extended attributes is its tag.
            if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                e.tag = info->EaSize;
            if (e.name != L"." && e.name != L"..")
                (e.folder() ? out->dirs : out->files).push_back(std::move(e));
            if (info->NextEntryOffset == 0)
                break;
            p += info->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES ? 0 : GetLastError();
}

// Clears the read-only attribute and nothing else, through the handle;
// `before` keeps the attributes to put back.
bool clear_readonly(HANDLE h, FILE_BASIC_INFO* before) {
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, before, sizeof *before))
        return false;
    FILE_BASIC_INFO basic{}; // times of 0 stay as they are
    basic.FileAttributes = before->FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// Puts the attributes back, keeping the last error.
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
bool mark_classic(HANDLE h) {
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
        return mark_classic(h);
    if (fault(ignore ? FaultPoint::IgnoreReadonlyRefused : FaultPoint::PosixRefused, h)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    FILE_DISPOSITION_INFO_EX ex{flags};
    return SetFileInformationByHandle(h, kDispositionInfoEx, &ex, sizeof ex);
}

// What mark() gives where the volume refused the way it tried, now dropped:
// the entry is opened again for the next way.
constexpr DWORD kNextWay = ~DWORD(0);

// Marks the entry `h` for deletion where it is, the newest way its volume is
// known to take; 0 where it is marked. A link only where the handle is the
// link itself (Wine opens a Linux symbolic link as its target, which must
// not go); a folder only once it lists nothing (Wine, unlike Windows, takes
// the mark of a folder that still holds pending entries, and then keeps the
// folder). A read-only entry keeps its attribute where the mark can ignore
// it; otherwise the attribute is cleared just before, and put back where the
// mark fails or where another name keeps the file (every name shares it).
DWORD mark(HANDLE h, bool link, bool folder, bool readonly, Ways& ways) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (link && !read_tag(h, &tag))
        return GetLastError();
    if (link && (tag.ReparseTag == 0 || !is_link(tag)))
        return ERROR_CANT_RESOLVE_FILENAME;
    Listing inside;
    if (const DWORD error = folder ? list(h, &inside) : 0)
        return error;
    if (!inside.files.empty() || !inside.dirs.empty())
        return ERROR_DIR_NOT_EMPTY;
    bool done;
    if (readonly && ways.posix && ways.ignore_readonly) {
        done = mark_ex(h, kDelete | kPosix | kIgnoreReadonly);
        if (!done && refused(GetLastError())) {
            ways.ignore_readonly = false;
            return kNextWay;
        }
    } else {
        FILE_BASIC_INFO before{};
        FILE_STANDARD_INFO names{};
        if (readonly && !(GetFileInformationByHandleEx(h, FileStandardInfo, &names, sizeof names) &&
                          clear_readonly(h, &before)))
            return GetLastError();
        done = ways.posix ? mark_ex(h, kDelete | kPosix) : mark_classic(h);
        if (readonly && (!done || names.NumberOfLinks > 1))
            put_back(h, before);
        if (!done && ways.posix && refused(GetLastError())) {
            ways.posix = false;
            return kNextWay;
        }
    }
    return done ? 0 : GetLastError();
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

bool has_name(HANDLE h, const std::wstring& folder, const std::wstring& name) {
    const std::wstring expected = join(folder, name);
    const std::wstring found = name_of(h);
    return CompareStringOrdinal(found.c_str(), int(found.size()), expected.c_str(),
                                int(expected.size()), TRUE) == CSTR_EQUAL;
}

// One try at the entry `e` of the folder `dir`, whose name under Wine is
// `wine_folder`: opened on itself, and marked.
DWORD mark_child(HANDLE dir, const std::wstring& wine_folder, const Entry& e, Ways& ways) {
    for (;;) {
        const bool write = e.readonly() && !(ways.posix && ways.ignore_readonly);
        const bool folder = e.folder() && !e.link();
        const ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES |
                                   (write ? FILE_WRITE_ATTRIBUTES : 0) |
                                   (folder ? FILE_LIST_DIRECTORY : 0);
        UniqueHandle h =
            open_child(dir, e.name, access, kShareAll, e.folder() ? Kind::Directory : Kind::File);
        if (!h)
            return GetLastError();
        if (kWine && !e.folder() && !has_name(h.get(), wine_folder, e.name))
            return ERROR_CANT_RESOLVE_FILENAME;
        const DWORD error = mark(h.get(), e.link(), folder, e.readonly(), ways);
        if (error != kNextWay)
            return error;
    }
}

// The rule for entries others hold, in one place. Each try marks the entry
// where it is, so that what others hold open goes with their last handle
// (mark). A folder that still lists entries (others' pending ones), and an
// entry someone holds without delete sharing, is tried again, the pause
// doubling from 10 ms, out of the run's one budget; then it stays.
// `wait_for_entries` is false where something below the folder stays already:
// it will not empty.
template <class Try>
DWORD with_retries(Budget& budget, bool wait_for_entries, const Try& try_once) {
    for (DWORD pause = 10;; pause *= 2) {
        const DWORD error = try_once();
        const bool held =
            error == ERROR_SHARING_VIOLATION || (error == ERROR_DIR_NOT_EMPTY && wait_for_entries);
        if (!held || budget.left_ms == 0)
            return error;
        const DWORD nap = std::min<DWORD>(pause, budget.left_ms);
        if (!fault(FaultPoint::Pause, nullptr))
            Sleep(nap);
        budget.left_ms -= nap;
    }
}

// The walk below one listed folder, counting, or removing where it has a
// report to give. The path of the current folder is one string, grown and
// cut as the walk goes.
class Walk {
  public:
    Walk(HANDLE top, const NativeString& path, const Report* report = nullptr, Ways* ways = nullptr,
         Budget* budget = nullptr)
        : top_(top), path_(path), report_(report), ways_(ways), budget_(budget) {}

    // 0, or why the listed folder itself cannot be walked.
    DWORD run() {
        Frame top{nullptr, top_};
        if (kWine)
            top.wine_name = name_of(top_);
        if (const DWORD error = list(top_, &top.listing))
            return error;
        push(std::move(top));
        while (!frames_.empty()) {
            const size_t level = frames_.size() - 1;
            Frame& f = frames_.back();
            if (f.next < f.listing.dirs.size()) {
                const size_t i = f.next++;
                if (!f.listing.dirs[i].link()) {
                    const std::wstring name = f.listing.dirs[i].name;
                    const DWORD error = enter(f.handle, name);
                    frames_[level].listing.dirs[i].error = error;
                }
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
        size_t path_length = 0; // of path_ while this folder is walked
        Listing listing;
        size_t next = 0; // the next of listing.dirs to enter
        bool kept = false;
        std::wstring wine_name; // under Wine, the folder's name on its volume
    };

    void push(Frame frame) {
        count += static_cast<long long>(frame.listing.files.size() + frame.listing.dirs.size());
        frame.path_length = path_.size();
        frames_.push_back(std::move(frame));
    }

    // 0 where the folder `name` was entered.
    DWORD enter(HANDLE dir, const std::wstring& name) {
        UniqueHandle h = open_child(dir, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, Kind::Directory);
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (!h || !read_tag(h.get(), &tag))
            return GetLastError();
        if (!is_dir(tag))
            return 0; // a link since the listing: never entered
        Frame child{nullptr, h.get()};
        if (kWine)
            child.wine_name = name_of(h.get());
        if (const DWORD error = list(h.get(), &child.listing))
            return error;
        child.owned = std::move(h);
        path_ = join(path_, name);
        push(std::move(child));
        return 0;
    }

    void leave() {
        const bool kept_below = frames_.back().kept;
        frames_.pop_back();
        if (frames_.empty()) {
            kept = kept_below;
            return;
        }
        Frame& f = frames_.back();
        path_.resize(f.path_length);
        f.listing.dirs[f.next - 1].kept = kept_below;
    }

    // The folder's files, then its folders: each went, or stays and why.
    void clear(Frame& f) {
        for (const Entry& e : f.listing.files)
            done(f, What::File, e, with_retries(*budget_, false, [&] {
                     return mark_child(f.handle, f.wine_name, e, *ways_);
                 }));
        for (const Entry& e : f.listing.dirs)
            done(f, What::Folder, e, e.error ? e.error : with_retries(*budget_, !e.kept, [&] {
                     return mark_child(f.handle, f.wine_name, e, *ways_);
                 }));
    }

    void done(Frame& f, What what, const Entry& e, DWORD error) {
        if (gone(error)) {
            report_->went(what);
        } else {
            f.kept = true;
            report_->stays(what, join(path_, e.name), describe(error));
        }
    }

    HANDLE top_;
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
    return UniqueFile(CreateFileW(api.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

// The listed entry, through the handle it was opened with.
DWORD mark_listed(Listed& listed) {
    const FILE_ATTRIBUTE_TAG_INFO& tag = listed.tag;
    for (;;) {
        const DWORD error = mark(listed.handle.get(), is_link(tag), is_dir(tag),
                                 tag.FileAttributes & FILE_ATTRIBUTE_READONLY, listed.ways);
        if (error != kNextWay)
            return error;
    }
}

} // namespace

NativeString api_path(const NativeString& path) {
    if (starts_with(path, L"\\\\?\\"))
        return path;
    std::wstring full = sized(
        [&](wchar_t* buf, DWORD n) { return GetFullPathNameW(path.c_str(), n, buf, nullptr); });
    if (full.empty())
        return path;
    if (starts_with(full, L"\\\\.\\"))
        return full;
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

ListedPtr open_listed(const NativeString& path, std::string* why) {
    why->clear();
    ListedPtr listed(new Listed);
    listed->api = api_path(path);
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
    if (!gone(error))
        *why = describe(error);
    return nullptr;
}

long long count_tree(const Listed& listed) {
    if (!is_dir(listed.tag))
        return 0;
    Walk walk(listed.handle.get(), {});
    walk.run();
    return walk.count;
}

void remove_tree(Listed& listed, const NativeString& path, Budget& budget, const Report& report) {
    Walk walk(listed.handle.get(), path, &report, &listed.ways, &budget);
    DWORD error = is_dir(listed.tag) ? walk.run() : 0;
    const DWORD attributes = listed.tag.FileAttributes;
    if (error == 0 && !(attributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link(listed.tag))
        error = ERROR_DIRECTORY; // a listed file stays as it is
    if (error == 0)
        error = with_retries(budget, !walk.kept, [&] { return mark_listed(listed); });
    if (gone(error))
        report.went(What::Listed);
    else
        report.stays(What::Listed, path, describe(error));
}

bool is_link(const Listed& listed) {
    return is_link(listed.tag);
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
