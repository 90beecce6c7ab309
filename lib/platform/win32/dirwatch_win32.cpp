// Win32 side of plat_dirwatch.h: one change notification over the directory
// and its subtree. The notification is re-armed before every wait after the
// first, so changes made between two waits are still seen by the second.
#include "plat_dirwatch.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <windows.h>

#include "stop_event_win32.h"

struct PLAT_DirWatch {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool armed = true;   // a fresh notification is armed already
};

namespace {

void dirwatch_ErrorText(DWORD err, char* out, std::size_t cap)
{
    if (out == nullptr || cap == 0) {
        return;
    }
    out[0] = '\0';
    char buf[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf,
                                   sizeof buf, nullptr);
    std::size_t len = n;
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r' || buf[len - 1] == ' ')) {
        --len;   // the system's texts end in a line end
    }
    len = std::min(len, cap - 1);
    std::memcpy(out, buf, len);
    out[len] = '\0';
}

}  // namespace

PLAT_DirWatch* PLAT_DirWatchOpen(const char* path, std::uint32_t filter, char* errText, std::size_t errCap)
{
    if (errText != nullptr && errCap > 0) {
        errText[0] = '\0';
    }
    if (path == nullptr) {
        dirwatch_ErrorText(ERROR_INVALID_PARAMETER, errText, errCap);
        return nullptr;
    }
    const HANDLE h = FindFirstChangeNotificationA(path, TRUE, filter);
    if (h == INVALID_HANDLE_VALUE) {
        dirwatch_ErrorText(GetLastError(), errText, errCap);
        return nullptr;
    }
    auto* watch = new (std::nothrow) PLAT_DirWatch;
    if (watch == nullptr) {
        FindCloseChangeNotification(h);
        return nullptr;
    }
    watch->handle = h;
    return watch;
}

PLAT_DirWatchResult PLAT_DirWatchWait(PLAT_DirWatch* watch, std::uint32_t timeoutMs)
{
    if (watch == nullptr) {
        return PLAT_DirWatchResult::Failed;
    }
    if (!watch->armed) {
        if (!FindNextChangeNotification(watch->handle)) {
            return PLAT_DirWatchResult::Failed;
        }
        watch->armed = true;
    }
    // A stop request ends the wait early, as a signal ends it on POSIX; the
    // caller sees a wait that ended without a change.
    const HANDLE stop = win32_StopEvent();
    const HANDLE handles[2] = {watch->handle, stop};
    const DWORD count = stop != nullptr ? 2 : 1;
    switch (WaitForMultipleObjects(count, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
        watch->armed = false;
        return PLAT_DirWatchResult::Signalled;
    case WAIT_OBJECT_0 + 1:
    case WAIT_TIMEOUT:
        return PLAT_DirWatchResult::TimedOut;
    case WAIT_ABANDONED_0:
        return PLAT_DirWatchResult::Abandoned;
    default:
        return PLAT_DirWatchResult::Failed;
    }
}

int PLAT_DirWatchClose(PLAT_DirWatch* watch)
{
    if (watch == nullptr) {
        return -1;
    }
    const BOOL ok = FindCloseChangeNotification(watch->handle);
    delete watch;
    return ok ? 0 : -1;
}
