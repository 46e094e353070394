// Conditions injected into the removal where the platform here cannot make
// them happen: what only real Windows, or a file system Wine lacks, produces.
#include "tests/removal/test_support.h"

#include "src/utils/remove_tree_faults.h"

#include <doctest/doctest.h>

namespace removal::fs {
bool (*fault_hook)(FaultPoint point, const void* handle) = nullptr;
} // namespace removal::fs

namespace {

// Sets the hook for one test and takes it away after.
struct Faults {
    explicit Faults(bool (*hook)(removal::fs::FaultPoint, const void*)) {
        removal::fs::fault_hook = hook;
    }
    ~Faults() { removal::fs::fault_hook = nullptr; }
};

} // namespace

TEST_SUITE("faults") {
    TEST_CASE("without faults the removal runs as usual") {
        Faults none(nullptr);
        TempDir tmp;
        make_file(tmp / "t" / "f");
        Outcome o = remove_paths({tmp / "t"});
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "t"));
    }
}
