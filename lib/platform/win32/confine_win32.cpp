// Confinement of the paths below the exchange root on Windows: every
// directory between the root and the file must be a real directory, not a
// symbolic link or a junction that a terminal put there.
#include "confine_win32.h"
#include "plat_fs.h"

#include <cstring>
#include <string>
#include <windows.h>

namespace {

std::string g_root;   // set once at start-up

bool confine_IsSep(char c)
{
    return c == '\\' || c == '/';
}

}  // namespace

int PLAT_FsConfine(const char* root)
{
    g_root = root != nullptr ? root : "";
    while (g_root.size() > 1 && confine_IsSep(g_root.back())) {
        g_root.pop_back();
    }
    return 0;
}

bool confine_PassesLink(const char* path)
{
    const std::size_t n = g_root.size();
    if (path == nullptr || n == 0 || _strnicmp(path, g_root.c_str(), n) != 0 || !confine_IsSep(path[n])) {
        return false;
    }
    const std::string p(path);
    std::size_t at = n;
    for (;;) {
        while (at < p.size() && confine_IsSep(p[at])) {
            ++at;
        }
        std::size_t end = at;
        while (end < p.size() && !confine_IsSep(p[end])) {
            ++end;
        }
        if (end >= p.size()) {
            return false;   // the last component: the caller's
        }
        const std::string part = p.substr(at, end - at);
        if (part == "..") {
            return true;
        }
        const DWORD attrs = GetFileAttributesA(p.substr(0, end).c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return true;
        }
        at = end;
    }
}
