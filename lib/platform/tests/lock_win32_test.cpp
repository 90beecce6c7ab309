// The named lock on Windows: the mutex is the user's own, under a name that
// carries the user's SID in the session's local namespace, and only that
// user may reach it. (The POSIX lock has its own tests in the socket layer.)
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <aclapi.h>
#include <random>
#include <sddl.h>
#include <string>
#include <windows.h>

#include "plat_lock.h"

namespace {

std::string UserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    alignas(8) unsigned char buf[256];
    DWORD len = 0;
    std::string sid;
    char* text = nullptr;
    if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &len) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

TEST(LockWin32, MutexLivesUnderTheUsersOwnNameWithAnOwnerOnlyList)
{
    const std::string name = "kmosock.test." + std::to_string(std::random_device{}());
    const std::string sid = UserSid();
    ASSERT_FALSE(sid.empty());
    PLAT_NamedLock* lock = PLAT_LockCreate(name.c_str());
    ASSERT_NE(lock, nullptr);

    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), nullptr) << "reachable under the bare name";
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name + "." + sid).c_str()), nullptr)
        << "reachable from other sessions";
    const HANDLE own = OpenMutexA(SYNCHRONIZE | READ_CONTROL, FALSE, ("Local\\" + name + "." + sid).c_str());
    ASSERT_NE(own, nullptr);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(own, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 1) << "anyone but the user is let in";
    LocalFree(sd);
    CloseHandle(own);

    // A second reference of the user reaches the same mutex.
    PLAT_NamedLock* again = PLAT_LockOpen(name.c_str());
    ASSERT_NE(again, nullptr);
    PLAT_LockClose(again);
    PLAT_LockClose(lock);
}

}  // namespace
#endif
