// The directory change wait: one watch per process, kept here between the calls.
#include "dirwait.h"

#include "log.h"
#include "plat_dirwatch.h"

namespace {

constexpr int kDirWaitTrace = 65;
constexpr int kDirWaitError = 5;
constexpr std::size_t kErrTextSize = 512;

static_assert(FILE_NOTIFY_FILE_NAME == PLAT_DIRWATCH_FILE_NAME && FILE_NOTIFY_DIR_NAME == PLAT_DIRWATCH_DIR_NAME &&
              FILE_NOTIFY_ATTRIBUTES == PLAT_DIRWATCH_ATTRIBUTES && FILE_NOTIFY_SIZE == PLAT_DIRWATCH_SIZE &&
              FILE_NOTIFY_LAST_WRITE == PLAT_DIRWATCH_LAST_WRITE && FILE_NOTIFY_SECURITY == PLAT_DIRWATCH_SECURITY &&
              FILE_WAIT_INFINITE == PLAT_DIRWATCH_INFINITE,
              "the filter bits are handed to the platform unchanged");

PLAT_DirWatch* g_watch = nullptr;   // null: no watch, or the last start failed

// Waits on the stored watch and logs the outcome under the caller's name.
// A change or the time-out gives 0; a watch that cannot be waited on, -1.
int dirwait_Wait(const char* who, std::uint32_t timeoutMs)
{
    switch (PLAT_DirWatchWait(g_watch, timeoutMs)) {
    case PLAT_DirWatchResult::Signalled:
        // A change seen is the normal outcome, not an error.
        LOG_Write(kDirWaitTrace, "%s WaitForSingleObject OK", who);
        return 0;
    case PLAT_DirWatchResult::TimedOut:
        return 0;
    case PLAT_DirWatchResult::Abandoned:
        LOG_Write(kDirWaitError, "%s WaitForSingleObject WAIT_ABANDONED", who);
        return -1;
    case PLAT_DirWatchResult::Failed:
        break;
    }
    LOG_Write(kDirWaitError, "%s WaitForSingleObject WAIT_FAILED", who);
    return -1;
}

}  // namespace

int FILE_DirWaitFirst(const char* path, std::uint32_t timeoutMs, std::uint32_t filter)
{
    LOG_Write(kDirWaitTrace, "FILE_DirWaitfirst Entry TimeOut=[%d]", static_cast<int>(timeoutMs));
    // A watch started earlier is ended rather than dropped with its descriptor.
    if (g_watch != nullptr) {
        PLAT_DirWatchClose(g_watch);
        g_watch = nullptr;
    }
    int ret = -1;
    char errText[kErrTextSize] = {};
    g_watch = PLAT_DirWatchOpen(path, filter, errText, sizeof errText);
    if (g_watch == nullptr) {
        LOG_Write(kDirWaitError, "FILE_DirWaitFirst FindFirstChangeNotification Error [%s]", errText);
    } else {
        ret = dirwait_Wait("FILE_DirWaitFirst", timeoutMs);
    }
    LOG_Write(kDirWaitTrace, "FILE_DirWaitFirst Exit RetVal=[%d]", ret);
    return ret;
}

int FILE_DirWaitNext(std::uint32_t timeoutMs)
{
    if (g_watch == nullptr) {
        return -1;
    }
    return dirwait_Wait("FILE_DirWaitNext", timeoutMs);
}

int FILE_DirWaitClose()
{
    if (g_watch == nullptr) {
        return 0;
    }
    const int rc = PLAT_DirWatchClose(g_watch);
    g_watch = nullptr;   // ended either way: a second close must not touch it again
    return rc == 0 ? 1 : 0;
}
