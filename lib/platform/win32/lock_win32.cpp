// Win32 side of plat_lock.h: a named mutex in the session's namespace. The
// system reports a holder that ended without releasing it as WAIT_ABANDONED,
// and the waiter owns the mutex then.
#include "plat_lock.h"

#include <new>
#include <windows.h>

struct PLAT_NamedLock {
    HANDLE mutex = nullptr;
    bool held = false;
};

namespace {

constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

PLAT_NamedLock* lock_Wrap(HANDLE mutex)
{
    if (mutex == nullptr) {
        return nullptr;
    }
    auto* lock = new (std::nothrow) PLAT_NamedLock;
    if (lock == nullptr) {
        CloseHandle(mutex);
        return nullptr;
    }
    lock->mutex = mutex;
    return lock;
}

}  // namespace

PLAT_NamedLock* PLAT_LockCreate(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    // Reaches the existing mutex when another process made it first.
    return lock_Wrap(CreateMutexA(nullptr, FALSE, name));
}

PLAT_NamedLock* PLAT_LockOpen(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    return lock_Wrap(OpenMutexA(kLockAccess, FALSE, name));
}

PLAT_LockResult PLAT_LockWait(PLAT_NamedLock* lock, std::uint32_t ms)
{
    // A Win32 mutex may be taken again by the thread that holds it; a
    // reference waits only while it does not hold the lock, as on POSIX.
    if (lock == nullptr || lock->held) {
        return PLAT_LOCK_FAILED;
    }
    switch (WaitForSingleObject(lock->mutex, ms)) {
    case WAIT_OBJECT_0:
        lock->held = true;
        return PLAT_LOCK_ACQUIRED;
    case WAIT_ABANDONED:
        lock->held = true;
        return PLAT_LOCK_ABANDONED;
    case WAIT_TIMEOUT:
        return PLAT_LOCK_TIMEOUT;
    default:
        return PLAT_LOCK_FAILED;
    }
}

void PLAT_LockRelease(PLAT_NamedLock* lock)
{
    if (lock != nullptr && lock->held) {
        ReleaseMutex(lock->mutex);
        lock->held = false;
    }
}

void PLAT_LockClose(PLAT_NamedLock* lock)
{
    if (lock == nullptr) {
        return;
    }
    PLAT_LockRelease(lock);
    CloseHandle(lock->mutex);
    delete lock;
}

// A named mutex goes away with its last handle; a name cannot be taken from
// the holders that still have it. Nothing to do.
int PLAT_LockRemove(const char* name)
{
    return name != nullptr && name[0] != '\0' ? 0 : -1;
}
