// POSIX side of plat_dirwatch.h: one inotify descriptor per watch, with one
// inotify watch for every directory of the tree. Subdirectories that appear are
// added as their creation is read; the descriptor is non-blocking and waits go
// through poll, so a wait is bounded by its time-out.
#include "plat_dirwatch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

struct PLAT_DirWatch {
    int fd = -1;
    std::uint32_t filter = 0;
    std::uint32_t kernelMask = 0;
    std::unordered_map<int, std::string> dirs;   // inotify watch -> directory path
};

namespace {

constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// Size follows every write; "last write" is taken when a writer closes the
// file, so that a file kept open and appended to (a log, say) does not signal a
// watch that asks only for finished writes.
constexpr std::uint32_t kSizeEvents = IN_MODIFY;
constexpr std::uint32_t kLastWriteEvents = IN_CLOSE_WRITE;

// The inotify events that the caller's filter selects, plus those needed to keep
// the set of watched directories up to date.
std::uint32_t dirwatch_KernelMask(std::uint32_t filter)
{
    std::uint32_t mask = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO;
    if ((filter & (PLAT_DIRWATCH_FILE_NAME | PLAT_DIRWATCH_DIR_NAME)) != 0) {
        mask |= kNameEvents;
    }
    if ((filter & (PLAT_DIRWATCH_ATTRIBUTES | PLAT_DIRWATCH_SECURITY)) != 0) {
        mask |= IN_ATTRIB;
    }
    if ((filter & PLAT_DIRWATCH_SIZE) != 0) {
        mask |= kSizeEvents;
    }
    if ((filter & PLAT_DIRWATCH_LAST_WRITE) != 0) {
        mask |= kLastWriteEvents;
    }
    return mask;
}

bool dirwatch_Selected(std::uint32_t filter, std::uint32_t mask)
{
    if ((mask & kNameEvents) != 0) {
        const std::uint32_t kind = (mask & IN_ISDIR) != 0 ? PLAT_DIRWATCH_DIR_NAME : PLAT_DIRWATCH_FILE_NAME;
        if ((filter & kind) != 0) {
            return true;
        }
    }
    if ((mask & IN_ATTRIB) != 0 && (filter & (PLAT_DIRWATCH_ATTRIBUTES | PLAT_DIRWATCH_SECURITY)) != 0) {
        return true;
    }
    if ((mask & kSizeEvents) != 0 && (filter & PLAT_DIRWATCH_SIZE) != 0) {
        return true;
    }
    return (mask & kLastWriteEvents) != 0 && (filter & PLAT_DIRWATCH_LAST_WRITE) != 0;
}

std::string dirwatch_Join(const std::string& dir, const char* name)
{
    std::string path = dir;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + name;
}

// strerror_r comes in two flavours; these pick the text out of either.
[[maybe_unused]] const char* dirwatch_ErrText(int rc, const char* buf)
{
    return rc == 0 ? buf : "";
}
[[maybe_unused]] const char* dirwatch_ErrText(const char* text, const char*)
{
    return text != nullptr ? text : "";
}

void dirwatch_ErrorText(int err, char* out, std::size_t cap)
{
    if (out == nullptr || cap == 0) {
        return;
    }
    char buf[256] = {};
    const char* text = dirwatch_ErrText(strerror_r(err, buf, sizeof buf), buf);
    const std::size_t len = std::min(std::strlen(text), cap - 1);
    std::memcpy(out, text, len);
    out[len] = '\0';
}

// Watches `top` and every directory below it (symbolic links are not followed
// below the top). Returns the inotify error of `top` itself (0 when watched);
// a subdirectory that cannot be watched is skipped. Entries found below the
// top may have been created before their directory was watched: `*found`
// collects the filter's name kinds (file or directory) among them.
int dirwatch_AddTree(PLAT_DirWatch* w, const std::string& top, bool followTop, std::uint32_t* found)
{
    std::vector<std::string> pending{top};
    bool first = true;
    while (!pending.empty()) {
        const std::string dir = std::move(pending.back());
        pending.pop_back();
        std::uint32_t flags = w->kernelMask | IN_ONLYDIR;
        if (!(first && followTop)) {
            flags |= IN_DONT_FOLLOW;
        }
        const int wd = inotify_add_watch(w->fd, dir.c_str(), flags);
        if (wd < 0) {
            if (first) {
                return errno;
            }
            continue;
        }
        first = false;
        w->dirs[wd] = dir;
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) {
            continue;
        }
        while (const dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
                continue;
            }
            std::string child = dirwatch_Join(dir, e->d_name);
            bool isDir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN) {
                struct stat st{};
                isDir = lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            *found |= isDir ? PLAT_DIRWATCH_DIR_NAME : PLAT_DIRWATCH_FILE_NAME;
            if (isDir) {
                pending.push_back(std::move(child));
            }
        }
        closedir(d);
    }
    return 0;
}

// Stops watching `dir` and everything below it (a directory moved out of the tree).
void dirwatch_RemoveTree(PLAT_DirWatch* w, const std::string& dir)
{
    const std::string prefix = dir + '/';
    for (auto it = w->dirs.begin(); it != w->dirs.end();) {
        if (it->second == dir || it->second.compare(0, prefix.size(), prefix) == 0) {
            inotify_rm_watch(w->fd, it->first);
            it = w->dirs.erase(it);
        } else {
            ++it;
        }
    }
}

// Reads every event pending on the descriptor. 1 when one of them is of a
// selected kind, 0 when none is, -1 when reading fails.
int dirwatch_Drain(PLAT_DirWatch* w)
{
    alignas(inotify_event) char buf[16384];
    int selected = 0;
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = read(w->fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event ev;
            std::memcpy(&ev, buf + off, sizeof ev);
            const char* name = ev.len > 0 ? buf + off + sizeof(inotify_event) : "";
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
            if ((ev.mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost, new directories among them perhaps: look again.
                std::uint32_t found = 0;
                std::vector<std::string> roots;
                for (const auto& [wd, path] : w->dirs) {
                    roots.push_back(path);
                }
                for (const std::string& root : roots) {
                    dirwatch_AddTree(w, root, false, &found);
                }
                selected = 1;
                continue;
            }
            if ((ev.mask & IN_IGNORED) != 0) {
                w->dirs.erase(ev.wd);
                continue;
            }
            const auto dir = w->dirs.find(ev.wd);
            if (dir != w->dirs.end() && ev.len > 0 && (ev.mask & IN_ISDIR) != 0) {
                const std::string child = dirwatch_Join(dir->second, name);
                if ((ev.mask & IN_MOVED_FROM) != 0) {
                    dirwatch_RemoveTree(w, child);
                } else if ((ev.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                    std::uint32_t found = 0;
                    dirwatch_AddTree(w, child, false, &found);
                    if ((found & w->filter) != 0) {
                        selected = 1;
                    }
                }
            }
            if (dirwatch_Selected(w->filter, ev.mask)) {
                selected = 1;
            }
        }
    }
    return selected;
}

}  // namespace

PLAT_DirWatch* PLAT_DirWatchOpen(const char* path, std::uint32_t filter, char* errText, std::size_t errCap)
{
    if (errText != nullptr && errCap > 0) {
        errText[0] = '\0';
    }
    if (path == nullptr) {
        dirwatch_ErrorText(EINVAL, errText, errCap);
        return nullptr;
    }
    auto* w = new (std::nothrow) PLAT_DirWatch;
    if (w == nullptr) {
        dirwatch_ErrorText(ENOMEM, errText, errCap);
        return nullptr;
    }
    w->filter = filter;
    w->kernelMask = dirwatch_KernelMask(filter);
    w->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w->fd < 0) {
        dirwatch_ErrorText(errno, errText, errCap);
        delete w;
        return nullptr;
    }
    std::uint32_t found = 0;
    const int err = dirwatch_AddTree(w, path, true, &found);
    if (err != 0) {
        dirwatch_ErrorText(err, errText, errCap);
        close(w->fd);
        delete w;
        return nullptr;
    }
    return w;
}

PLAT_DirWatchResult PLAT_DirWatchWait(PLAT_DirWatch* w, std::uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    if (w == nullptr || w->fd < 0) {
        return PLAT_DirWatchResult::Failed;
    }
    const bool infinite = timeoutMs == PLAT_DIRWATCH_INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int pollMs = -1;
        if (!infinite) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        pollfd p{w->fd, POLLIN, 0};
        const int r = poll(&p, 1, pollMs);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return PLAT_DirWatchResult::Failed;
        }
        if (r > 0) {
            if ((p.revents & (POLLERR | POLLNVAL)) != 0) {
                return PLAT_DirWatchResult::Failed;
            }
            const int drained = dirwatch_Drain(w);
            if (drained < 0) {
                return PLAT_DirWatchResult::Failed;
            }
            if (drained > 0) {
                return PLAT_DirWatchResult::Signalled;
            }
        }
        if (!infinite && Clock::now() >= deadline) {
            return PLAT_DirWatchResult::TimedOut;
        }
    }
}

int PLAT_DirWatchClose(PLAT_DirWatch* w)
{
    if (w == nullptr) {
        return -1;
    }
    // close() is not retried: after EINTR the descriptor is gone already.
    const int rc = w->fd >= 0 ? close(w->fd) : 0;
    delete w;
    return rc == 0 ? 0 : -1;
}
