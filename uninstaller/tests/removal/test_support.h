#pragma once
// Shared helpers for the removal tests: real temporary trees, a captured
// output file and a record of every event of one removal.

#include "src/removal/guard.h"
#include "src/removal/removal.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fsys = std::filesystem;
using removal::NativeString;

// The message prefixes, spelled as the UTF-8 bytes that must reach the output.
inline const std::string kFileFailed =
    "\xe5\x88\xa0\xe9\x99\xa4\xe5\xa4\xb1\xe8\xb4\xa5\xe6\x96\x87"
    "\xe4\xbb\xb6\x3a\x20"; // 删除失败文件:
inline const std::string kDirFailed = "\xe5\x88\xa0\xe9\x99\xa4\xe5\xa4\xb1\xe8\xb4\xa5\xe7\x9b\xae"
                                      "\xe5\xbd\x95\x3a\x20"; // 删除失败目录:
inline const std::string kListedFailed =
    "\xe5\x88\xa0\xe9\x99\xa4\xe4\xb8\xbb\xe7\x9b\xae\xe5\xbd\x95"
    "\xe5\xa4\xb1\xe8\xb4\xa5\x3a\x20"; // 删除主目录失败:
inline const std::string kUnexpected =
    "\xe5\x8d\xb8\xe8\xbd\xbd\xe8\xbf\x87\xe7\xa8\x8b\xe5\x87\xba"
    "\xe9\x94\x99\xef\xbc\x9a"; // 卸载过程出错：

// A fresh directory in the system's temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fsys::path& path() const { return path_; }
    fsys::path operator/(const char* name) const { return path_ / name; }

  private:
    fsys::path path_;
};

// What one removal reported, in order.
struct Outcome {
    std::vector<int> progress;
    int ready = 0;
    bool ready_last = false;       // result_ready came after every progress value
    std::string output;            // the bytes written to the output
    std::vector<std::string> left; // the lines that name something left behind

    std::vector<std::string> lines() const;
};

// Runs the removal of `paths`, writing its lines to a file next to them.
// `on_progress` runs after each progress value is recorded.
Outcome remove_paths(const std::vector<fsys::path>& paths,
                     const std::function<void(int)>& on_progress = {});

void make_file(const fsys::path& path, const std::string& content = "x");
void set_readonly(const fsys::path& path);
bool exists_no_follow(const fsys::path& path);
// `levels` folders named "d", each inside the one before, below `base`, with
// one file "f" in the deepest; made without whole paths, which grow too long.
void make_chain(const fsys::path& base, int levels);
int entries_below(const fsys::path& path); // every file and folder, recursively
// 0 to 100, each once, then the final 100: what a removal of more than 100
// entries reports, each percentage as it is reached.
std::vector<int> every_percentage();
std::string u8(const fsys::path& path); // the native path text in UTF-8

#ifdef _WIN32
std::string system_text(unsigned long code); // the system's description of an error code
#endif

// Why the removal refuses `path` against `guarded` alone, as it judges it.
std::string refusal_reason(const NativeString& path,
                           const std::vector<removal::Protected>& guarded);

// Points the environment variables that name protected folders at fake
// roots for the lifetime of the object, and restores them after.
class FakeProtectedRoots {
  public:
    explicit FakeProtectedRoots(const fsys::path& base);
    ~FakeProtectedRoots();
    fsys::path home, appdata, localappdata, windows, program_files, program_files_x86, onedrive;

  private:
    std::vector<std::pair<const char*, std::pair<bool, NativeString>>> saved_;
};
