// POSIX side of plat_user.h: the password entry of the effective user, or $USER
// when the entry cannot be read (containers often have no entry for the uid).
#include "plat_user.h"

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace {

int user_Copy(const char* name, char* out, std::size_t cap)
{
    const std::size_t len = std::strlen(name);
    if (len == 0 || len >= cap) {
        return -1;
    }
    std::memcpy(out, name, len + 1);
    return 0;
}

}  // namespace

int PLAT_UserName(char* out, std::size_t cap)
{
    if (out == nullptr || cap == 0) {
        return -1;
    }
    out[0] = '\0';
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr && found->pw_name != nullptr &&
        user_Copy(found->pw_name, out, cap) == 0) {
        return 0;
    }
    const char* env = std::getenv("USER");
    if (env != nullptr && user_Copy(env, out, cap) == 0) {
        return 0;
    }
    out[0] = '\0';
    return -1;
}
