#pragma once
// Fault injection for conditions only real Windows produces (Wine lacks them,
// or nothing here can hold files the way scanners do). A test build defines
// VELTA_REMOVAL_FAULTS and sets `fault_hook`; in the shipped build every
// check is a constant false and compiles away.

namespace removal::fs {

enum class FaultPoint {
    OpenListed,     // opening a listed path fails, with the error the hook sets
    IdInfoQuery,    // the FileIdInfo query of a handle fails
    IndexQuery,     // the older BY_HANDLE_FILE_INFORMATION query fails
    IndexCollides,  // true gives every handle the same 64-bit index, as ReFS may
    FinalPathQuery, // the system gives no path for a handle
    List,           // listing a folder is denied, as an ACL can deny it
    // Deletion. The first two turn a refusal into success: true makes the
    // system take FileDispositionInfoEx with POSIX semantics, or with the flag
    // that ignores the read-only attribute (the classic disposition stands in
    // for its effect).
    PosixTaken,
    IgnoreReadonlyTaken,
    // True refuses FileDispositionInfoEx as a system without the flag does
    // (error 87): Wine 10 stands in for a volume or Windows that lacks it.
    PosixRefused,
    IgnoreReadonlyRefused,
    DeletePending, // opening an entry (by its name) finds another process deleting it
    Mark,          // marking an entry for deletion fails (as for a file mapped in memory)
    Attributes,    // clearing the read-only attribute is denied, as an ACL can deny it
    Pause,         // true skips the sleep of a pause for an entry others hold
};

#ifdef VELTA_REMOVAL_FAULTS
// True makes the call at `point` fail for `handle` (a HANDLE, an fd's address
// or a listed path's text), or does what the point says.
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
