// Win32 side of plat_lock.h: a named mutex of the user's own. Its name lies in
// the session's local namespace and carries the user's SID ("Local\\<name>.
// <SID>"), its access list lets only that user in, and a mutex of the name
// that another account owns is refused. The system reports a holder that
// ended without releasing it as WAIT_ABANDONED, and the waiter owns the mutex
// then.
#include "plat_lock.h"

#include <aclapi.h>
#include <array>
#include <new>
#include <sddl.h>
#include <string>
#include <windows.h>

struct PLAT_NamedLock {
    HANDLE mutex = nullptr;
    bool held = false;
};

namespace {

// READ_CONTROL lets the owner be read (lock_Foreign).
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;

// The SIDs of this process's user and of the owner it gives to what it makes
// (the same, or the administrators' group for an elevated process).
struct Account {
    std::array<unsigned char, SECURITY_MAX_SID_SIZE + 64> user{};
    std::array<unsigned char, SECURITY_MAX_SID_SIZE + 64> owner{};
    bool known = false;
    PSID User() { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }
    PSID Owner() { return reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner; }
};

Account& lock_Account()
{
    static Account account = [] {
        Account a;
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD len = 0;
            a.known = GetTokenInformation(token, TokenUser, a.user.data(), a.user.size(), &len) &&
                      GetTokenInformation(token, TokenOwner, a.owner.data(), a.owner.size(), &len);
            CloseHandle(token);
        }
        return a;
    }();
    return account;
}

// The user's SID as text, or "" when it cannot be had.
std::string lock_UserSid()
{
    Account& account = lock_Account();
    char* text = nullptr;
    if (!account.known || !ConvertSidToStringSidA(account.User(), &text)) {
        return "";
    }
    std::string sid(text);
    LocalFree(text);
    return sid;
}

// "Local\\<name>.<SID>"; the name as given when the SID is unknown.
std::string lock_Name(const char* name)
{
    const std::string sid = lock_UserSid();
    return sid.empty() ? std::string(name) : "Local\\" + std::string(name) + "." + sid;
}

// A mutex whose owner is neither this user nor the owner this process gives
// its objects was made by another account: it is not ours to use. When the
// owner cannot be read, the name (which holds the SID) is trusted.
bool lock_Foreign(HANDLE mutex)
{
    Account& account = lock_Account();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!account.known || GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                          nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return false;
    }
    const bool foreign = owner != nullptr && !EqualSid(owner, account.User()) && !EqualSid(owner, account.Owner());
    LocalFree(sd);
    return foreign;
}

PLAT_NamedLock* lock_Wrap(HANDLE mutex)
{
    if (mutex == nullptr) {
        return nullptr;
    }
    if (lock_Foreign(mutex)) {
        CloseHandle(mutex);
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
    // Only the user may reach the mutex: a protected access list with one
    // entry, all access for the user's SID.
    const std::string sid = lock_UserSid();
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!sid.empty()) {
        const std::string sddl = "D:P(A;;GA;;;" + sid + ")";
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr);
    }
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = sd;
    sa.bInheritHandle = FALSE;
    // Reaches the existing mutex when another process of the user made it first.
    const HANDLE mutex = CreateMutexA(sd != nullptr ? &sa : nullptr, FALSE, lock_Name(name).c_str());
    if (sd != nullptr) {
        LocalFree(sd);
    }
    return lock_Wrap(mutex);
}

PLAT_NamedLock* PLAT_LockOpen(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    return lock_Wrap(OpenMutexA(kLockAccess, FALSE, lock_Name(name).c_str()));
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
