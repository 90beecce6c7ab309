// Confinement of the paths below the exchange root: the terminals control what
// lies under it, so a directory there that has been swapped for a symbolic
// link must not lead an open, a look or a removal somewhere else. The walk
// opens each directory below the root with O_NOFOLLOW and goes on from its
// descriptor, so nothing can be swapped between a check and its use.
#include "confine_posix.h"
#include "plat_fs.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string g_root;   // set once at start-up, before any path below it is used

int confine_OpenDir(int at, const char* name)
{
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        errno = EACCES;   // a link, or a file where a directory should be
    }
    return fd;
}

}  // namespace

int PLAT_FsConfine(const char* root)
{
    g_root = root != nullptr ? root : "";
    while (g_root.size() > 1 && g_root.back() == '/') {
        g_root.pop_back();
    }
    return 0;
}

ConfinedParent::ConfinedParent(const char* path)
{
    name_ = path;
    if (path == nullptr) {
        errno = ENOENT;
        return;
    }
    ok_ = true;
    const std::size_t n = g_root.size();
    if (n == 0 || std::strncmp(path, g_root.c_str(), n) != 0 || (path[n] != '/' && g_root != "/")) {
        return;   // not below the root
    }
    const char* rel = path + n;
    while (*rel == '/') {
        ++rel;
    }
    const char* last = std::strrchr(rel, '/');
    if (last == nullptr) {
        return;   // directly in the root
    }
    ok_ = false;
    int dir = confine_OpenDir(AT_FDCWD, g_root.c_str());   // the root itself is the operator's
    for (const char* at = rel; dir >= 0 && at < last;) {
        const char* end = std::strchr(at, '/');
        const std::string part(at, static_cast<std::size_t>(end - at));
        at = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        const int next = part == ".." ? -1 : confine_OpenDir(dir, part.c_str());
        if (part == "..") {
            errno = EACCES;
        }
        const int saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
    }
    if (dir < 0) {
        return;
    }
    dir_ = dir;
    name_ = last + 1;
    ok_ = true;
}

ConfinedParent::~ConfinedParent()
{
    if (dir_ != AT_FDCWD) {
        const int saved = errno;
        ::close(dir_);
        errno = saved;
    }
}
