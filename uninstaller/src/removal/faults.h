#pragma once
// Fault injection for conditions only real Windows produces (Wine lacks them,
// or nothing here can hold files the way scanners do). A test build defines
// VELTA_REMOVAL_FAULTS and sets `fault_hook`; in the shipped build every
// check is a constant false and compiles away.

namespace removal::fs {

enum class FaultPoint {
    IdInfoQuery,    // the FileIdInfo query of a handle fails
    IndexQuery,     // the older BY_HANDLE_FILE_INFORMATION query fails
    FinalPathQuery, // the system gives no path for a handle
    // Deletion. The first two turn a refusal into success: true makes the
    // system take FileDispositionInfoEx with POSIX semantics, or with the flag
    // that ignores the read-only attribute (the classic disposition stands in
    // for its effect).
    PosixTaken,
    IgnoreReadonlyTaken,
    MoveOut, // moving a held entry out of its folder fails
    Mark,    // marking an entry for deletion fails (as for a file mapped in memory)
};

#ifdef VELTA_REMOVAL_FAULTS
// True makes the call at `point` fail for `handle` (a HANDLE, or an fd's
// address), or for the points so marked, succeed.
extern bool (*fault_hook)(FaultPoint point, const void* handle);
inline bool fault(FaultPoint point, const void* handle) {
    return fault_hook && fault_hook(point, handle);
}
#else
constexpr bool fault(FaultPoint, const void*) {
    return false;
}
#endif

} // namespace removal::fs
