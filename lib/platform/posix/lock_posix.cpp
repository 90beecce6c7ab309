// POSIX side of plat_lock.h: a process-shared robust mutex living in the shared
// memory object "/<name>.<uid>", private to the user (0600): other users can
// neither hold nor spoil it. The first process creates and initialises it
// under an flock, so that a late opener can tell a slow creator (still
// holding it) from a dead one; later ones map the same object. A holder that
// dies leaves EOWNERDEAD behind, which is reported as PLAT_LOCK_ABANDONED and
// repaired at once.
#include "plat_lock.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kReady = 0x4B4D4F4Cu;   // set once the mutex is initialised
constexpr int kReadyWaitMs = 1000;              // how long a late opener waits for the creator
constexpr mode_t kLockMode = 0600;              // the user's own processes only

struct SharedLock {
    std::uint32_t ready;
    pthread_mutex_t mutex;
};

}  // namespace

struct PLAT_NamedLock {
    SharedLock* shared = nullptr;
    bool held = false;
};

namespace {

std::string lock_ShmName(const char* name)
{
    std::string shm = (name[0] == '/') ? "" : "/";
    shm += name;
    shm += '.';
    shm += std::to_string(static_cast<unsigned long>(geteuid()));
    return shm;
}

// Only an object of our own that nobody else may open is used: one planted by
// another user under our name is refused.
bool lock_Owned(int fd)
{
    struct stat st{};
    return fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0077) == 0;
}

// True when the object's creator has finished or died: it holds an exclusive
// flock while it makes the lock.
bool lock_CreatorGone(const std::string& shm)
{
    const int fd = shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        return false;
    }
    // Another user's object is never ours to replace, even for root.
    struct stat st{};
    const bool gone = fstat(fd, &st) == 0 && st.st_uid == geteuid() && flock(fd, LOCK_SH | LOCK_NB) == 0;
    close(fd);
    return gone;
}

void lock_SleepMs(long ms)
{
    timespec ts{};
    ts.tv_nsec = ms * 1000000L;
    nanosleep(&ts, nullptr);
}

// Maps an object that has (or will shortly have) an initialised lock.
SharedLock* lock_MapExisting(int fd)
{
    for (int waited = 0;; ++waited) {
        struct stat st{};
        if (fstat(fd, &st) != 0) {
            return nullptr;
        }
        if (st.st_size >= static_cast<off_t>(sizeof(SharedLock))) {
            break;
        }
        if (waited >= kReadyWaitMs) {
            return nullptr;
        }
        lock_SleepMs(1);
    }
    void* p = mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    auto* shared = static_cast<SharedLock*>(p);
    for (int waited = 0; __atomic_load_n(&shared->ready, __ATOMIC_ACQUIRE) != kReady; ++waited) {
        if (waited >= kReadyWaitMs) {
            munmap(p, sizeof(SharedLock));
            return nullptr;
        }
        lock_SleepMs(1);
    }
    return shared;
}

SharedLock* lock_MapNew(int fd)
{
    if (ftruncate(fd, sizeof(SharedLock)) != 0) {
        return nullptr;
    }
    void* p = mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    auto* shared = static_cast<SharedLock*>(p);
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    ok = ok && pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0;
    ok = ok && pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
    ok = ok && pthread_mutex_init(&shared->mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok) {
        munmap(p, sizeof(SharedLock));
        return nullptr;
    }
    __atomic_store_n(&shared->ready, kReady, __ATOMIC_RELEASE);
    return shared;
}

PLAT_NamedLock* lock_Wrap(SharedLock* shared)
{
    if (shared == nullptr) {
        return nullptr;
    }
    auto* lock = new (std::nothrow) PLAT_NamedLock;
    if (lock == nullptr) {
        munmap(shared, sizeof(SharedLock));
        return nullptr;
    }
    lock->shared = shared;
    return lock;
}

}  // namespace

PLAT_NamedLock* PLAT_LockCreate(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    const std::string shm = lock_ShmName(name);
    // A second round only follows the removal of a lock that could not be used.
    for (int round = 0; round < 2; ++round) {
        const int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kLockMode);
        if (fd >= 0) {
            flock(fd, LOCK_EX);   // held until the lock is made: see lock_CreatorGone
            SharedLock* shared = lock_MapNew(fd);
            close(fd);
            if (shared == nullptr) {
                shm_unlink(shm.c_str());   // nobody can use a half-made lock
            }
            return lock_Wrap(shared);
        }
        if (errno != EEXIST) {
            return nullptr;
        }
        PLAT_NamedLock* lock = PLAT_LockOpen(name);
        if (lock != nullptr) {
            return lock;
        }
        // A creator that died while making the lock leaves it unusable for
        // ever; the object is made anew. One that is only slow still holds its
        // flock, and its lock is left alone (the creation fails), so that no
        // two locks ever share the name. The unlink succeeds only for the
        // object's owner (the directory is sticky).
        if (!lock_CreatorGone(shm) || shm_unlink(shm.c_str()) != 0) {
            return nullptr;
        }
    }
    return nullptr;
}

PLAT_NamedLock* PLAT_LockOpen(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    const int fd = shm_open(lock_ShmName(name).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) {
        return nullptr;
    }
    SharedLock* shared = lock_Owned(fd) ? lock_MapExisting(fd) : nullptr;
    close(fd);
    return lock_Wrap(shared);
}

PLAT_LockResult PLAT_LockWait(PLAT_NamedLock* lock, std::uint32_t ms)
{
    if (lock == nullptr || lock->held) {
        return PLAT_LOCK_FAILED;
    }
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000u);
    until.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    const int rc = pthread_mutex_clocklock(&lock->shared->mutex, CLOCK_MONOTONIC, &until);
    switch (rc) {
    case 0:
        lock->held = true;
        return PLAT_LOCK_ACQUIRED;
    case EOWNERDEAD:
        // We own it now; make it usable again so that the next wait works.
        pthread_mutex_consistent(&lock->shared->mutex);
        lock->held = true;
        return PLAT_LOCK_ABANDONED;
    case ETIMEDOUT:
        return PLAT_LOCK_TIMEOUT;
    default:
        return PLAT_LOCK_FAILED;
    }
}

void PLAT_LockRelease(PLAT_NamedLock* lock)
{
    if (lock != nullptr && lock->held) {
        pthread_mutex_unlock(&lock->shared->mutex);
        lock->held = false;
    }
}

void PLAT_LockClose(PLAT_NamedLock* lock)
{
    if (lock == nullptr) {
        return;
    }
    PLAT_LockRelease(lock);
    munmap(lock->shared, sizeof(SharedLock));
    delete lock;
}

int PLAT_LockRemove(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    return shm_unlink(lock_ShmName(name).c_str()) == 0 ? 0 : -1;
}
