#pragma once
// The guard of the removal: the protected folders, prepared once per run, and
// why a listed path must not be removed.
#include "src/removal/fs.h"

#include <string>
#include <vector>

namespace removal {

// A folder that a listed path must not be, nor hold; some rules reach further.
struct Protected {
    enum Rule {
        Itself,          // the folder and every folder that holds it
        Inside,          // ... and everything inside it
        Children,        // ... and each folder directly inside it
        ChildrenButOurs, // ... and each folder directly inside it but one
                         // named VeltaAI (any letter case), which is ours
    };
    NativeString path;
    Rule rule;
};

// The protected folders of this machine and user, each as its variable names
// it and as Windows knows it: Documents, Desktop and the like; the profile,
// the three AppData folders, the per-user programs folder (where Windows does
// not know it, %LOCALAPPDATA%\Programs) and OneDrive with their direct
// children but ours; the Windows folder with everything inside; the Program
// Files folders, ProgramData and the users folder with their direct children.
// On Linux the home folder and the XDG data, config and cache folders with
// their direct children but ours, the same variables where set, and the system
// folders with everything inside.
std::vector<Protected> protected_folders();

class Guards {
  public:
    explicit Guards(const std::vector<Protected>& folders);
    ~Guards();
    Guards(const Guards&) = delete;
    Guards& operator=(const Guards&) = delete;

    // Why `path` must not even be opened: a relative path (it would name
    // something in the current folder) or a device path (opening a pipe
    // connects to it); empty when it may.
    static std::string form_refusal(const NativeString& path);

    // Why `path` must not be removed, or empty when it may be; `listed` is the
    // path opened already, null when nothing is there. Folders are compared by
    // identity (volume and file id, or device and inode), so other spellings
    // of a folder cannot slip through; spelling counts where a folder does not
    // exist, and where an identity is unknown the paths the system gives
    // decide on one volume, else the path is refused. A link is judged by
    // itself and by where it leads.
    std::string judge(const NativeString& path, const fs::Listed* listed) const;

    struct Guard; // one protected folder, as it is compared

  private:
    std::vector<Guard> guards_;
};

// The guard's platform part (guard_win.cpp, guard_posix.cpp).
NativeString get_env(const char* name);

// The folders Windows knows by id; empty where it does not know one. On POSIX
// only the profile is known: the account's home folder.
enum class Known {
    None,
    Profile,
    RoamingAppData,
    LocalAppData,
    LocalAppDataLow,
    UserProgramFiles,
    OneDrive,
    Windows,
    ProgramFiles,
    ProgramFilesX86,
    ProgramFilesX64,
    ProgramData,
    UserProfiles,
    Documents,
    Desktop,
    Downloads,
    Pictures,
    Music,
    Videos,
};
NativeString known_folder(Known which);

} // namespace removal
