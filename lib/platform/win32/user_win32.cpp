// Win32 side of plat_user.h: GetUserNameA.
#include "plat_user.h"

#include <cstring>
#include <windows.h>

int PLAT_UserName(char* out, std::size_t cap)
{
    if (out == nullptr || cap == 0) {
        return -1;
    }
    out[0] = '\0';
    char name[257] = {};   // UNLEN + 1
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) {
        return -1;
    }
    const std::size_t len = std::strlen(name);
    if (len == 0 || len >= cap) {
        return -1;
    }
    std::memcpy(out, name, len + 1);
    return 0;
}
