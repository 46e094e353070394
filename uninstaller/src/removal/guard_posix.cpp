// The guard's POSIX part: where the protected folders are.
#include "src/removal/guard.h"

#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace removal {

NativeString get_env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

NativeString known_folder(Known which) {
    if (which != Known::Profile)
        return {};
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return {};
    return found->pw_dir;
}

} // namespace removal
