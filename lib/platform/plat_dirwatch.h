// Watching a directory tree for changes, the platform's way (inotify here,
// change notifications on Windows). A watch covers the directory and every
// subdirectory, including those created while it is watched.
#pragma once

#include <cstddef>
#include <cstdint>

// Kinds of change, with the values of the Windows notification filter.
inline constexpr std::uint32_t PLAT_DIRWATCH_FILE_NAME = 0x1;    // file created, deleted, renamed
inline constexpr std::uint32_t PLAT_DIRWATCH_DIR_NAME = 0x2;     // directory created, deleted, renamed
inline constexpr std::uint32_t PLAT_DIRWATCH_ATTRIBUTES = 0x4;
inline constexpr std::uint32_t PLAT_DIRWATCH_SIZE = 0x8;
inline constexpr std::uint32_t PLAT_DIRWATCH_LAST_WRITE = 0x10;
inline constexpr std::uint32_t PLAT_DIRWATCH_SECURITY = 0x100;
// A time-out with every bit set waits without limit.
inline constexpr std::uint32_t PLAT_DIRWATCH_INFINITE = 0xFFFFFFFFu;

struct PLAT_DirWatch;   // opaque; owned by whoever opened it

enum class PLAT_DirWatchResult {
    Signalled,   // a change of a selected kind happened
    TimedOut,
    Abandoned,   // the watch was abandoned by its owner (never on POSIX)
    Failed,      // the wait itself failed
};

// Starts watching `path` and its subtree for the kinds in `filter`. Returns the
// watch, or null with the system's text for the error in `errText` (always
// terminated; empty when the system has none).
PLAT_DirWatch* PLAT_DirWatchOpen(const char* path, std::uint32_t filter, char* errText, std::size_t errCap);

// Waits up to `timeoutMs` for a change. Changes that happened since the last wait
// returned count too: they end this wait at once. Everything already pending is
// consumed by one signalled wait, so a burst of changes signals once.
PLAT_DirWatchResult PLAT_DirWatchWait(PLAT_DirWatch* watch, std::uint32_t timeoutMs);

// Ends the watch and frees it. Returns 0 on success, -1 on failure; the watch is
// gone either way. A null watch gives -1.
int PLAT_DirWatchClose(PLAT_DirWatch* watch);
