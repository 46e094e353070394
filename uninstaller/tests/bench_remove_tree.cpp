// The floor that scripts/bench-uninstall.sh measures Uninstall.exe's removal
// against: a bare recursive FindFirstFileW / DeleteFileW / RemoveDirectoryW
// loop, with no guard, no identity checks, no handle-relative opens and no
// progress. Usage: bench_remove_tree.exe FOLDER; exits with 1 when anything
// stays.
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

namespace {

struct FindCloser {
    void operator()(HANDLE h) const { FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

// Everything below `folder`, then `folder` itself; false when anything stays.
// The paths live on the heap: a deep tree must not exhaust the stack.
bool remove_tree(const std::wstring& folder) {
    bool ok = true;
    WIN32_FIND_DATAW found;
    HANDLE first = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (first != INVALID_HANDLE_VALUE) {
        UniqueFind find(first);
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ok = remove_tree(path) && ok;
            else
                ok = DeleteFileW(path.c_str()) && ok;
        } while (FindNextFileW(find.get(), &found));
    }
    return RemoveDirectoryW(folder.c_str()) && ok;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 2)
        return 2;
    const bool ok = remove_tree(argv[1]);
    LocalFree(argv);
    return ok ? 0 : 1;
}
