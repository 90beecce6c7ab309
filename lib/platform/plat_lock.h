// Named locks of one user (a process-shared robust mutex in shared memory here,
// a named mutex in the user's local namespace on Windows). The processes of
// one user that use the same name share the lock; other users can neither
// reach nor hold it (the name is made per user, with owner-only permissions).
#pragma once

#include <cstdint>

struct PLAT_NamedLock;

// Creates the lock, or reaches it when another process created it first. A
// lock that its creator left half-made (it died while making it) is replaced;
// one whose creator is still making it is never replaced (nullptr after the
// bounded wait). An object of the name that another user owns is refused.
// The reference stays valid until PLAT_LockClose. nullptr on failure.
PLAT_NamedLock* PLAT_LockCreate(const char* name);

// Reaches an existing lock by name; nullptr when it does not exist or cannot
// be used. Every reference must be given back with PLAT_LockClose.
PLAT_NamedLock* PLAT_LockOpen(const char* name);

enum PLAT_LockResult {
    PLAT_LOCK_ACQUIRED,
    PLAT_LOCK_TIMEOUT,
    PLAT_LOCK_ABANDONED,   // the holder ended while holding it; the caller holds it now
    PLAT_LOCK_FAILED,
};

// Waits at most `ms` milliseconds for the lock.
PLAT_LockResult PLAT_LockWait(PLAT_NamedLock* lock, std::uint32_t ms);

// Releases the lock if this reference holds it (acquired or abandoned).
void PLAT_LockRelease(PLAT_NamedLock* lock);

// Lets the reference go (releasing the lock first if it still holds it).
void PLAT_LockClose(PLAT_NamedLock* lock);

// Removes the name, so that the next create makes a fresh lock. Holders keep
// their references. Returns 0, or -1.
int PLAT_LockRemove(const char* name);
