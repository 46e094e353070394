// Win32 back end. A listed path is opened once, on the reparse point itself
// if it is one, in its \\?\ form (so trees deeper than MAX_PATH are handled).
// Every later step goes through handles: a directory is listed through its
// own handle, and its entries are opened relative to that handle, again on a
// reparse point itself, and deleted through their own handle. A junction or
// symbolic link put in place at any moment is therefore never entered, and a
// folder renamed meanwhile is still the one that was listed.
#include "src/utils/remove_tree_fs.h"

#include "src/utils/remove_tree_faults.h"

#include "common/win32_error_text.h"
#include "common/win32_owners.h"

#include <windows.h>
#include <winternl.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace removal::fs {

struct Dir {
    HANDLE handle;
};

struct Listed {
    UniqueFile handle;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    std::wstring api; // \\?\ form of the path
};

void ListedCloser::operator()(Listed* listed) const {
    delete listed;
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

// `name` inside the directory `parent`, opened on the reparse point itself.
// On failure the last error tells why.
UniqueHandle open_child(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                        Kind kind) {
    UNICODE_STRING object;
    object.Buffer = const_cast<wchar_t*>(name.c_str());
    object.Length = object.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, parent, nullptr);
    ULONG options =
        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
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
                (is_dir ? out->dirs : out->files).push_back(std::move(name));
            }
            if (info->NextEntryOffset == 0)
                break;
            p += info->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

void walk_dir(HANDLE h, const std::wstring& root, Walk mode, const Visit& visit) {
    Listing listing;
    if (!list(h, &listing))
        return;
    const Dir dir{h};
    if (mode == Walk::Count)
        visit(root, dir, listing);
    for (const std::wstring& name : listing.dirs) {
        UniqueHandle sub = open_child(h, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, Kind::Directory);
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (sub && read_tag(sub.get(), &tag) && is_dir(tag))
            walk_dir(sub.get(), join(root, name), mode, visit);
    }
    if (mode == Walk::Remove)
        visit(root, dir, listing);
}

// Clears the read-only attribute and nothing else, through the handle.
bool clear_readonly(HANDLE h) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return false;
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return true;
    basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
}

// FileDispositionInfoEx (Windows 10 1607), which the headers offer only when
// built for that version alone.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Deletes through the handle: at once where the file system offers POSIX
// semantics, otherwise when the handle closes.
bool dispose(HANDLE h) {
    FILE_DISPOSITION_INFO_EX ex{FILE_DISPOSITION_FLAG_DELETE |
                                FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(h, kDispositionInfoEx, &ex, sizeof ex))
        return true;
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION)
        return false;
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic);
}

bool remove_child(const Dir& dir, const std::wstring& name, Kind kind, std::string* why) {
    UniqueHandle h =
        open_child(dir.handle, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kind);
    return (h && clear_readonly(h.get()) && dispose(h.get())) || fail(why);
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
    // Without delete access where it cannot be had (the entry in use without
    // delete sharing): the removal of the entry itself then fails and says why.
    for (ACCESS_MASK extra : {ACCESS_MASK(DELETE | FILE_WRITE_ATTRIBUTES), ACCESS_MASK(0)}) {
        listed->handle = UniqueFile(CreateFileW(
            listed->api.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE | extra,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (listed->handle || GetLastError() == ERROR_FILE_NOT_FOUND ||
            GetLastError() == ERROR_PATH_NOT_FOUND)
            break;
    }
    if (!listed->handle || !read_tag(listed->handle.get(), &listed->tag))
        return nullptr;
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
        walk_dir(listed.handle.get(), path, mode, visit);
}

bool remove_file(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_child(dir, name, Kind::File, why);
}

// A junction or directory link goes as a link, never its target.
bool remove_dir(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_child(dir, name, Kind::Directory, why);
}

bool remove_listed(const Listed& listed, std::string* why) {
    HANDLE h = listed.handle.get();
    if (!clear_readonly(h))
        return fail(why);
    if (!(listed.tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY); // a file is not removed as a folder
        return fail(why);
    }
    return dispose(h) || fail(why);
}

std::string missing_text() {
    return describe(ERROR_FILE_NOT_FOUND);
}

NativeString resolve(const NativeString& path) {
    UniqueFile h = open_following(long_path(path));
    return h ? final_path(h.get()) : NativeString();
}

NativeString get_env(const char* name) {
    std::wstring wide(name, name + strlen(name));
    DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (n == 0)
        return {};
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(wide.c_str(), &value[0], n);
    value.resize(n);
    return value;
}

NativeString known_folder(Known which) {
    static const KNOWNFOLDERID* const ids[] = {
        nullptr,
        &FOLDERID_Profile,
        &FOLDERID_RoamingAppData,
        &FOLDERID_LocalAppData,
        &FOLDERID_LocalAppDataLow,
        &FOLDERID_UserProgramFiles,
        &FOLDERID_SkyDrive,
        &FOLDERID_Windows,
        &FOLDERID_ProgramFiles,
        &FOLDERID_ProgramFilesX86,
        &FOLDERID_ProgramFilesX64,
        &FOLDERID_ProgramData,
        &FOLDERID_UserProfiles,
        &FOLDERID_Documents,
        &FOLDERID_Desktop,
        &FOLDERID_Downloads,
        &FOLDERID_Pictures,
        &FOLDERID_Music,
        &FOLDERID_Videos,
    };
    const KNOWNFOLDERID* id = ids[static_cast<int>(which)];
    wchar_t* found = nullptr;
    std::wstring out;
    if (id && SUCCEEDED(SHGetKnownFolderPath(*id, KF_FLAG_DONT_VERIFY, nullptr, &found)))
        out = found;
    CoTaskMemFree(found);
    return out;
}

} // namespace removal::fs
