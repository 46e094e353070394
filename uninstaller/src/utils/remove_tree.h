#pragma once
// Walks, counts and removes folder trees for the uninstaller's removal worker.
// Qt-free so that it builds and is tested natively and under Wine alike.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace removal {

#ifdef _WIN32
using NativeString = std::wstring;
constexpr wchar_t kSeparator = L'\\';
#else
using NativeString = std::string;
constexpr char kSeparator = '/';
#endif

// Where one removal reports to. Lines go to `out` as UTF-8, each ending in
// "\n" and flushed at once.
struct Events {
    std::function<void(int)> progress;
    std::function<void()> result_ready;
    std::FILE* out = stdout;
};

// Number of files and subdirectories anywhere below `folder`, a link to a
// directory counting as one entry and never entered. 0 for a file, a missing
// path or a folder that cannot be listed.
long long count_items(const NativeString& folder);

// True when `path` names an existing file or directory, following a link.
bool path_exists(const NativeString& path);

// Counts every listed path, removes each bottom-up and reports progress after
// every entry, then progress 100 and result_ready. Paths that the guard
// refuses are reported with one line and otherwise treated as missing.
void run(const std::vector<NativeString>& paths, const Events& events);

// Percentage of `current` steps out of `total`: divided first, then scaled,
// truncated toward zero and deliberately not clamped.
int progress_value(long long current, long long total);

// The folders that a listed path may neither be nor contain, read from the
// environment (home and profile, APPDATA, LOCALAPPDATA, the Windows folder
// and the Program Files folders). Unset or relative values are left out.
std::vector<NativeString> protected_folders();

// Why `path` must not be removed, or an empty string when it may be.
std::string refusal_reason(const NativeString& path,
                           const std::vector<NativeString>& protected_dirs);

std::string to_utf8(const NativeString& s);

} // namespace removal
