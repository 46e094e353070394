#pragma once
// The guard of the removal: the protected folders, prepared once, and why a
// listed path must not be removed.
#include "src/utils/remove_tree_fs.h"

#include <string>
#include <vector>

namespace removal {

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
    // path opened already, null when nothing is there.
    std::string judge(const NativeString& path, const fs::Listed* listed) const;

    struct Guard; // one protected folder, as it is compared

  private:
    std::vector<Guard> guards_;
};

} // namespace removal
