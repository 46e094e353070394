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
// "\n" and flushed at once; `left_behind` gets, after it is written, each line
// that names something the removal leaves behind (not a path that was missing
// from the start, nor one listed twice).
struct Events {
    std::function<void(int)> progress;
    std::function<void()> result_ready;
    std::function<void(const std::string&)> left_behind;
    std::FILE* out = stdout;
};

// Number of files and subdirectories anywhere below `folder`, a link to a
// directory counting as one entry and never entered. 0 for a file, a link, a
// missing path or a folder that cannot be listed.
long long count_items(const NativeString& folder);

// Counts every listed path, removes each bottom-up and reports progress after
// every entry that changes the percentage, then progress 100 and result_ready.
// Each listed path is opened once and every later step goes through that
// handle, so no link swapped in at any moment redirects the removal; a listed
// link is removed as a link. Paths that the guard refuses are reported with
// one line and otherwise treated as missing; a folder inside one listed
// before it goes with that one. Entries others delete meanwhile count as gone.
void run(const std::vector<NativeString>& paths, const Events& events);

// Percentage of `current` steps out of `total`: divided first, then scaled,
// truncated toward zero and deliberately not clamped; 100 when there are none.
int progress_value(long long current, long long total);

// `s` as one line of valid UTF-8, what cannot be written escaped, so that a
// name holding a line break or bytes that are not UTF-8 still gives one line.
std::string to_utf8(const NativeString& s);

} // namespace removal
