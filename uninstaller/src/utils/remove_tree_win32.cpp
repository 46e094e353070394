// Win32 back end. Every call takes the \\?\ form of a path, so trees deeper
// than MAX_PATH are handled. A directory is listed through a handle opened on
// the reparse point itself and checked first, so a junction or symbolic link
// below a listed path is never entered; the handle is held without
// FILE_SHARE_DELETE while the entries are handled, so the folder cannot be
// renamed or swapped underneath.
#include "remove_tree_fs.h"

#include <memory>

#include <windows.h>

namespace removal::fs {

struct Dir {
    std::wstring api; // \\?\ form of the directory's path
};

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle own(HANDLE h) {
    return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::string describe(DWORD code) {
    wchar_t* buf = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::wstring text(buf ? buf : L"", n);
    LocalFree(buf);
    // The system's text ends in a line break, which must not split the line.
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty())
        return "Windows error " + std::to_string(code);
    return to_utf8(text);
}

bool fail(std::string* why) {
    *why = describe(GetLastError());
    return false;
}

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
    return s.compare(0, wcslen(prefix), prefix) == 0;
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
    // Names are appended with one backslash; a trailing one would double it.
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool list(HANDLE dir, Listing* out) {
    std::vector<LONGLONG> buf(64 * 1024 / sizeof(LONGLONG)); // entries are 8-byte aligned
    const DWORD size = static_cast<DWORD>(buf.size() * sizeof(LONGLONG));
    while (GetFileInformationByHandleEx(dir, FileIdBothDirectoryInfo, buf.data(), size)) {
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

void walk_dir(const std::wstring& root, const std::wstring& api, bool is_start, Walk mode,
              const Visit& visit) {
    // The start is read through a link; below it the reparse point itself is opened.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (is_start ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    UniqueHandle h = own(CreateFileW(api.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     flags, nullptr));
    if (!h)
        return;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info))
        return;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    Listing listing;
    if (!list(h.get(), &listing))
        return;
    const Dir dir{api};
    if (mode == Walk::Count)
        visit(root, dir, listing);
    for (const std::wstring& name : listing.dirs)
        walk_dir(join(root, name), api + L"\\" + name, false, mode, visit);
    if (mode == Walk::Remove)
        visit(root, dir, listing);
}

bool clear_readonly(const std::wstring& api, std::string* why) {
    DWORD attrs = GetFileAttributesW(api.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return fail(why);
    if (!(attrs & FILE_ATTRIBUTE_READONLY))
        return true;
    return SetFileAttributesW(api.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY) || fail(why);
}

bool remove_file_api(const std::wstring& api, std::string* why) {
    return clear_readonly(api, why) && (DeleteFileW(api.c_str()) || fail(why));
}

// RemoveDirectoryW removes a junction or directory link itself, never its target.
bool remove_dir_api(const std::wstring& api, std::string* why) {
    return clear_readonly(api, why) && (RemoveDirectoryW(api.c_str()) || fail(why));
}

} // namespace

void walk(const NativeString& start, Walk mode, const Visit& visit) {
    // The read-only attribute does not keep a directory from being listed.
    walk_dir(start, long_path(start), true, mode, visit);
}

bool exists(const NativeString& path) {
    std::wstring api = long_path(path);
    UniqueHandle h = own(CreateFileW(api.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h)
        return true;
    // A file opened by someone else without sharing still exists.
    return GetLastError() == ERROR_SHARING_VIOLATION &&
           GetFileAttributesW(api.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool remove_file(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_file_api(dir.api + L"\\" + name, why);
}

bool remove_dir(const Dir& dir, const NativeString& name, std::string* why) {
    return remove_dir_api(dir.api + L"\\" + name, why);
}

bool remove_listed_dir(const NativeString& path, std::string* why) {
    return remove_dir_api(long_path(path), why);
}

NativeString resolve(const NativeString& path) {
    UniqueHandle h = own(CreateFileW(long_path(path).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h)
        return {};
    DWORD n = GetFinalPathNameByHandleW(h.get(), nullptr, 0, VOLUME_NAME_DOS);
    if (n == 0)
        return {};
    std::wstring out(n, L'\0');
    n = GetFinalPathNameByHandleW(h.get(), &out[0], n, VOLUME_NAME_DOS);
    out.resize(n);
    return out;
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

} // namespace removal::fs
